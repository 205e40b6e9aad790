#include "sysrun/shell_runner.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "log/rl_log.h"

namespace {

struct saved_signals {
  struct sigaction intr, quit;
  sigset_t mask;
};

int ignore_interrupts(saved_signals* saved) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGINT, &ignore, &saved->intr) < 0) return -1;
  if (sigaction(SIGQUIT, &ignore, &saved->quit) < 0) return -1;
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  if (sigprocmask(SIG_BLOCK, &chld, &saved->mask) < 0) return -1;
  return 0;
}

int restore_signals(const saved_signals& saved) {
  int rc = 0;
  if (sigaction(SIGINT, &saved.intr, nullptr) < 0) rc = -1;
  if (sigaction(SIGQUIT, &saved.quit, nullptr) < 0) rc = -1;
  if (sigprocmask(SIG_SETMASK, &saved.mask, nullptr) < 0) rc = -1;
  return rc;
}

[[noreturn]] void run_child(const char* cmd, const saved_signals& saved) {
  (void)restore_signals(saved);
  execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
  _exit(127);
}

// The child is polled every 10 ms, and a second of the time-out is counted
// after 100 polls: a quick command costs its own time, not a whole second.
constexpr int kPollsPerSecond = 100;
constexpr useconds_t kPollInterval = 1000000 / kPollsPerSecond;

// Waits for the child for at most `timeout` seconds (for ever when it is 0
// or less). Returns its status, or -1 on a poll error or a time-out; sets
// *timed_out in the latter case after the child has been killed.
int wait_child(pid_t pid, const char* cmd, int timeout, int attempt, bool* timed_out) {
  int remaining = timeout;
  int polls = 0;
  for (;;) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return -1;
    if (timeout <= 0) continue;
    usleep(kPollInterval);
    if (++polls < kPollsPerSecond) continue;
    polls = 0;
    if (--remaining > 0) continue;
    rl_log_warn("%s:%s retry %d times...", "system_ex", cmd, attempt);
    if (kill(pid, SIGKILL) == 0) {
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
    *timed_out = true;
    return -1;
  }
}

// SIGINT and SIGQUIT actions are process-wide: two threads that each saved
// and restored them around a command could leave them ignored for good, so
// one command runs at a time.
pthread_mutex_t g_runner_lock = PTHREAD_MUTEX_INITIALIZER;

int run_command(const char* cmd, int timeout_seconds, int retries) {
  saved_signals saved;
  if (ignore_interrupts(&saved) < 0) return -1;

  int status = -1;
  int attempt = -1;
  for (;;) {
    bool timed_out = false;
    pid_t pid = fork();
    if (pid < 0) {
      status = -1;
    } else if (pid == 0) {
      run_child(cmd, saved);
    } else {
      status = wait_child(pid, cmd, timeout_seconds, attempt, &timed_out);
    }
    ++attempt;
    if (pid < 0 || !timed_out || attempt >= retries) break;
  }

  if (restore_signals(saved) < 0) return -1;
  if (status & 0x7f) return -1;  // killed by a signal; also the status -1
  return (status >> 8) & 0xff;
}

}  // namespace

int system_ex(const char* cmd, int timeout_seconds, int retries) {
  if (!cmd) return -1;
  if (retries < 0) retries = 0;
  pthread_mutex_lock(&g_runner_lock);
  int rc = run_command(cmd, timeout_seconds, retries);
  pthread_mutex_unlock(&g_runner_lock);
  return rc;
}

int check_shell_status(int status) {
  if (status < 0 || (status & 0x7f) || (status & 0xff00)) return -1;
  return 0;
}
