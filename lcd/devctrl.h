// Board controls on /dev/misc0: front-panel LEDs, LCD backlight and the LED
// of an attached extension. Each call opens the device, issues one request
// and closes it again.
#pragma once

#include <stdint.h>

constexpr int DEVCTRL_LED_COUNT = 19;
constexpr int DEVCTRL_LED_STATE_BYTES = 5;  // two bits per LED, four LEDs per byte

// The LED state word (one bit per lamp, set = lit); 0 on failure.
uint32_t devctrl_get_led(void);
// 0, or -1 on failure.
int devctrl_set_led(uint32_t leds);
// Encodes a 5-byte LED state array into the LED word and sets it. Clears bit 1
// of state[0] in the caller's array (LED 0 has no second lamp). 0 or -1.
int devctrl_set_led_state(unsigned char* state);
// The backlight value; 0 on failure.
uint32_t devctrl_get_bklight(void);
int devctrl_set_bklight(uint32_t value);
int devctrl_set_ext_led(uint32_t value);
