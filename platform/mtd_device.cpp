#include "platform/mtd_device.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "common/unique_fd.h"
#include "platform/device_file.h"

namespace {

// Faults and properties of one emulated device, from "<device>.sim".
struct mtd_sim {
  uint32_t erasesize = PLAT_MTD_DEFAULT_ERASESIZE;
  bool remap = false;
  bool fail_info = false;
  bool fail_remap = false;
  bool has_short = false;
  size_t short_len = 0;
  static constexpr int kMaxFaults = 16;
  int erase_faults = 0;
  int write_faults = 0;
  unsigned long fail_erase[kMaxFaults] = {};
  unsigned long fail_write[kMaxFaults] = {};
};

// Write faults and the emulated block of a write are counted in these units,
// the program's chunk size, whatever the erase size.
constexpr off_t kWriteChunk = 65536;
constexpr size_t kIoPiece = 65536;

bool parse_number(const char* text, unsigned long* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 0);
  if (end == text || errno != 0) return false;
  while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
  if (*end != '\0') return false;
  *out = v;
  return true;
}

void parse_line(char* line, mtd_sim* sim) {
  unsigned long v = 0;
  if (strncmp(line, "erasesize ", 10) == 0 && parse_number(line + 10, &v) && v <= UINT32_MAX) {
    sim->erasesize = static_cast<uint32_t>(v);
  } else if (strncmp(line, "remap ", 6) == 0 && parse_number(line + 6, &v)) {
    sim->remap = v != 0;
  } else if (strncmp(line, "short ", 6) == 0 && parse_number(line + 6, &v)) {
    sim->has_short = true;
    sim->short_len = v;
  } else if (strcmp(line, "fail info") == 0) {
    sim->fail_info = true;
  } else if (strcmp(line, "fail remap") == 0) {
    sim->fail_remap = true;
  } else if (strncmp(line, "fail erase ", 11) == 0 && parse_number(line + 11, &v)) {
    if (sim->erase_faults < mtd_sim::kMaxFaults) sim->fail_erase[sim->erase_faults++] = v;
  } else if (strncmp(line, "fail write ", 11) == 0 && parse_number(line + 11, &v)) {
    if (sim->write_faults < mtd_sim::kMaxFaults) sim->fail_write[sim->write_faults++] = v;
  }
}

// Reads the control file of the device behind fd. A missing file leaves the
// defaults; unknown lines are ignored.
int load_sim(int fd, mtd_sim* sim, char* path, size_t path_size) {
  if (plat_fd_path(fd, path, path_size) != 0) return -1;
  char control[PATH_MAX + 8];
  if (snprintf(control, sizeof control, "%s.sim", path) >= static_cast<int>(sizeof control)) return -1;
  unique_fd cfd(open(control, O_RDONLY | O_CLOEXEC));
  if (!cfd.valid()) return errno == ENOENT ? 0 : -1;
  char text[4096];
  size_t used = 0;
  while (used + 1 < sizeof text) {
    ssize_t n = read(cfd.get(), text + used, sizeof text - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  text[used] = '\0';
  char* save = nullptr;
  for (char* line = strtok_r(text, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
    size_t len = strlen(line);
    while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == ' ')) line[--len] = '\0';
    parse_line(line, sim);
  }
  return 0;
}

bool listed(const unsigned long* list, int count, unsigned long value) {
  for (int i = 0; i < count; ++i)
    if (list[i] == value) return true;
  return false;
}

int fail_with(int err) {
  errno = err;
  return -1;
}

int file_size(int fd, off_t* size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  *size = st.st_size;
  return 0;
}

ssize_t pwrite_all(int fd, const unsigned char* buf, size_t len, off_t at) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd, buf + done, len - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ssize_t pread_all(int fd, unsigned char* buf, size_t len, off_t at) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, buf + done, len - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Sets [at, at + len) to 0xFF: erased flash.
int fill_erased(int fd, off_t at, off_t len) {
  size_t piece = static_cast<size_t>(len < static_cast<off_t>(kIoPiece) ? len : static_cast<off_t>(kIoPiece));
  if (piece == 0) return 0;
  std::unique_ptr<unsigned char[]> ones(new (std::nothrow) unsigned char[piece]);
  if (!ones) return fail_with(ENOMEM);
  memset(ones.get(), 0xFF, piece);
  for (off_t done = 0; done < len;) {
    size_t n = static_cast<size_t>(len - done < static_cast<off_t>(piece) ? len - done : static_cast<off_t>(piece));
    if (pwrite_all(fd, ones.get(), n, at + done) < 0) return -1;
    done += static_cast<off_t>(n);
  }
  return 0;
}

int emulate_get_info(int fd, mtd_info_user* info) {
  mtd_sim sim;
  char path[PATH_MAX];
  off_t size = 0;
  if (load_sim(fd, &sim, path, sizeof path) != 0 || file_size(fd, &size) != 0) return -1;
  if (sim.fail_info) return fail_with(EIO);
  memset(info, 0, sizeof *info);
  info->type = MTD_NORFLASH;
  info->flags = MTD_CAP_NORFLASH;
  info->size = static_cast<uint32_t>(size);
  info->erasesize = sim.erasesize;
  info->writesize = 1;
  return 0;
}

// Like the kernel: a region must lie inside the device and start and end on
// erase-block boundaries.
int emulate_erase(int fd, const erase_info_user* region) {
  mtd_sim sim;
  char path[PATH_MAX];
  off_t size = 0;
  if (load_sim(fd, &sim, path, sizeof path) != 0 || file_size(fd, &size) != 0) return -1;
  uint64_t start = region->start;
  uint64_t length = region->length;
  if (sim.erasesize == 0 || length == 0 || start % sim.erasesize != 0 || length % sim.erasesize != 0 ||
      start + length > static_cast<uint64_t>(size))
    return fail_with(EINVAL);
  for (uint64_t block = start / sim.erasesize; block < (start + length) / sim.erasesize; ++block) {
    if (listed(sim.fail_erase, sim.erase_faults, static_cast<unsigned long>(block))) return fail_with(EIO);
    if (fill_erased(fd, static_cast<off_t>(block * sim.erasesize), sim.erasesize) != 0) return -1;
  }
  return 0;
}

// Programs n cells: each keeps only the bits that are set in both, eight
// bytes at a time (the flash file is rewritten at every write).
void program_cells(unsigned char* cells, const unsigned char* data, size_t n) {
  size_t i = 0;
  for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
    uint64_t cell;
    uint64_t bits;
    memcpy(&cell, cells + i, sizeof cell);
    memcpy(&bits, data + i, sizeof bits);
    cell &= bits;
    memcpy(cells + i, &cell, sizeof cell);
  }
  for (; i < n; ++i) cells[i] &= data[i];
}

