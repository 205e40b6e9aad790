// Shared helpers of the device-file layer.
#pragma once

#include <stddef.h>

// 1 when fd is a regular file (an emulated device), 0 for anything else.
int plat_is_emulated(int fd);

// Path of an open descriptor (through /proc/self/fd), for the emulation's
// control files. 0, or -1 when it cannot be told.
int plat_fd_path(int fd, char* out, size_t size);
