#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "log/rl_log.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

#pragma GCC diagnostic ignored "-Wformat-zero-length"
#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

// The child's pid, handed back through a shared page; in a single-threaded
// child the thread id equals it.
struct SharedPid {
  int* pid = static_cast<int*>(mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ~SharedPid() { (void)munmap(pid, sizeof(int)); }
};

// What fn logs in a process of its own (the module's state is process-wide);
// empty when the process failed.
std::vector<LogLine> logged(const std::function<void()>& fn) {
  SyslogCapture cap;
  int status = run_in_child([&] {
    fn();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  return status == 0 ? cap.lines() : std::vector<LogLine>{};
}

TEST(Log, BeforeInitCarriesEmptyNameAndPidZero) {
  auto lines = logged([] { rl_log_debug("early %d\n", 1); });
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(7, lines[0].level);
  EXPECT_EQ(1, lines[0].facility);  // LOG_USER
  EXPECT_EQ(" pid0,tid", lines[0].text.substr(0, 9));
  EXPECT_EQ("early 1\n", lines[0].message());
}

TEST(Log, ComposedTextPriorityAndNameCut) {
  auto lines = logged([] {
    rl_log_init("abcdefghijklmnopqrst", 7);
    rl_log_err("copy_bins failed!\n");
  });
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(3, lines[0].level);
  EXPECT_EQ(0u, lines[0].text.find("abcdefghijklmn pid"));
  EXPECT_NE(std::string::npos, lines[0].text.find(",l3: copy_bins failed!\n"));
}

TEST(Log, ThresholdEmptyFormatAndSecondInit) {
  auto lines = logged([] {
    rl_log_init("upgrader", 6);
    EXPECT_EQ(0, rl_log_init("other", 7));  // changes nothing
    rl_log_debug("hidden\n");
    rl_log_info("shown %s\n", "x");
    rl_log_err("");
    rl_log_err(nullptr);
    rl_log_set_level(7);
    rl_log_debug("now %d\n", 7);
  });
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(6, lines[0].level);
  EXPECT_EQ("shown x\n", lines[0].message());
  EXPECT_EQ(0u, lines[0].text.find("upgrader pid"));
  EXPECT_EQ("now 7\n", lines[1].message());
}

TEST(Log, LongFormatIsCutAt4095Bytes) {
  std::string big(5000, 'a');
  SharedPid child;
  ASSERT_NE(MAP_FAILED, static_cast<void*>(child.pid));
  auto lines = logged([&] {
    *child.pid = getpid();
    rl_log_init("upgrader", 7);
    rl_log_warn(big.c_str());
  });
  const std::string id = std::to_string(*child.pid);
  const std::string prefix = "upgrader pid" + id + ",tid" + id + ",l4: ";
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(4, lines[0].level);
  EXPECT_EQ(prefix + std::string(4095 - prefix.size(), 'a'), lines[0].text);
}

}  // namespace
