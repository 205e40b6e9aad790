// Running shell commands with a time-out and retries, and judging the
// status of a plain shell call.
#pragma once

// Exit code of the command (0 to 255), or -1: null command, failed fork,
// killed by a signal, timed out on its last attempt, signal settings failed.
int system_ex(const char* cmd, int timeout_seconds, int retries);

// 0 when the command exited normally with code 0, else -1.
int check_shell_status(int status);
