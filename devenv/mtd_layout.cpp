#include "devenv/mtd_layout.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include "common/process_flags.h"
#include "common/unique_fd.h"
#include "devenv/profile.h"
#include "log/rl_log.h"
#include "platform/mtd_device.h"
#include "sysrun/shell_runner.h"

namespace {

constexpr int kShellAttempts = 5;
constexpr int kEnvPartition = 3;
constexpr int kConfigPartition = 4;
constexpr uint32_t kWindowToOffset = 0x70000000u;  // start - 0x90000000, modulo 2^32

// Where the boot-loader environment records each partition this run moved,
// and mtd3 and mtd4 from the start: their copies are taken there, and
// windows whose copies are not written back go back there.
env_info g_original[MTD_LAYOUT_COUNT];
constexpr char kUmountCommand[] = "/tmp/bin/umount /etc/; /tmp/bin/umount /config/";

// One hexadecimal number the way "%x" reads it (leading blanks, optional
// 0x), but refusing what does not fit 32 bits or carries a sign, where
// "%x" would wrap.
bool scan_hex(const char* text, uint32_t* out, const char** rest) {
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\v' || *text == '\f') ++text;
  if (*text == '-' || *text == '+') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 16);
  if (end == text || errno != 0 || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  *rest = end;
  return true;
}

// "start,end": both numbers must be there; a value that yields only one is
// refused rather than completed from elsewhere.
bool scan_pair(const char* text, uint32_t* start, uint32_t* end) {
  const char* rest = nullptr;
  if (!scan_hex(text, start, &rest) || *rest != ',') return false;
  return scan_hex(rest + 1, end, &rest);
}

// A non-empty range inside the flash's window.
bool inside_window(uint32_t start, uint32_t end) {
  return start < end && start >= MTD_WINDOW_START && end <= MTD_WINDOW_END;
}

bool valid_pair(uint32_t start, uint32_t end) {
  return inside_window(start, end) && start % MTD_LAYOUT_ALIGN == 0 && end % MTD_LAYOUT_ALIGN == 0;
}

// Reads the ten pairs of the layout file into layout; the number of leading
// entries that were present and valid.
int read_layout(env_info layout[MTD_LAYOUT_COUNT]) {
  for (int i = 0; i < MTD_LAYOUT_COUNT; ++i) {
    char key[16];
    snprintf(key, sizeof key, "mtd%d", i);
    char str_buf[150] = {};
    int found = read_profile_string(MTD_LAYOUT_SECTION, key, str_buf, 100, nullptr, MTD_LAYOUT_FILE);
    rl_log_debug("str_buf:%s\n", str_buf);
    uint32_t start = 0;
    uint32_t end = 0;
    if (found != 1 || !scan_pair(str_buf, &start, &end) || !valid_pair(start, end)) return i;
    memset(&layout[i], 0, sizeof layout[i]);
    snprintf(layout[i].name, sizeof layout[i].name, "%s", key);
    layout[i].start_addr = start;
    layout[i].end_addr = end;
  }
  return MTD_LAYOUT_COUNT;
}

bool file_has_content(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && st.st_size > 0;
}

// Copies a block device with cat until the copy has content: five attempts,
// one second apart. The command's own status is not trusted; the copy is.
int copy_block(const char* format, const char* target) {
  for (int attempt = 1; attempt <= kShellAttempts; ++attempt) {
    char cmd[512] = {};
    snprintf(cmd, sizeof cmd, format, target);
    rl_log_info("shellcmd:%s\n", cmd);
    (void)system(cmd);
    if (file_has_content(target)) return 0;
    if (attempt < kShellAttempts) sleep(1);
  }
  return -1;
}

// Re-maps partition i's window to the place the environment records (a
// no-op where it already is). A kernel that keeps re-maps across reboots
// may still show a window moved by a run that lost its power before the
// write-back; what that window holds is not the partition. A place outside
// the flash (a damaged environment) is none to re-map to.
bool window_at_recorded_place(int i) {
  const env_info& place = g_original[i];
  if (!inside_window(place.start_addr, place.end_addr)) return false;
  return mtd_addr_repair(i, place.start_addr + kWindowToOffset, place.end_addr - place.start_addr) == 0;
}

// The partition's copy, taken once, while the partition has not moved in
// this run, and from the place the environment records.
int copy_partition(int i, int* copied, int moved, const char* format, const char* target) {
  if (*copied) return 0;
  if (moved || !window_at_recorded_place(i) || copy_block(format, target) != 0) return -1;
  *copied = 1;
  return 0;
}

// Notes where the environment records mtd3 and mtd4 before anything moves.
void record_saved_places(const env_info* env_table) {
  for (int i : {kEnvPartition, kConfigPartition}) {
    char name[16];
    snprintf(name, sizeof name, "mtd%d", i);
    int index = -1;
    g_original[i] = env_find(env_table, name, &index) == 0 ? env_table[index] : env_info{};
  }
}

int* moved_flag(int i) {
  if (i == kEnvPartition) return &env_mtd_moved;
  if (i == kConfigPartition) return &config_mtd_moved;
  return nullptr;
}

}  // namespace

