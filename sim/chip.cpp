#include "sim/chip.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "sim/rootfs.h"
#include "sim/sha256.h"

namespace sim {
namespace {

// Bounds of what a phone's NOR chip can be: anything above is a typing error.
constexpr uint64_t kMaxChipSize = 256ull << 20;
constexpr uint64_t kMinEraseSize = 512;
constexpr uint64_t kMaxEraseSize = 16ull << 20;
constexpr uint64_t kDefaultChipSize = 8ull << 20;
constexpr uint64_t kAddressSpace = 1ull << 32;
constexpr double kMaxMilliseconds = 1e6;

bool fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

int refuse(std::string* error, const std::string& text) {
  fail(error, text);
  return -1;
}

bool bad_value(std::string* error, const std::string& key, const std::string& value, const char* why) {
  return fail(error, key + " = \"" + value + "\": " + why);
}

// Decimal or 0x hexadecimal, with an optional K or M suffix; no sign, no
// overflow, at most `max` (the profile's own number rule).
bool strict_number(const std::string& text, uint64_t max, uint64_t* out) {
  unsigned long long v = 0;
  if (!parse_size_max(trim(text), max, &v)) return false;
  *out = v;
  return true;
}

bool number_key(const Profile& p, const char* key, uint64_t fallback, uint64_t max, uint64_t* out, std::string* error) {
  *out = fallback;
  if (!p.has("flash", key)) return true;
  std::string v = p.get("flash", key);
  if (!strict_number(v, max, out)) return bad_value(error, std::string("[flash] ") + key, v, "not a number in range");
  return true;
}

bool milliseconds_key(const Profile& p, const char* key, double* out, std::string* error) {
  if (!p.has("flash", key)) return true;
  std::string v = trim(p.get("flash", key));
  // The one rule of the profile's times: digits with an optional fraction.
  if (!parse_decimal(v, kMaxMilliseconds, out))
    return bad_value(error, std::string("[flash] ") + key, v, "expected milliseconds from 0 to 1000000");
  return true;
}

bool erase_size_ok(uint64_t e) { return e >= kMinEraseSize && e <= kMaxEraseSize && (e & (e - 1)) == 0; }

// Files of the root, looked up inside it (sim/rootfs.h).
bool write_file(const std::string& root, const std::string& path, const std::string& data) {
  return rootfs_write(root, path, data, 0644) == 0;
}

bool read_file(const std::string& root, const std::string& path, std::string* out) {
  return rootfs_read(root, path, kMaxChipSize + 1, out) == 0;
}

std::string hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string state(const char* name) { return std::string("/sim/state/") + name; }

// "START SIZE ERASE_SIZE" with START a physical address.
bool parse_region(const Chip& c, const std::string& spec, ChipRegion* r, std::string* error) {
  std::vector<std::string> w = split_words(spec);
  uint64_t start = 0;
  if (w.size() != 3 || !strict_number(w[0], kAddressSpace, &start) || !strict_number(w[1], kMaxChipSize, &r->size) ||
      !strict_number(w[2], kMaxEraseSize, &r->erase_size) || start < c.base || !erase_size_ok(r->erase_size) ||
      r->size == 0 || r->size % r->erase_size != 0 || (start - c.base) % r->erase_size != 0)
    return bad_value(error, "[flash] region", spec, "expected START SIZE ERASE_SIZE, aligned, inside the chip");
  r->start = start - c.base;
  return true;
}

bool parse_geometry(const Profile& p, Chip* c, std::string* error) {
  if (!number_key(p, "base", 0x90000000, kAddressSpace - 1, &c->base, error) ||
      !number_key(p, "size", 0, kMaxChipSize, &c->size, error) ||
      !number_key(p, "erase_size", 65536, kMaxEraseSize, &c->erase_size, error))
    return false;
  if (!erase_size_ok(c->erase_size))
    return bad_value(error, "[flash] erase_size", p.get("flash", "erase_size"), "expected a power of two from 512");
  for (const std::string& spec : p.all("flash", "region")) {
    ChipRegion r;
    if (!parse_region(*c, spec, &r, error)) return false;
    c->regions.push_back(r);
  }
  return true;
}

// "0xSTART,0xEND" physical addresses.
bool parse_range(const Chip& c, const std::string& text, Window* w) {
  size_t comma = text.find(',');
  uint64_t start = 0, end = 0;
  if (comma == std::string::npos || !strict_number(text.substr(0, comma), kAddressSpace, &start) ||
      !strict_number(text.substr(comma + 1), kAddressSpace, &end) || end <= start || start < c.base)
    return false;
  w->start = start - c.base;
  w->size = end - start;
  return true;
}

struct Placed {
  Window window;
  bool present = false;
  bool placed = false;                // start known (else after the others)
  std::vector<std::string> contents;  // the content words after the place
};

// [flash] mtdN = [START,END | SIZE | env] CONTENT...; without a place the
// environment's mtdN gives it, else the partition goes after the others.
bool place_partition(const Profile& p, const Chip& c, int i, Placed* out, std::string* error) {
  std::string name = "mtd" + std::to_string(i);
  out->window.name = name;
  std::vector<std::string> words = split_words(p.get("flash", name));
  if (!p.has("flash", name) && !p.has("env", name)) return true;
  out->present = true;
  size_t next = 0;
  bool from_env = words.empty() || words[0] == "env";
  if (!words.empty() && words[0].find(',') != std::string::npos) {
    if (!parse_range(c, words[0], &out->window)) return bad_value(error, "[flash] " + name, words[0], "bad range");
    out->placed = true;
    next = 1;
  } else if (!from_env && strict_number(words[0], kMaxChipSize, &out->window.size)) {
    next = 1;
    Window env;
    if (parse_range(c, p.get("env", name), &env)) {
      out->window.start = env.start;
      out->placed = true;
    }
  } else if (!from_env && isdigit(static_cast<unsigned char>(words[0][0]))) {
    return bad_value(error, "[flash] " + name, words[0], "a size above 0 that fits the chip");
  } else {
    if (!words.empty() && words[0] == "env") next = 1;
    if (!p.has("env", name))
      return fail(error, "/dev/" + name + ": no size, and the environment gives no " + name);
    if (!parse_range(c, p.get("env", name), &out->window))
      return bad_value(error, "[env] " + name, p.get("env", name), "START,END on the chip with END above START");
    out->placed = true;
  }
  out->contents.assign(words.begin() + static_cast<long>(next), words.end());
  if (out->window.size == 0) return bad_value(error, "[flash] " + name, p.get("flash", name), "empty partition");
  return true;
}

// The block devices are the same flash as mtd3 and mtd4; "mtdblockN = SIZE
// CONTENT" gives one its own size at the same start.
bool place_block(const Profile& p, const Placed& mtd, int i, Placed* out, std::string* error) {
  std::string key = "mtdblock" + std::to_string(i);
  out->window.name = "mtdblock/" + std::to_string(i);
  if (!mtd.present) return true;
  out->present = true;
  out->placed = true;
  out->window.start = mtd.window.start;
  out->window.size = mtd.window.size;
  std::vector<std::string> words = split_words(p.get("flash", key, "link"));
  if (words.size() == 1 && words[0] == "link") return true;
  if (words.empty() || !strict_number(words[0], kMaxChipSize, &out->window.size) || out->window.size == 0)
    return bad_value(error, "[flash] " + key, p.get("flash", key), "expected SIZE [CONTENT]");
  out->contents.assign(words.begin() + 1, words.end());
  return true;
}

bool fill_contents(const Profile& p, const Placed& w, std::string* chip, std::string* error) {
  const std::string label = "/dev/" + w.window.name;
  for (const std::string& word : w.contents) {
    uint64_t byte = 0;
    char* at = chip->data() + w.window.start;
    if (word == "erased") {
      memset(at, 0xFF, w.window.size);
    } else if (word == "zero") {
      memset(at, 0, w.window.size);
    } else if (word.rfind("fill=", 0) == 0 && strict_number(word.substr(5), 0xFF, &byte)) {
      memset(at, static_cast<int>(byte), w.window.size);
    } else if (word.rfind("file=", 0) == 0) {
      std::string data;
      if (!read_root_file(p.file(word.substr(5)), &data)) return fail(error, label + ": cannot read " + word.substr(5));
      if (data.size() > w.window.size) return fail(error, label + ": " + word.substr(5) + " is larger than the partition");
      memcpy(at, data.data(), data.size());
    } else {
      return fail(error, label + ": unknown content \"" + word + "\"");
    }
  }
  return true;
}

// Partitions without a place go one after the other behind the highest end.
void place_the_rest(const Chip& c, std::vector<Placed>* all) {
  uint64_t end = 0;
  for (const Placed& w : *all)
    if (w.present && w.placed && w.window.start + w.window.size > end) end = w.window.start + w.window.size;
  for (Placed& w : *all) {
    if (!w.present || w.placed) continue;
    uint64_t unit = c.erase_size;
    w.window.start = (end + unit - 1) / unit * unit;
    w.placed = true;
    end = w.window.start + w.window.size;
  }
}

bool layout(const Profile& p, Chip* c, std::vector<Placed>* all, std::string* error) {
  all->resize(12);
  for (int i = 0; i <= 9; ++i)
    if (!place_partition(p, *c, i, &(*all)[static_cast<size_t>(i)], error)) return false;
  place_the_rest(*c, all);
  for (int i : {3, 4})
    if (!place_block(p, (*all)[static_cast<size_t>(i)], i, &(*all)[static_cast<size_t>(7 + i)], error)) return false;
  uint64_t end = 0;
  for (const Placed& w : *all)
    if (w.present) end = std::max(end, w.window.start + w.window.size);
  if (c->size == 0) c->size = std::max(kDefaultChipSize, end);
  for (const ChipRegion& r : c->regions) end = std::max(end, r.start + r.size);
  if (end > c->size || end > kMaxChipSize || c->base + c->size > kAddressSpace)
    return fail(error, "[flash] size = " + hex(c->size) + ": the partitions and regions reach " + hex(end));
  return true;
}

std::string geometry_text(const Chip& c) {
  std::string t = "base " + hex(c.base) + "\nsize " + hex(c.size) + "\nerase_size " + hex(c.erase_size) + "\n";
  for (const ChipRegion& r : c.regions)
    t += "region " + hex(r.start) + " " + hex(r.size) + " " + hex(r.erase_size) + "\n";
  return t;
}

bool parse_geometry_text(const std::string& text, Chip* c) {
  std::istringstream in(text);
  std::string key, a, b, e;
  while (in >> key) {
    uint64_t v = 0;
    if (key == "region") {
      ChipRegion r;
      if (!(in >> a >> b >> e) || !strict_number(a, kMaxChipSize, &r.start) || !strict_number(b, kMaxChipSize, &r.size) ||
          !strict_number(e, kMaxEraseSize, &r.erase_size))
        return false;
      c->regions.push_back(r);
      continue;
    }
    if (!(in >> a) || !strict_number(a, kAddressSpace, &v)) return false;
    if (key == "base") c->base = v;
    else if (key == "size") c->size = v;
    else if (key == "erase_size") c->erase_size = v;
  }
  return c->size > 0 && c->size <= kMaxChipSize;
}

int load_windows(const std::string& root, const std::string& path, const Chip& c, std::vector<Window>* out) {
  std::string text;
  if (!read_file(root, path, &text)) return -1;
  std::istringstream in(text);
  std::string name, a, b;
  out->clear();
  while (in >> name >> a >> b) {
    Window w;
    w.name = name;
    uint64_t start = 0;
    if (!strict_number(a, kAddressSpace, &start) || !strict_number(b, kMaxChipSize, &w.size) || start < c.base ||
        start - c.base > c.size || w.size > c.size - (start - c.base))
      return -1;
    w.start = start - c.base;
    out->push_back(w);
  }
  return 0;
}

const Window* find_window(const std::vector<Window>& windows, const std::string& name) {
  for (const Window& w : windows)
    if (w.name == name) return &w;
  return nullptr;
}

std::string view_path(const std::string& name) { return "/dev/" + name; }

// The plain copies of the windows between boots, and their digests, so that
// the next boot can tell which were changed.
int write_views(const std::string& root, const std::string& flash, const std::vector<Window>& windows) {
  (void)rootfs_mkdirs(root, "/dev/mtdblock");
  std::string digests;
  for (const std::string& name : chip_window_names()) {
    const Window* w = find_window(windows, name);
    std::string path = view_path(name);
    if (!w) {
      (void)rootfs_unlink(root, path);
      continue;
    }
    std::string bytes = flash.substr(w->start, w->size);
    if (!write_file(root, path, bytes)) return -1;
    digests += name + " " + sha256_hex(bytes) + "\n";
  }
  return write_file(root, state("views"), digests) ? 0 : -1;
}

// Copies changed since the last boot are written into the chip, in the
// report's order (a later window wins where two changed copies overlap).
bool absorb_views(const std::string& root, const std::vector<Window>& windows, std::string* flash) {
  std::string digests;
  if (!read_file(root, state("views"), &digests)) return false;
  std::map<std::string, std::string> known;
  std::istringstream in(digests);
  for (std::string name, digest; in >> name >> digest;) known[name] = digest;
  bool changed = false;
  for (const Window& w : windows) {
    std::string bytes;
    if (!read_file(root, view_path(w.name), &bytes) || bytes.size() != w.size) continue;
    auto it = known.find(w.name);
    if (it == known.end() || it->second == sha256_hex(bytes)) continue;
    flash->replace(w.start, w.size, bytes);
    changed = true;
  }
  return changed;
}

bool copy_file(const std::string& root, const std::string& from, const std::string& to) {
  std::string text;
  return read_file(root, from, &text) && write_file(root, to, text);
}

}  // namespace

const std::vector<std::string>& chip_window_names() {
  static const std::vector<std::string> names = {"mtd0", "mtd1", "mtd2", "mtd3", "mtd4", "mtd5",
                                                 "mtd6", "mtd7", "mtd8", "mtd9", "mtdblock/3", "mtdblock/4"};
  return names;
}

int chip_save_windows(const std::string& root, const std::string& path, const Chip& chip,
                      const std::vector<Window>& windows) {
  std::string text;
  for (const std::string& name : chip_window_names())
    if (const Window* w = find_window(windows, name)) text += name + " " + hex(chip.base + w->start) + " " + hex(w->size) + "\n";
  return write_file(root, path, text) ? 0 : -1;
}

int chip_create(const std::string& root, const Profile& p, bool fresh, std::string* error) {
  struct stat st;
  if (!fresh && rootfs_lstat(root, state("flash.bin"), &st) == 0) return 0;
  Chip c;
  std::vector<Placed> all;
  if (!parse_geometry(p, &c, error) || !layout(p, &c, &all, error)) return -1;
  std::string flash(c.size, '\xff');
  std::vector<Window> windows;
  for (const Placed& w : all) {
    if (!w.present) continue;
    if (!fill_contents(p, w, &flash, error)) return -1;
    windows.push_back(w.window);
  }
  if (!write_file(root, state("flash.bin"), flash) || !write_file(root, state("chip"), geometry_text(c)) ||
      chip_save_windows(root, state("table"), c, windows) != 0 ||
      chip_save_windows(root, state("windows"), c, windows) != 0 || write_views(root, flash, windows) != 0)
    return refuse(error, root + "/sim/state: cannot write the flash chip: " + strerror(errno));
  return 0;
}

int chip_load(const std::string& root, Chip* chip, std::vector<Window>* windows) {
  std::string text;
  if (!read_file(root, state("chip"), &text) || !parse_geometry_text(text, chip)) return -1;
  return windows ? load_windows(root, state("windows"), *chip, windows) : 0;
}

uint64_t chip_erase_size(const Chip& chip, uint64_t start, uint64_t size) {
  uint64_t unit = 0, covered = 0, end = start + size;
  for (const ChipRegion& r : chip.regions) {
    uint64_t lo = std::max(start, r.start), hi = std::min(end, r.start + r.size);
    if (lo >= hi) continue;
    unit = std::max(unit, r.erase_size);
    covered += hi - lo;
  }
  // Where no region lies, the chip's own unit applies.
  return covered < size ? std::max(unit, chip.erase_size) : unit;
}

int chip_read_window(const std::string& root, const std::string& name, std::string* bytes) {
  Chip chip;
  std::vector<Window> windows;
  if (chip_load(root, &chip, &windows) != 0) return -1;
  const Window* w = find_window(windows, name);
  if (!w) return -1;
  int fd = rootfs_open(root, state("flash.bin"), O_RDONLY);
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "r");
  if (!f) {
    if (fd >= 0) close(fd);
    return -1;
  }
  bytes->assign(w->size, '\0');
  bool ok = fseeko(f, static_cast<off_t>(w->start), SEEK_SET) == 0 && fread(bytes->data(), 1, w->size, f) == w->size;
  (void)fclose(f);
  return ok ? 0 : -1;
}

