#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"
#include "sysrun/system_actions.h"

namespace {

// /dev/misc0 as a regular file records each request: the watchdog history.
TEST(Watchdog, RecordsTheHistoryOrSaysWhyNot) {
  unlink("/dev/misc0");
  SyslogCapture cap;
  EXPECT_EQ(-1, set_watchdog(0));
  EXPECT_EQ(-1, upgrader_set_watchdog(0));
  ASSERT_TRUE(write_file("/dev/misc0", "fail watchdog\n"));
  EXPECT_EQ(-1, set_watchdog(0));
  EXPECT_EQ(-1, upgrader_set_watchdog(1));
  // A counted fault: the first two requests fail, the next ones work.
  ASSERT_TRUE(write_file("/dev/misc0", "fail watchdog 2\n"));
  EXPECT_EQ(-1, set_watchdog(0));
  EXPECT_EQ(-1, set_watchdog(0));
  EXPECT_EQ(0, set_watchdog(0));
  EXPECT_EQ(0, set_watchdog(1));
  EXPECT_EQ("fail watchdog 2\nfailed watchdog\nfailed watchdog\nwatchdog 0\nwatchdog 1\n", read_file("/dev/misc0"));
  // A count that is not a number fails every request, used-up lines or not.
  ASSERT_TRUE(write_file("/dev/misc0", "fail watchdog 2x\nfailed watchdog\nfailed watchdog\n"));
  EXPECT_EQ(-1, set_watchdog(0));
  ASSERT_TRUE(write_file("/dev/misc0", ""));
  EXPECT_EQ(0, upgrader_set_watchdog(0));
  EXPECT_EQ("watchdog 0\n", read_file("/dev/misc0"));
  EXPECT_EQ((std::vector<std::string>{"/dev/misc0 open failed\n", "upgrader_set_watchdog",
                                      "open misc ioctl device failed.", "/dev/misc0 ctrl failed!\n",
                                      "upgrader_set_watchdog", "IOCTL MISC_IOCS_WATCHDOG failed.",
                                      "/dev/misc0 ctrl failed!\n", "/dev/misc0 ctrl failed!\n",
                                      "/dev/misc0 ctrl failed!\n", "upgrader_set_watchdog", "upgrader_set_watchdog,ok"}),
            cap.messages(3));
}

// States 2 and -3 keep the applications running; the script's failure is one.
TEST(Killapps, StatesThatKeepApplicationsRunning) {
  ASSERT_TRUE(write_file("/app/scripts/killapps.sh", "#!/bin/sh\necho ran >> /tmp/killapps.ran\nexit 0\n"));
  chmod("/app/scripts/killapps.sh", 0755);
  unlink("/tmp/killapps.ran");
  for (int state : {2, -3, 0, 1}) EXPECT_EQ(0, killapps(state)) << state;
  EXPECT_EQ("ran\nran\n", read_file("/tmp/killapps.ran"));
  ASSERT_TRUE(write_file("/app/scripts/killapps.sh", "#!/bin/sh\nexit 1\n"));
  SyslogCapture cap;
  EXPECT_EQ(-1, killapps(0));
  EXPECT_TRUE(cap.has("killapps failed!\n", 3));
}

TEST(Reboot, CopyOrSearchPathByFallbackFlag) {
  ASSERT_TRUE(write_file("/tmp/reboot", "#!/bin/sh\necho copy >> /tmp/reboots\n"));
  chmod("/tmp/reboot", 0755);
  unlink("/tmp/reboots");
  EXPECT_EQ(0, upgrader_reboot(0));
  EXPECT_EQ("copy\n", read_file("/tmp/reboots"));
  // "reboot" is busybox's applet, which asks init to reboot: the simulated
  // device's init records the request.
  std::string before = read_file("/sim/reboot-requests");
  EXPECT_EQ(0, upgrader_reboot(1));
  for (int i = 0; i < 100 && read_file("/sim/reboot-requests") == before; ++i) usleep(10000);
  EXPECT_EQ(before + "reboot\n", read_file("/sim/reboot-requests"));
}

}  // namespace
