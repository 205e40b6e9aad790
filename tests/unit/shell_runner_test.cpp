#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"
#include "sysrun/shell_runner.h"

namespace {

struct Case {
  const char* name;
  const char* command;
  int timeout;
  int retries;
  int expected;
  const char* attempts;  // what the command's runs appended
  int timeouts;          // each warned of, numbered from -1
};

// The command appends to /tmp/attempts each time it starts.
TEST(SystemEx, TimeoutsRetriesAndResults) {
  const Case cases[] = {
      {"keeps timing out", "echo x >> /tmp/attempts; sleep 20", 1, 2, -1, "x\nx\nx\n", 3},
      {"fails at once: not retried, its code whole", "echo x >> /tmp/attempts; exit 200", 3, 3, 200, "x\n", 0},
      {"time-out 0 waits for the end", "echo x >> /tmp/attempts; usleep 300000; exit 5", 0, 3, 5, "x\n", 0},
      {"negative retries count as 0", "echo x >> /tmp/attempts; sleep 20", 1, -4, -1, "x\n", 1},
      {"killed by a signal", "echo x >> /tmp/attempts; kill -9 $$", 3, 3, -1, "x\n", 0},
      {"success", "echo x >> /tmp/attempts", 3, 3, 0, "x\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink("/tmp/attempts");
    SyslogCapture cap;
    EXPECT_EQ(c.expected, system_ex(c.command, c.timeout, c.retries));
    EXPECT_EQ(c.attempts, read_file("/tmp/attempts"));
    std::vector<std::string> warnings;
    for (int i = -1; i < c.timeouts - 1; ++i)
      warnings.push_back(std::string("system_ex:") + c.command + " retry " + std::to_string(i) + " times...");
    EXPECT_EQ(warnings, cap.messages(4));
  }
  EXPECT_EQ(-1, system_ex(nullptr, 1, 1));
}

void custom_handler(int) {}

// The caller's signal actions and mask come back as they were, also when
// commands run from several threads at once (the countdown and the key wait
// may both reboot).
TEST(SystemEx, RestoresSignalActionsAndMask) {
  struct sigaction mine = {};
  mine.sa_handler = custom_handler;
  sigaction(SIGINT, &mine, nullptr);
  sigaction(SIGQUIT, &mine, nullptr);
  sigset_t before;
  sigemptyset(&before);
  sigaddset(&before, SIGUSR1);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  for (int round = 0; round < 10; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 20; ++t) threads.emplace_back([] { EXPECT_EQ(0, system_ex("true", 2, 0)); });
    for (std::thread& t : threads) t.join();
  }
  for (int sig : {SIGINT, SIGQUIT}) {
    struct sigaction now;
    sigaction(sig, nullptr, &now);
    EXPECT_EQ(reinterpret_cast<void*>(custom_handler), reinterpret_cast<void*>(now.sa_handler)) << sig;
    signal(sig, SIG_DFL);
  }
  sigset_t after;
  sigprocmask(SIG_SETMASK, nullptr, &after);
  EXPECT_TRUE(sigismember(&after, SIGUSR1));
  EXPECT_FALSE(sigismember(&after, SIGCHLD));
  sigprocmask(SIG_UNBLOCK, &before, nullptr);
}

TEST(CheckShellStatus, JudgesStatusWords) {
  struct {
    int status;
    int expected;
  } cases[] = {{0, 0}, {-1, -1}, {1 << 8, -1}, {127 << 8, -1}, {9, -1}, {0x80, 0}};
  for (auto c : cases) EXPECT_EQ(c.expected, check_shell_status(c.status)) << c.status;
}

}  // namespace