int chip_boot_begin(const std::string& root, bool remap_persists, std::string* error) {
  Chip chip;
  std::vector<Window> windows;
  std::string flash;
  if (chip_load(root, &chip, &windows) != 0 || !read_file(root, state("flash.bin"), &flash) || flash.size() != chip.size)
    return refuse(error, root + ": no flash chip (a root made by an older simdev: boot it once with --fresh)");
  if (absorb_views(root, windows, &flash) && !write_file(root, state("flash.bin"), flash))
    return refuse(error, root + "/sim/state/flash.bin: " + strerror(errno));
  if (!remap_persists && !copy_file(root, state("table"), state("windows")))
    return refuse(error, root + "/sim/state/windows: " + strerror(errno));
  if (!copy_file(root, state("windows"), "/sim/boot/windows-before"))
    return refuse(error, root + "/sim/boot/windows-before: " + strerror(errno));
  return 0;
}

int chip_boot_end(const std::string& root) {
  Chip chip;
  std::vector<Window> windows;
  std::string flash;
  if (chip_load(root, &chip, &windows) != 0 || !read_file(root, state("flash.bin"), &flash)) return -1;
  if (!copy_file(root, state("windows"), "/sim/boot/windows-after")) return -1;
  return write_views(root, flash, windows);
}

