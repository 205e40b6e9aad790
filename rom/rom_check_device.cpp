// The ROM check as the program runs it: the environment store, the shell
// and the device's files behind the check's seam.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "log/rl_log.h"
#include "rom/flash_region.h"
#include "rom/rom_check.h"
#include "rom/rom_check_hooks.h"
#include "sysrun/shell_runner.h"

namespace {

constexpr int kTouchAttempts = 3;
constexpr size_t kCommandSize = 256;

int device_path_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? 1 : 0;
}

// The file is made by the copied touch (the flash holding /bin may be
// rewritten later in the run); a touch that keeps failing is not an error
// by itself, the open below decides.
void touch_file(const char* path) {
  char cmd[kCommandSize];
  snprintf(cmd, sizeof cmd, "/tmp/bin/touch %s", path);
  for (int attempt = 0; attempt < kTouchAttempts; ++attempt) {
    rl_log_info("shellcmd:%s\n", cmd);
    if (check_shell_status(system(cmd)) == 0) return;
    sleep(1);
  }
}

int device_extract_payload(const char* path, const unsigned char* data, size_t len) {
  touch_file(path);
  char cmd[kCommandSize];
  snprintf(cmd, sizeof cmd, "/tmp/bin/chmod 777 %s", path);
  (void)system(cmd);
  unique_fd fd(open(path, O_RDWR | O_CLOEXEC));
  if (!fd.valid()) return -1;
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd.get(), data + done, len - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  // A longer file left by an earlier run would keep a stale tail behind
  // the payload: the file is cut to what was written.
  (void)!ftruncate(fd.get(), static_cast<off_t>(done));
  return 0;
}

int device_probe_flash(const char* path, uint32_t region) {
  unique_fd fd(open(path, O_RDWR | O_CLOEXEC));
  return fd.valid() ? flash_region_end_erasable(fd.get(), region) : -1;
}

}  // namespace

const rom_check_hooks rom_check_device_hooks = {
    load_env_info, read_hw_version, set_env_value, device_path_exists, device_extract_payload, device_probe_flash,
};

int rom_upgrade_check(const unsigned char* image, size_t image_len, env_info* env_table, rom_header* header,
                      partition_header* partitions, uint32_t* upgrade_flags) {
  return rom_check_with_hooks(&rom_check_device_hooks, image, image_len, env_table, header, partitions,
                              upgrade_flags);
}