int kernel_support_mtd_repair_check() {
  rl_log_debug("kernel_support_mtd_repair_check \n");
  for (int n = 0; n <= 1; ++n) {
    char path[32];
    snprintf(path, sizeof path, "/dev/mtd%d", n);
    unique_fd fd(open(path, O_RDWR | O_CLOEXEC));
    if (!fd.valid()) {
      rl_log_debug("%s open failed!\n", path);
      return 0;
    }
    if (plat_mtd_repair_check(fd.get()) == 0) return 1;
    rl_log_debug("%s ioctl failed!\n", path);
  }
  return 0;
}

int mtd_config_deal(env_info* env_table) {
  if (!env_table) return -1;
  env_info layout[MTD_LAYOUT_COUNT] = {};
  if (read_layout(layout) != MTD_LAYOUT_COUNT) return -1;
  record_saved_places(env_table);

  for (int i = 0; i < MTD_LAYOUT_COUNT; ++i) {
    int index = -1;
    if (env_find(env_table, layout[i].name, &index) != 0) {
      rl_log_info("RomVersion env isnot exist!\n");
      return -1;
    }
    env_info& current = env_table[index];
    rl_log_info("%s start_addr:%x end_addr:%x\n", current.name, current.start_addr, current.end_addr);
    if (layout[i].start_addr == current.start_addr && layout[i].end_addr == current.end_addr) continue;
    if (kernel_support == 0) {
      rl_log_info("kernel_support is UNAVAILABLE\n");
      upgrader_kernel_only = 1;
      return 0;
    }
    g_original[i] = current;
    if (mtd_diffrent_deal(i, &layout[i]) < 0) return -1;
    current.start_addr = layout[i].start_addr;
    current.end_addr = layout[i].end_addr;
  }
  return 0;
}

int mtd_diffrent_deal(int i, const env_info* layout_entry) {
  if (!layout_entry) return -1;
  rl_log_debug("mtd_diffrent_deal %s\n", layout_entry->name);
  // A window is moved only when its partition's copy was taken from where
  // it is now: otherwise its contents could never be written back.
  if (strcmp(layout_entry->name, "mtd3") == 0) {
    (void)cat_env_config_block();
    if (!env_block_copied) return -1;
    env_mtd_moved = 1;
  } else if (strcmp(layout_entry->name, "mtd4") == 0) {
    (void)cat_env_config_block();
    if (!config_block_copied) return -1;
    config_mtd_moved = 1;
  }
  uint32_t offset = layout_entry->start_addr + kWindowToOffset;
  return mtd_addr_repair(i, offset, layout_entry->end_addr - layout_entry->start_addr);
}

int mtd_addr_repair(int i, uint32_t offset, uint32_t size) {
  if (i < 0 || i >= MTD_LAYOUT_COUNT) return -1;
  char path[32];
  snprintf(path, sizeof path, "/dev/mtd%d", i);
  unique_fd fd(open(path, O_RDWR | O_CLOEXEC));
  if (!fd.valid()) {
    rl_log_debug("%s open failed!\n", path);
    return -1;
  }
  mtd_repair_region region = {offset, size};
  rl_log_debug("offset:%x size:%x\n", offset, size);
  if (plat_mtd_addr_repair(fd.get(), &region) < 0) {
    rl_log_debug("%s ioctl failed!\n", path);
    return -1;
  }
  return 0;
}

int cat_env_config_block() {
  rl_log_debug("cat_env_config_block\n");
  if (env_config_blocks_saved) return 0;
  if (copy_partition(kEnvPartition, &env_block_copied, env_mtd_moved, "/tmp/bin/cat /dev/mtdblock/3 > %s",
                     MTD_ENV_BLOCK_COPY) != 0)
    return -1;
  if (copy_partition(kConfigPartition, &config_block_copied, config_mtd_moved, "/tmp/bin/cat /dev/mtdblock/4 > %s",
                     MTD_CONFIG_BLOCK_COPY) != 0)
    return -1;
  env_config_blocks_saved = 1;
  return 0;
}

void mtd_layout_written_back(int i) {
  int* moved = moved_flag(i);
  if (moved) *moved = 0;
}

int mtd_layout_move_back() {
  int rc = 0;
  for (int i : {kConfigPartition, kEnvPartition}) {
    int* moved = moved_flag(i);
    if (!*moved) continue;
    const env_info& was = g_original[i];
    rl_log_err("mtd%d moved and not written back: moving it back\n", i);
    if (mtd_addr_repair(i, was.start_addr + kWindowToOffset, was.end_addr - was.start_addr) < 0) {
      rc = -1;
      continue;
    }
    *moved = 0;
  }
  return rc;
}

int umount_config_mtd() {
  for (int attempt = 1; attempt <= kShellAttempts; ++attempt) {
    int status = system(kUmountCommand);
    rl_log_info("shellcmd:%s\n", kUmountCommand);
    if (check_shell_status(status) == 0) return 0;
    if (attempt < kShellAttempts) sleep(1);
  }
  return -1;
}
