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

// The rest of the line after "<word> <name>" when the line starts so (the
// name ends there or at a blank); nullptr otherwise.
const char* after_word_and_name(const char* line, size_t len, const char* word, const char* name) {
  size_t word_len = strlen(word), name_len = strlen(name);
  if (len < word_len + name_len || strncmp(line, word, word_len) != 0 ||
      strncmp(line + word_len, name, name_len) != 0)
    return nullptr;
  const char* rest = line + word_len + name_len;
  return rest == line + len || *rest == ' ' ? rest : nullptr;
}

// "fail <name>" fails every request (-1); "fail <name> N" only the first N.
// A count that is not plain digits also fails every request, so that a
// mistyped line never makes the board kinder than asked.
int fail_count(const char* rest, const char* line_end) {
  if (rest == line_end) return -1;
  long n = 0;
  for (const char* c = rest + 1; c < line_end; ++c) {
    if (*c < '0' || *c > '9' || n > 100000) return -1;
    n = n * 10 + (*c - '0');
  }
  return rest + 1 < line_end ? static_cast<int>(n) : -1;
}

// Scans the record line by line: *failing from the last "fail <name>" line,
// *failed counts the "failed <name>" lines (each a counted fault used up),
// *last is the value of the last "<name> <value>" line.
void scan_record(const char* text, const char* name, int* failing, int* failed, unsigned int* last) {
  size_t name_len = strlen(name);
  for (const char* line = text; *line;) {
    const char* end = strchr(line, '\n');
    size_t len = end ? static_cast<size_t>(end - line) : strlen(line);
    const char* rest = nullptr;
    if ((rest = after_word_and_name(line, len, "fail ", name)) != nullptr)
      *failing = fail_count(rest, line + len);
    else if ((rest = after_word_and_name(line, len, "failed ", name)) != nullptr && rest == line + len)
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
