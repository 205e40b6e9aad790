#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "log/rl_log.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

#pragma GCC diagnostic ignored "-Wformat-zero-length"
#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;  // level, whole text

// The pid of the child that logged, handed back through a shared page.
int* const g_child_pid =
    static_cast<int*>(mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));

// Runs fn in a process of its own (the module's state is process-wide) and
// compares what it logged with want, where '$' stands for the child's pid
// (its only thread's id too) and a line holds 4095 bytes at most.
void expect_logged(const std::function<void()>& fn, Lines want) {
  ASSERT_NE(MAP_FAILED, static_cast<void*>(g_child_pid));
  SyslogCapture cap;
  ASSERT_EQ(0, run_in_child([&fn] {
    *g_child_pid = getpid();
    fn();
    return ::testing::Test::HasFailure() ? 1 : 0;
  }));
  Lines got;
  for (const LogLine& line : cap.lines()) {
    EXPECT_EQ(1, line.facility);  // LOG_USER
    got.emplace_back(line.level, line.text);
  }
  for (auto& [level, text] : want) {
    for (size_t at; (at = text.find('$')) != std::string::npos;) text.replace(at, 1, std::to_string(*g_child_pid));
    text.resize(std::min<size_t>(text.size(), 4095));
  }
  EXPECT_EQ(want, got);
}

TEST(Log, BeforeInitThenTheNameCutTo14Bytes) {
  expect_logged(
      [] {
        rl_log_debug("early %d\n", 1);
        rl_log_init("abcdefghijklmnopqrst", 7);
        rl_log_err("copy_bins failed!\n");
      },
      {{7, " pid0,tid$,l7: early 1\n"}, {3, "abcdefghijklmn pid$,tid$,l3: copy_bins failed!\n"}});
}

// The threshold, empty formats, a second init that changes nothing, a long
// line cut.
TEST(Log, ThresholdSecondInitAndLongLines) {
  const std::string big(5000, 'a');
  expect_logged(
      [&big] {
        rl_log_init("upgrader", 6);
        EXPECT_EQ(0, rl_log_init("other", 7));
        rl_log_debug("hidden\n");
        rl_log_info("shown %s\n", "x");
        rl_log_err("");
        rl_log_err(nullptr);
        rl_log_set_level(7);
        rl_log_debug("now %d\n", 7);
        rl_log_warn(big.c_str());
      },
      {{6, "upgrader pid$,tid$,l6: shown x\n"},
       {7, "upgrader pid$,tid$,l7: now 7\n"},
       {4, "upgrader pid$,tid$,l4: " + big}});
}

}  // namespace
