#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "lcd/devctrl.h"
#include "platform/misc_device.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

namespace {

const char kMisc[] = "/dev/misc0";

struct LedCase {
  const char* name;
  std::vector<std::pair<int, int>> leds;  // (LED, state)
  unsigned expected_word;
};

std::vector<unsigned char> state_array(const std::vector<std::pair<int, int>>& leds) {
  std::vector<unsigned char> a(DEVCTRL_LED_STATE_BYTES, 0);
  for (auto [led, s] : leds) a[led / 4] |= static_cast<unsigned char>(s << (2 * (led % 4)));
  return a;
}

TEST(Devctrl, LedStateArrayEncodesOneWord) {
  const LedCase cases[] = {
      {"led0 lamp and led9 second colour", {{0, 1}, {9, 2}}, 0x401},
      {"led0 state 2 has no lamp", {{0, 2}}, 0},
      {"led0 state 3 counts as 1", {{0, 3}}, 0x1},
      {"led18 first", {{18, 1}}, 1u << 27},
      {"led18 second", {{18, 2}}, 1u << 28},
      {"led8 single lamp", {{8, 1}}, 1u << 8},
      {"led8 has no second lamp", {{8, 2}}, 0},
      {"led9 first", {{9, 1}}, 1u << 9},
      {"states 0 and 3 dark", {{1, 3}, {5, 3}, {12, 3}, {17, 3}, {18, 0}}, 0},
      {"all first lamps", {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1},
                           {10, 1}, {11, 1}, {12, 1}, {13, 1}, {14, 1}, {15, 1}, {16, 1}, {17, 1}, {18, 1}},
       0x0AAAABFF},
      {"all second lamps", {{9, 2}, {10, 2}, {11, 2}, {12, 2}, {13, 2}, {14, 2}, {15, 2}, {16, 2}, {17, 2}, {18, 2}},
       0x15555400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_file(kMisc, ""));
    auto a = state_array(c.leds);
    unsigned char first = a[0];
    EXPECT_EQ(0, devctrl_set_led_state(a.data()));
    EXPECT_EQ("led " + std::to_string(c.expected_word) + "\n", read_file(kMisc));
    EXPECT_EQ(first & ~0x02, a[0]);  // bit 1 of the caller's first byte is cleared
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
      {[] {
         unsigned char a[5] = {1, 0, 0, 0, 0};
         return devctrl_set_led_state(a);
       },
       -1, "fail led", "IOCTL MISC_IOCS_LED failed."},
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

// The misc driver's request numbers as the target's kernel defines them.
TEST(Devctrl, RequestNumbersOfTheTarget) {
#if defined(__mips__)
  EXPECT_EQ(0x80044D05u, static_cast<unsigned>(MISC_IOCS_WATCHDOG));
  EXPECT_EQ(0x80044D07u, static_cast<unsigned>(MISC_IOCS_LED));
  EXPECT_EQ(0x40044D08u, static_cast<unsigned>(MISC_IOCG_LED));
  EXPECT_EQ(0x80044D09u, static_cast<unsigned>(MISC_IOCS_BKLIGHT));
  EXPECT_EQ(0x40044D0Au, static_cast<unsigned>(MISC_IOCG_BKLIGHT));
  EXPECT_EQ(0x80044D11u, static_cast<unsigned>(MISC_IOCS_EXT_LED));
#else
  GTEST_SKIP() << "target request numbers are checked on the mipsel build";
#endif
}

}  // namespace
