// Logging to syslog with the program's prefix "%s pid%d,tid%d,l%d: ".
#pragma once

#include <stdarg.h>

#define RL_LOG_FORMAT(i) __attribute__((format(printf, i, i + 1)))

int rl_log_init(const char* name, int level);
int rl_log_deinit();
int rl_log_set_level(int level);

void rl_log_emerg(const char* fmt, ...) RL_LOG_FORMAT(1);
void rl_log_alert(const char* fmt, ...) RL_LOG_FORMAT(1);
void rl_log_crit(const char* fmt, ...) RL_LOG_FORMAT(1);
void rl_log_err(const char* fmt, ...) RL_LOG_FORMAT(1);
void rl_log_warn(const char* fmt, ...) RL_LOG_FORMAT(1);
void rl_log_notice(const char* fmt, ...) RL_LOG_FORMAT(1);
void rl_log_info(const char* fmt, ...) RL_LOG_FORMAT(1);
void rl_log_debug(const char* fmt, ...) RL_LOG_FORMAT(1);

// Composes the prefixed format and hands it with the arguments to vsyslog.
void rl_log_write(int priority, const char* fmt, va_list args);
