#define FUSE_USE_VERSION 31
#include "sim/flashfs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "platform/mtd_rules.h"
#include "sim/fuse_serve.h"

namespace sim {
namespace {

struct Served {
  Chip chip;
  std::vector<Window> windows;
  std::map<std::string, std::string> faults;  // window name -> control lines other than the erase size
  int flash_fd = -1;
  FlashfsOptions o;
};

Served g;

// A served name: the window, and whether it is the window's control file.
Window* lookup(const char* path, bool* control) {
  std::string p = path;
  *control = p.size() > 4 && p.compare(p.size() - 4, 4, ".sim") == 0;
  if (*control) p.resize(p.size() - 4);
  for (Window& w : g.windows)
    if (flashfs_path(w.name) == p && (!*control || w.name.rfind("mtdblock", 0) != 0)) return &w;
  return nullptr;
}

bool is_block(const Window& w) { return w.name.rfind("mtdblock", 0) == 0; }

std::string control_text(const Window& w) {
  char line[64];
  snprintf(line, sizeof line, "erasesize 0x%llx\nserved 1\n",
           static_cast<unsigned long long>(chip_erase_size(g.chip, w.start, w.size)));
  return line + g.faults[w.name];
}

mtd_control control_of(const Window& w) {
  mtd_control c;
  if (is_block(w)) return c;  // the block device knows no faults
  std::string text = control_text(w);
  mtd_control_parse(text.data(), text.size(), &c);
  return c;
}

// The control lines the boot left in the root's /dev/mtdN.sim, read before
// the served files cover them.
void load_faults() {
  for (const Window& w : g.windows) {
    std::ifstream in("/dev/" + w.name + ".sim");
    std::string line, kept;
    while (std::getline(in, line))
      if (line.rfind("erasesize", 0) != 0 && line.rfind("served", 0) != 0) kept += line + "\n";
    g.faults[w.name] = kept;
  }
}

int chip_io(bool write, unsigned char* buf, size_t n, uint64_t at) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = write ? pwrite(g.flash_fd, buf + done, n - done, static_cast<off_t>(at + done))
                      : pread(g.flash_fd, buf + done, n - done, static_cast<off_t>(at + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -EIO;
    done += static_cast<size_t>(r);
  }
  return 0;
}

// NOR programming: what the chip holds becomes old AND new.
int program(const Window& w, const unsigned char* data, size_t n, uint64_t at) {
  std::vector<unsigned char> cells(n);
  if (chip_io(false, cells.data(), n, w.start + at) != 0) return -EIO;
  mtd_rules_program(cells.data(), data, n);
  return chip_io(true, cells.data(), n, w.start + at);
}

int store(const Window& w, const unsigned char* data, size_t n, uint64_t at) {
  if (!is_block(w)) return program(w, data, n, at);
  std::vector<unsigned char> copy(data, data + n);
  return chip_io(true, copy.data(), n, w.start + at);
}

// A write through the block device erases every unit it touches first.
double block_erase_ms(const Window& w, size_t n, uint64_t at) {
  uint64_t unit = chip_erase_size(g.chip, w.start, w.size);
  uint64_t first = (w.start + at) / unit, last = (w.start + at + n - 1) / unit;
  return chip_erase_ms(g.o.timing, (last - first + 1) * unit);
}

ssize_t write_window(const Window& w, const unsigned char* data, size_t size, uint64_t at) {
  mtd_control c = control_of(w);
  ssize_t count = mtd_rules_write(&c, w.size, at, size);
  if (count <= 0) return count;
  PowerState* p = g.o.power;
  power_enter(p);
  long n = ++p->writes;
  if (g.o.cut.write == n) {
    // The power goes while the write is under way: a whole number of words is in.
    size_t kept = (static_cast<size_t>(count) / 2) & ~static_cast<size_t>(3);
    if (kept > 0) (void)store(w, data, kept, at);
    p->program_ms += chip_program_ms(g.o.timing, kept);
    power_cut_here(p, "write " + std::to_string(n) + " stored " + std::to_string(kept) + " of " +
                                    std::to_string(count));
  }
  int rc = store(w, data, static_cast<size_t>(count), at);
  p->program_ms += chip_program_ms(g.o.timing, static_cast<uint64_t>(count));
  if (is_block(w)) p->erase_ms += block_erase_ms(w, static_cast<size_t>(count), at);
  power_leave(p);
  return rc < 0 ? rc : count;
}

int erase(const Window& w, uint64_t start, uint64_t length) {
  mtd_control c = control_of(w);
  uint64_t erase_len = 0;
  int rc = mtd_rules_erase(&c, w.size, start, length, &erase_len);
  if (rc == -EINVAL) return rc;
  PowerState* p = g.o.power;
  power_enter(p);
  long n = ++p->erases;
  if (g.o.cut.erase == n) power_cut_here(p, "erase " + std::to_string(n));
  std::vector<unsigned char> ones(erase_len, 0xFF);
  int io = chip_io(true, ones.data(), ones.size(), w.start + start);
  p->erase_ms += chip_erase_ms(g.o.timing, erase_len);
  power_leave(p);
  return io < 0 ? io : rc;
}

void append_log(const Window& w, uint64_t offset, uint64_t size) {
  FILE* f = fopen(("/dev/" + w.name + ".log").c_str(), "a");
  if (!f) return;
  fprintf(f, "remap 0x%llx 0x%llx\n", static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size));
  (void)fclose(f);
}

// The kernel moves the partition; its block device follows it, keeping a
// size of its own if it had one.
int remap(Window& w, uint64_t offset, uint64_t size) {
  mtd_control c = control_of(w);
  int rc = mtd_rules_remap(&c);
  if (rc < 0) return rc;
  if (size == 0 || offset > g.chip.size || size > g.chip.size - offset) return -EINVAL;
  power_enter(g.o.power);
  std::string block = "mtdblock/" + w.name.substr(3);
  for (Window& b : g.windows) {
    if (b.name != block) continue;
    if (b.size == w.size) b.size = size;
    b.start = offset;
    if (b.size > g.chip.size - offset) b.size = g.chip.size - offset;
  }
  w.start = offset;
  w.size = size;
  rc = chip_save_windows("/", "/sim/state/windows", g.chip, g.windows) == 0 ? 0 : -EIO;
  append_log(w, offset, size);
  power_leave(g.o.power);
  return rc;
}

int request(Window& w, const char* buf, size_t size) {
  std::string line(buf, size);
  char verb[16];
  unsigned long long a = 0, b = 0;
  if (sscanf(line.c_str(), "%15s %llx %llx", verb, &a, &b) != 3 || a > UINT32_MAX || b > UINT32_MAX) return -EINVAL;
  int rc = strcmp(verb, "erase") == 0   ? erase(w, a, b)
           : strcmp(verb, "remap") == 0 ? remap(w, a, b)
                                        : -EINVAL;
  return rc < 0 ? rc : static_cast<int>(size);
}

int fs_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
  memset(st, 0, sizeof *st);
  st->st_nlink = 1;
  st->st_atime = st->st_mtime = st->st_ctime = time(nullptr);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  bool control = false;
  Window* w = lookup(path, &control);
  if (!w) return -ENOENT;
  st->st_mode = S_IFREG | 0644;
  st->st_size = static_cast<off_t>(control ? control_text(*w).size() : w->size);
  return 0;
}

