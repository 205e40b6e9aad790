#include "platform/mtd_rules.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool parse_number(const char* text, unsigned long* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 0);
  if (end == text || errno != 0 || *text == '-') return false;
  while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
  if (*end != '\0') return false;
  *out = v;
  return true;
}

bool listed(const unsigned long* list, int count, unsigned long value) {
  for (int i = 0; i < count; ++i)
    if (list[i] == value) return true;
  return false;
}

void parse_line(const char* line, mtd_control* c) {
  unsigned long v = 0;
  if (strncmp(line, "erasesize ", 10) == 0 && parse_number(line + 10, &v) && v <= UINT32_MAX) {
    c->erasesize = static_cast<uint32_t>(v);
  } else if (strncmp(line, "remap ", 6) == 0 && parse_number(line + 6, &v)) {
    c->remap = v != 0;
  } else if (strncmp(line, "served ", 7) == 0 && parse_number(line + 7, &v)) {
    c->served = v != 0;
  } else if (strncmp(line, "short ", 6) == 0 && parse_number(line + 6, &v)) {
    c->has_short = true;
    c->short_len = v;
  } else if (strcmp(line, "fail info") == 0) {
    c->fail_info = true;
  } else if (strcmp(line, "fail remap") == 0) {
    c->fail_remap = true;
  } else if (strncmp(line, "fail erase ", 11) == 0 && parse_number(line + 11, &v)) {
    if (c->erase_faults < mtd_control::kMaxFaults) c->fail_erase[c->erase_faults++] = v;
  } else if (strncmp(line, "fail write ", 11) == 0 && parse_number(line + 11, &v)) {
    if (c->write_faults < mtd_control::kMaxFaults) c->fail_write[c->write_faults++] = v;
  }
}

}  // namespace

void mtd_control_parse(const char* text, size_t len, mtd_control* out) {
  char line[256];
  size_t used = 0;
  for (size_t i = 0; i <= len; ++i) {
    if (i == len || text[i] == '\n') {
      while (used > 0 && (line[used - 1] == '\r' || line[used - 1] == ' ')) --used;
      line[used] = '\0';
      parse_line(line, out);
      used = 0;
    } else if (used + 1 < sizeof line) {
      line[used++] = text[i];
    }
  }
}

int mtd_rules_erase(const mtd_control* c, uint64_t size, uint64_t start, uint64_t length, uint64_t* erase_len) {
  *erase_len = 0;
  uint64_t unit = c->erasesize;
  if (unit == 0 || length == 0 || start % unit != 0 || length % unit != 0 || start > size || length > size - start)
    return -EINVAL;
  for (uint64_t block = start / unit; block < (start + length) / unit; ++block) {
    if (listed(c->fail_erase, c->erase_faults, static_cast<unsigned long>(block))) return -EIO;
    *erase_len += unit;
  }
  return 0;
}

ssize_t mtd_rules_write(const mtd_control* c, uint64_t size, uint64_t at, size_t len) {
  if (len == 0) return 0;
  if (at >= size) return -ENOSPC;
  if (listed(c->fail_write, c->write_faults, static_cast<unsigned long>(at / PLAT_MTD_WRITE_CHUNK))) return -EIO;
  if (static_cast<uint64_t>(len) > size - at) len = static_cast<size_t>(size - at);
  if (c->has_short && len > c->short_len) len = c->short_len;
  return static_cast<ssize_t>(len);
}

int mtd_rules_remap(const mtd_control* c) {
  if (!c->remap) return -ENOTTY;
  return c->fail_remap ? -EIO : 0;
}

// Eight bytes at a time: a partition's whole payload passes through here.
void mtd_rules_program(unsigned char* cells, const unsigned char* data, size_t n) {
  size_t i = 0;
  for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
    uint64_t cell;
    uint64_t bits;
    memcpy(&cell, cells + i, sizeof cell);
    memcpy(&bits, data + i, sizeof bits);
    cell &= bits;
    memcpy(cells + i, &cell, sizeof cell);
  }
  for (; i < n; ++i) cells[i] &= data[i];
}
