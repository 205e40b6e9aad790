#include "platform/misc_device.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "platform/device_file.h"

namespace {

const char* request_name(unsigned long request) {
  switch (request) {
    case MISC_IOCS_WATCHDOG: return "watchdog";
    case MISC_IOCS_LED: case MISC_IOCG_LED: return "led";
    case MISC_IOCS_BKLIGHT: case MISC_IOCG_BKLIGHT: return "bklight";
    case MISC_IOCS_EXT_LED: return "ext_led";
    default: return nullptr;
  }
}

// Reads the whole record file. The record is small: a few lines per run.
int read_record(int fd, char* buf, size_t size) {
  size_t used = 0;
  while (used + 1 < size) {
    ssize_t n = pread(fd, buf + used, size - 1 - used, static_cast<off_t>(used));
    if (n < 0) return -1;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  buf[used] = '\0';
  return 0;
}

// Scans the record line by line. A "fail <name>" line makes every request
// of that kind fail; "fail <name> N" only the first N, each failed one being
// recorded as "failed <name>" (*failed counts those). *last is the value of
// the last "<name> <value>" line.
void scan_record(const char* text, const char* name, int* failing, int* failed, unsigned int* last) {
  size_t name_len = strlen(name);
  for (const char* line = text; *line;) {
    const char* end = strchr(line, '\n');
    size_t len = end ? static_cast<size_t>(end - line) : strlen(line);
    bool names = len >= 5 + name_len && strncmp(line + 5, name, name_len) == 0;
    if (names && strncmp(line, "fail ", 5) == 0 && len == 5 + name_len)
      *failing = -1;
    else if (names && strncmp(line, "fail ", 5) == 0 && line[5 + name_len] == ' ')
      *failing = atoi(line + 6 + name_len);
    else if (len == 7 + name_len && strncmp(line, "failed ", 7) == 0 && strncmp(line + 7, name, name_len) == 0)
      ++*failed;
    else if (len > name_len + 1 && strncmp(line, name, name_len) == 0 && line[name_len] == ' ')
      *last = static_cast<unsigned int>(strtoul(line + name_len + 1, nullptr, 0));
    line += len + (end ? 1 : 0);
  }
}

int append_line(int fd, const char* line) {
  size_t len = strlen(line);
  if (lseek(fd, 0, SEEK_END) < 0) return -1;
  return write(fd, line, len) == static_cast<ssize_t>(len) ? 0 : -1;
}

int emulate(int fd, unsigned long request, unsigned int* value, bool is_set) {
  const char* name = request_name(request);
  if (!name) {
    errno = ENOTTY;
    return -1;
  }
  constexpr size_t kRecordSize = 65536;
  std::unique_ptr<char[]> record(new (std::nothrow) char[kRecordSize]);
  if (!record || read_record(fd, record.get(), kRecordSize) != 0) return -1;
  int failing = 0, failed = 0;
  unsigned int last = 0;
  scan_record(record.get(), name, &failing, &failed, &last);
  if (failing < 0 || failed < failing) {
    char line[64];
    snprintf(line, sizeof line, "failed %s\n", name);
    if (failing > 0) (void)append_line(fd, line);
    errno = EIO;
    return -1;
  }
  if (!is_set) {
    *value = last;
    return 0;
  }
  char line[64];
  snprintf(line, sizeof line, "%s %u\n", name, *value);
  return append_line(fd, line);
}

}  // namespace

int plat_misc_set(int fd, unsigned long request, unsigned int value) {
  if (plat_is_emulated(fd)) return emulate(fd, request, &value, true);
  return ioctl(fd, request, static_cast<unsigned long>(value)) < 0 ? -1 : 0;
}

int plat_misc_get(int fd, unsigned long request, unsigned int* value) {
  if (!value) {
    errno = EFAULT;
    return -1;
  }
  if (plat_is_emulated(fd)) return emulate(fd, request, value, false);
  return ioctl(fd, request, value) < 0 ? -1 : 0;
}
