#include "sysrun/system_actions.h"

#include <fcntl.h>
#include <stdlib.h>

#include "common/unique_fd.h"
#include "log/rl_log.h"
#include "platform/misc_device.h"
#include "sysrun/shell_runner.h"

namespace {

// Both watchdog switches do the same; each logs its own texts.
int switch_watchdog(int value, const char* open_failed, const char* ctrl_failed) {
  unique_fd fd(open(MISC_DEVICE_PATH, O_RDWR | O_CLOEXEC));
  if (!fd.valid()) {
    rl_log_err("%s", open_failed);
    return -1;
  }
  if (plat_misc_set(fd.get(), MISC_IOCS_WATCHDOG, static_cast<unsigned>(value)) < 0) {
    rl_log_err("%s", ctrl_failed);
    return -1;
  }
  return 0;
}

}  // namespace

int set_watchdog(int value) { return switch_watchdog(value, "/dev/misc0 open failed\n", "/dev/misc0 ctrl failed!\n"); }

int upgrader_set_watchdog(int value) {
  rl_log_err("upgrader_set_watchdog");
  if (switch_watchdog(value, "open misc ioctl device failed.", "IOCTL MISC_IOCS_WATCHDOG failed.") < 0) return -1;
  rl_log_err("upgrader_set_watchdog,ok");
  return 0;
}

int upgrader_reboot(int reboot_fallback) {
  return system_ex(reboot_fallback ? "reboot" : "/tmp/reboot", 10, 3);
}

int killapps(int upgrader_state) {
  if (upgrader_state == 2 || upgrader_state == -3) return 0;
  if (check_shell_status(system(KILLAPPS_SCRIPT)) != 0) {
    rl_log_err("killapps failed!\n");
    return -1;
  }
  return 0;
}
