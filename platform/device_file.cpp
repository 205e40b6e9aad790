#include "platform/device_file.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int plat_is_emulated(int fd) {
  struct stat st;
  return (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ? 1 : 0;
}

int plat_fd_path(int fd, char* out, size_t size) {
  if (!out || size == 0) return -1;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, out, size - 1);
  if (n < 0) return -1;
  out[n] = '\0';
  return 0;
}