int fs_open(const char* path, struct fuse_file_info* fi) {
  bool control = false;
  if (!lookup(path, &control)) return -ENOENT;
  fi->direct_io = 1;  // every read and write reaches the chip as it is asked
  return 0;
}

int fs_read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info*) {
  bool control = false;
  Window* w = lookup(path, &control);
  if (!w) return -ENOENT;
  uint64_t length = control ? control_text(*w).size() : w->size;
  if (offset < 0 || static_cast<uint64_t>(offset) >= length) return 0;
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, length - static_cast<uint64_t>(offset)));
  if (control) {
    memcpy(buf, control_text(*w).data() + offset, n);
    return static_cast<int>(n);
  }
  int rc = chip_io(false, reinterpret_cast<unsigned char*>(buf), n, w->start + static_cast<uint64_t>(offset));
  return rc < 0 ? rc : static_cast<int>(n);
}

int fs_write(const char* path, const char* buf, size_t size, off_t offset, struct fuse_file_info*) {
  bool control = false;
  Window* w = lookup(path, &control);
  if (!w) return -ENOENT;
  if (control) return request(*w, buf, size);
  if (offset < 0) return -EINVAL;
  ssize_t n = write_window(*w, reinterpret_cast<const unsigned char*>(buf), size, static_cast<uint64_t>(offset));
  return static_cast<int>(n);
}

// A device cannot be cut short: an opening ">" leaves it as it is.
int fs_truncate(const char* path, off_t, struct fuse_file_info*) {
  bool control = false;
  return lookup(path, &control) ? 0 : -ENOENT;
}

void* fs_init(struct fuse_conn_info*, struct fuse_config* cfg) {
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  return nullptr;
}

}  // namespace

std::string flashfs_path(const std::string& window) {
  std::string p = "/" + window;
  size_t slash = p.find('/', 1);
  if (slash != std::string::npos) p.erase(slash, 1);
  return p;
}

int flashfs_serve(const FlashfsOptions& options, int ready_fd) {
  g.o = options;
  if (chip_load("/", &g.chip, &g.windows) != 0 || !options.power) {
    fprintf(stderr, "simdev: cannot read the flash chip\n");
    return -1;
  }
  g.flash_fd = open("/sim/state/flash.bin", O_RDWR | O_CLOEXEC);
  if (g.flash_fd < 0) {
    fprintf(stderr, "simdev: /sim/state/flash.bin: %s\n", strerror(errno));
    return -1;
  }
  load_faults();
  struct fuse_operations ops;
  memset(&ops, 0, sizeof ops);
  ops.init = fs_init;
  ops.getattr = fs_getattr;
  ops.open = fs_open;
  ops.read = fs_read;
  ops.write = fs_write;
  ops.truncate = fs_truncate;
  return fuse_serve_at("flash", ops, options.mountpoint, ready_fd);
}

}  // namespace sim