int chip_boot_end_from_copies(const std::string& root) {
  Chip chip;
  std::vector<Window> windows;
  std::string flash;
  if (chip_load(root, &chip, &windows) != 0 || !read_file(root, state("flash.bin"), &flash) || flash.size() != chip.size)
    return -1;
  if (absorb_views(root, windows, &flash) && !write_file(root, state("flash.bin"), flash)) return -1;
  return chip_boot_end(root);
}

int chip_boot_settings(const Profile& p, ChipTiming* timing, bool* remap_persists, std::string* error) {
  if (!milliseconds_key(p, "erase_ms_per_64k", &timing->erase_ms_per_64k, error) ||
      !milliseconds_key(p, "program_ms_per_kib", &timing->program_ms_per_kib, error))
    return -1;
  *remap_persists = false;
  if (!parse_bool(p.get("flash", "remap_persists", "no"), remap_persists))
    return refuse(error, "[flash] remap_persists = \"" + p.get("flash", "remap_persists") + "\": expected yes or no");
  return 0;
}

double chip_erase_ms(const ChipTiming& t, uint64_t bytes) {
  return t.erase_ms_per_64k * static_cast<double>(bytes) / 65536.0;
}

double chip_program_ms(const ChipTiming& t, uint64_t bytes) {
  return t.program_ms_per_kib * static_cast<double>(bytes) / 1024.0;
}

}  // namespace sim
