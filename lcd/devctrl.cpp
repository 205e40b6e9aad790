#include "lcd/devctrl.h"

#include <fcntl.h>

#include "common/unique_fd.h"
#include "log/rl_log.h"
#include "platform/misc_device.h"

namespace {

const char kMiscDevice[] = "/dev/misc0";

unique_fd open_misc() {
  unique_fd fd(open(kMiscDevice, O_RDWR));
  if (!fd.valid()) rl_log_err("open misc ioctl device failed.");
  return fd;
}

// A set request: 0, or -1 with the request's message.
int misc_set(unsigned long request, uint32_t value, const char* failure) {
  unique_fd fd = open_misc();
  if (!fd.valid()) return -1;
  if (plat_misc_set(fd.get(), request, value) != 0) {
    rl_log_err("%s", failure);
    return -1;
  }
  return 0;
}

// A get request: the value, or 0 (indistinguishable from a true 0).
uint32_t misc_get(unsigned long request, const char* failure) {
  unique_fd fd = open_misc();
  if (!fd.valid()) return 0;
  unsigned int value = 0;
  if (plat_misc_get(fd.get(), request, &value) != 0) {
    rl_log_err("%s", failure);
    return 0;
  }
  return value;
}

}  // namespace

uint32_t devctrl_get_led(void) { return misc_get(MISC_IOCG_LED, "IOCTL MISC_IOCG_LED failed."); }

int devctrl_set_led(uint32_t leds) { return misc_set(MISC_IOCS_LED, leds, "IOCTL MISC_IOCS_LED failed."); }

int devctrl_set_led_state(unsigned char* state) {
  if (!state) return -1;
  // LED 0 has a single lamp: its state 2 becomes 0 and its state 3 becomes 1.
  state[0] = static_cast<unsigned char>(state[0] & ~0x02);
  uint32_t word = 0;
  for (int i = 0; i < DEVCTRL_LED_COUNT; i++) {
    int s = (state[i / 4] >> (2 * (i % 4))) & 3;
    if (i < 9) {
      if (s == 1) word |= 1u << i;
    } else if (s == 1) {
      word |= 1u << (2 * i - 9);
    } else if (s == 2) {
      word |= 1u << (2 * i - 8);
    }
  }
  return devctrl_set_led(word);
}

uint32_t devctrl_get_bklight(void) { return misc_get(MISC_IOCG_BKLIGHT, "IOCTL MISC_IOCG_BKLIGHT failed."); }

int devctrl_set_bklight(uint32_t value) {
  return misc_set(MISC_IOCS_BKLIGHT, value, "IOCTL MISC_IOCS_BKLIGHT failed.");
}

int devctrl_set_ext_led(uint32_t value) {
  return misc_set(MISC_IOCS_EXT_LED, value, "IOCTL MISC_IOCS_EXT_LED failed.");
}
