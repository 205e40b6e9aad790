// The driver's actions on the rest of the phone.
#pragma once

#define MISC_DEVICE_PATH "/dev/misc0"
#define KILLAPPS_SCRIPT "/app/scripts/killapps.sh"

int set_watchdog(int value);
int upgrader_set_watchdog(int value);
int upgrader_reboot(int reboot_fallback);
int killapps(int upgrader_state);
