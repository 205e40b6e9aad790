#include <gtest/gtest.h>
#include <syslog.h>

#include <array>

#include "lcd/devctrl.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

namespace {

const char kMisc[] = "/dev/misc0";

// The caller's array: two bits an LED, LED 0 in the low bits of byte 0.
TEST(Devctrl, LedStateArrayEncodesOneWord) {
  const struct {
    const char* name;
    std::array<unsigned char, DEVCTRL_LED_STATE_BYTES> states;
    unsigned expected_word;
  } cases[] = {
      {"led0 lamp and led9 second colour", {0x01, 0, 0x08, 0, 0}, 0x401},
      {"led0 and led8 have no second lamp", {0x02, 0, 0x02, 0, 0}, 0},
      {"led0 state 3 counts as 1", {0x03, 0, 0, 0, 0}, 0x1},
      {"led8, led9 and led18 first lamps", {0, 0, 0x05, 0, 0x10}, (1u << 8) | (1u << 9) | (1u << 27)},
      {"led18 second", {0, 0, 0, 0, 0x20}, 1u << 28},
      {"leds 1, 5, 12 and 17 in state 3 are dark", {0x0C, 0x0C, 0, 0x03, 0x0C}, 0},
      {"all first lamps", {0x55, 0x55, 0x55, 0x55, 0x15}, 0x0AAAABFF},
      {"leds 9 to 18 second lamps", {0, 0, 0xA8, 0xAA, 0x2A}, 0x15555400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_file(kMisc, ""));
    auto a = c.states;
    EXPECT_EQ(0, devctrl_set_led_state(a.data()));
    EXPECT_EQ("led " + std::to_string(c.expected_word) + "\n", read_file(kMisc));
    EXPECT_EQ(c.states[0] & ~0x02, a[0]);  // bit 1 of the caller's first byte is cleared
    EXPECT_EQ(c.expected_word, devctrl_get_led());
  }
  EXPECT_EQ(-1, devctrl_set_led_state(nullptr));
}

TEST(Devctrl, SetAndGetGoThroughTheBoardRecord) {
  ASSERT_TRUE(write_file(kMisc, ""));
  EXPECT_EQ(0, devctrl_set_led(0x1234));
  EXPECT_EQ(0, devctrl_set_bklight(5));
  EXPECT_EQ(0, devctrl_set_ext_led(1));
  EXPECT_EQ(0, devctrl_set_bklight(7));
  EXPECT_EQ("led 4660\nbklight 5\next_led 1\nbklight 7\n", read_file(kMisc));
  EXPECT_EQ(0x1234u, devctrl_get_led());
  EXPECT_EQ(7u, devctrl_get_bklight());
}

// Each call once without the device and once with its request failing.
TEST(Devctrl, FailuresAreLoggedAtErrorLevel) {
  const struct {
    int (*call)();
    int expected;
    const char* fail_line;
    const char* message;
  } cases[] = {
      {[] { return static_cast<int>(devctrl_get_led()); }, 0, "fail led", "IOCTL MISC_IOCG_LED failed."},
      {[] { return devctrl_set_led(3); }, -1, "fail led", "IOCTL MISC_IOCS_LED failed."},
      {[] { return devctrl_set_led_state(std::array<unsigned char, 5>{1}.data()); }, -1, "fail led",
       "IOCTL MISC_IOCS_LED failed."},
      {[] { return static_cast<int>(devctrl_get_bklight()); }, 0, "fail bklight", "IOCTL MISC_IOCG_BKLIGHT failed."},
      {[] { return devctrl_set_bklight(2); }, -1, "fail bklight", "IOCTL MISC_IOCS_BKLIGHT failed."},
      {[] { return devctrl_set_ext_led(2); }, -1, "fail ext_led", "IOCTL MISC_IOCS_EXT_LED failed."},
  };
  for (const auto& c : cases) {
    for (bool present : {false, true}) {
      const std::string record = std::string("led 9\nbklight 9\n") + c.fail_line + "\n";
      const char* message = present ? c.message : "open misc ioctl device failed.";
      SCOPED_TRACE(std::string(present ? c.fail_line : "no device") + " -> " + message);
      unlink(kMisc);
      ASSERT_TRUE(!present || write_file(kMisc, record));
      SyslogCapture cap;
      EXPECT_EQ(c.expected, c.call());
      EXPECT_EQ(std::vector<std::string>{message}, cap.messages(LOG_ERR));
      EXPECT_EQ(1u, cap.lines().size());
      EXPECT_EQ(present ? record : "", read_file(kMisc));
    }
  }
}

}  // namespace
