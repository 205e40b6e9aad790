#include "log/rl_log.h"

#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr int kNameKept = 14;
constexpr int kLineSize = 4096;

// Written once by rl_log_init before any thread starts; read by every call.
int g_initialised = 0;
int g_pid = 0;
char g_name[16] = "";
int g_threshold = 7;

int kernel_tid() { return static_cast<int>(syscall(SYS_gettid)); }

}  // namespace

int rl_log_init(const char* name, int level) {
  if (g_initialised) return 0;
  g_initialised = 1;
  closelog();
  memset(g_name, 0, sizeof g_name);
  if (name) strncpy(g_name, name, kNameKept);
  g_pid = getpid();
  g_threshold = level;
  openlog("", LOG_NDELAY, LOG_USER);
  return 0;
}

int rl_log_deinit() {
  if (!g_initialised) return 0;
  g_initialised = 0;
  closelog();
  return 0;
}

int rl_log_set_level(int level) {
  g_threshold = level;
  return g_threshold;
}

void rl_log_write(int priority, const char* fmt, va_list args) {
  char line[kLineSize];
  memset(line, 0, sizeof line);
  snprintf(line, sizeof line, "%s pid%d,tid%d,l%d: %s", g_name, g_pid, kernel_tid(), priority, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vsyslog(priority, line, args);
#pragma GCC diagnostic pop
}

#define RL_LOG_LEVEL_FUNCTION(fn, priority)               \
  void fn(const char* fmt, ...) {                         \
    if (!fmt || !*fmt || g_threshold < (priority)) return; \
    va_list args;                                         \
    va_start(args, fmt);                                  \
    rl_log_write((priority), fmt, args);                  \
    va_end(args);                                         \
  }

RL_LOG_LEVEL_FUNCTION(rl_log_emerg, LOG_EMERG)
RL_LOG_LEVEL_FUNCTION(rl_log_alert, LOG_ALERT)
RL_LOG_LEVEL_FUNCTION(rl_log_crit, LOG_CRIT)
RL_LOG_LEVEL_FUNCTION(rl_log_err, LOG_ERR)
RL_LOG_LEVEL_FUNCTION(rl_log_warn, LOG_WARNING)
RL_LOG_LEVEL_FUNCTION(rl_log_notice, LOG_NOTICE)
RL_LOG_LEVEL_FUNCTION(rl_log_info, LOG_INFO)
RL_LOG_LEVEL_FUNCTION(rl_log_debug, LOG_DEBUG)