// NOR programming: each stored byte becomes old AND new. Like the kernel's
// character device, a write is cut at the end of the device and a write at
// the end stores nothing (ENOSPC).
ssize_t emulate_write(int fd, const void* buf, size_t len) {
  mtd_sim sim;
  char path[PATH_MAX];
  off_t size = 0;
  if (load_sim(fd, &sim, path, sizeof path) != 0 || file_size(fd, &size) != 0) return -1;
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return -1;
  if (len == 0) return 0;
  if (at >= size) return fail_with(ENOSPC);
  if (listed(sim.fail_write, sim.write_faults, static_cast<unsigned long>(at / kWriteChunk))) return fail_with(EIO);
  if (static_cast<uint64_t>(len) > static_cast<uint64_t>(size - at)) len = static_cast<size_t>(size - at);
  if (sim.has_short && len > sim.short_len) len = sim.short_len;
  if (len == 0) return 0;

  size_t piece = len < kIoPiece ? len : kIoPiece;
  std::unique_ptr<unsigned char[]> cell(new (std::nothrow) unsigned char[piece]);
  if (!cell) return fail_with(ENOMEM);
  const unsigned char* data = static_cast<const unsigned char*>(buf);
  for (size_t done = 0; done < len;) {
    size_t n = len - done < piece ? len - done : piece;
    off_t where = at + static_cast<off_t>(done);
    if (pread_all(fd, cell.get(), n, where) < 0) return -1;
    program_cells(cell.get(), data + done, n);
    if (pwrite_all(fd, cell.get(), n, where) < 0) return -1;
    done += n;
  }
  if (lseek(fd, at + static_cast<off_t>(len), SEEK_SET) < 0) return -1;
  return static_cast<ssize_t>(len);
}

int emulate_repair_check(int fd) {
  mtd_sim sim;
  char path[PATH_MAX];
  if (load_sim(fd, &sim, path, sizeof path) != 0) return -1;
  return sim.remap ? 0 : fail_with(ENOTTY);
}

// The re-mapped partition takes its new size (new space reads as erased)
// and the request is appended to "<device>.log" as "remap 0x<offset> 0x<size>".
int emulate_addr_repair(int fd, const mtd_repair_region* region) {
  mtd_sim sim;
  char path[PATH_MAX];
  off_t size = 0;
  if (load_sim(fd, &sim, path, sizeof path) != 0 || file_size(fd, &size) != 0) return -1;
  if (!sim.remap) return fail_with(ENOTTY);
  if (sim.fail_remap) return fail_with(EIO);
  off_t new_size = static_cast<off_t>(region->size);
  if (new_size < size && ftruncate(fd, new_size) != 0) return -1;
  if (new_size > size && fill_erased(fd, size, new_size - size) != 0) return -1;

  char log_path[PATH_MAX + 8];
  if (snprintf(log_path, sizeof log_path, "%s.log", path) >= static_cast<int>(sizeof log_path))
    return fail_with(ENAMETOOLONG);
  unique_fd log(open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!log.valid()) return -1;
  char line[64];
  int n = snprintf(line, sizeof line, "remap 0x%x 0x%x\n", region->offset, region->size);
  return write(log.get(), line, static_cast<size_t>(n)) == n ? 0 : -1;
}

}  // namespace

int plat_mtd_get_info(int fd, mtd_info_user* info) {
  if (!info) return fail_with(EFAULT);
  if (plat_is_emulated(fd)) return emulate_get_info(fd, info);
  return ioctl(fd, MEMGETINFO, info) < 0 ? -1 : 0;
}

int plat_mtd_erase(int fd, const erase_info_user* region) {
  if (!region) return fail_with(EFAULT);
  if (plat_is_emulated(fd)) return emulate_erase(fd, region);
  erase_info_user request = *region;
  return ioctl(fd, MEMERASE, &request) < 0 ? -1 : 0;
}

ssize_t plat_mtd_write(int fd, const void* buf, size_t len) {
  if (!buf) return fail_with(EFAULT);
  if (plat_is_emulated(fd)) return emulate_write(fd, buf, len);
  for (;;) {
    ssize_t n = write(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

int plat_mtd_repair_check(int fd) {
  if (plat_is_emulated(fd)) return emulate_repair_check(fd);
  return ioctl(fd, MTD_REPAIR_CHECK, 0UL) == 0 ? 0 : -1;
}

int plat_mtd_addr_repair(int fd, const mtd_repair_region* region) {
  if (!region) return fail_with(EFAULT);
  if (plat_is_emulated(fd)) return emulate_addr_repair(fd, region);
  mtd_repair_region request = *region;
  return ioctl(fd, MTD_ADDR_REPAIR, &request) < 0 ? -1 : 0;
}
