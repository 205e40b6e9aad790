#include "devenv/env_store.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "devenv/profile.h"
#include "log/rl_log.h"
#include "sysrun/shell_runner.h"

namespace {

constexpr int kReadEnvFailed = -88;  // UPD_MSG_READ_ENV_FAILED of the ROM check
constexpr int kCopyAttempts = 5;
constexpr size_t kCommandSize = 512;
constexpr size_t kEnvCommandSize = 256;
constexpr size_t kSoftwareLineSize = 150;
constexpr int kSoftwareLineRead = 149;  // fgets keeps at most 148 characters
constexpr size_t kHardwareTextSize = 100;
constexpr int kHwVersionParts = 8;

const char kEnvCopy[] = "/tmp/avalanche_env_file";
const char kSoftwareCopy[] = "/tmp/ver_software";
const char kHardwareCopy[] = "/tmp/ver_hardware";

const char* const kAcceptedNames[] = {
    "MID_VERSION", "SW_OEM", "SW_protect", "mtd0", "mtd1", "mtd2", "mtd3",
    "mtd4",        "mtd5",   "mtd6",       "mtd7", "mtd8", "mtd9", "Mtd2Version",
};

struct version_record {
  const char* key;
  const char* file;
};

const version_record kVersionRecords[] = {
    {"RomVersion", "/app/version.conf"},
    {"Mtd6Version", "/app/version.conf"},
    {"Mtd5Version", "/basic/version.conf"},
    {"Mtd0Version", "/version.conf"},
};

// Closes the copy on every path out of a reader.
class unique_file {
 public:
  explicit unique_file(FILE* f) : f_(f) {}
  unique_file(const unique_file&) = delete;
  unique_file& operator=(const unique_file&) = delete;
  ~unique_file() {
    if (f_) fclose(f_);
  }
  FILE* get() const { return f_; }

 private:
  FILE* f_;
};

bool is_accepted_name(const char* name) {
  for (const char* accepted : kAcceptedNames) {
    if (strcmp(name, accepted) == 0) return true;
  }
  return false;
}

bool is_mtd_name(const char* name) {
  return strncmp(name, "mtd", 3) == 0 && name[3] >= '0' && name[3] <= '9' && name[4] == '\0';
}

// Entries are filled from index 0 upward without gaps: the first empty name is free.
int next_free_entry(const env_info* table) {
  for (int i = 0; i < ENV_TABLE_SIZE; i++) {
    if (table[i].name[0] == '\0') return i;
  }
  return ENV_TABLE_SIZE;
}

// Puts a text record into the next free entry. A full table drops the
// record: nothing is ever written past the thirtieth entry.
int store_text(env_info* table, const char* name, const char* value) {
  int i = next_free_entry(table);
  if (i >= ENV_TABLE_SIZE) {
    rl_log_err("env data too many\n");
    return -1;
  }
  snprintf(table[i].name, sizeof table[i].name, "%s", name);
  snprintf(table[i].value, sizeof table[i].value, "%s", value);
  return 0;
}

bool is_scan_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One "%x" conversion: leading white space, an optional 0x prefix, at least
// one hex digit. A number that does not fit 32 bits is not a number here.
bool scan_hex32(const char** text, uint32_t* out) {
  const char* p = *text;
  while (is_scan_space(*p)) p++;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0) p += 2;
  if (hex_digit(*p) < 0) return false;
  uint64_t v = 0;
  for (int d; (d = hex_digit(*p)) >= 0; p++) {
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  *out = static_cast<uint32_t>(v);
  *text = p;
  return true;
}

// "%x,%x": both numbers or nothing. A value from which fewer than two numbers
// can be scanned gives no entry, so no address is ever made up.
bool scan_mtd_range(const char* value, uint32_t* start, uint32_t* end) {
  const char* p = value;
  uint32_t first, second;
  if (!scan_hex32(&p, &first) || *p != ',') return false;
  p++;
  if (!scan_hex32(&p, &second)) return false;
  *start = first;
  *end = second;
  return true;
}

int store_variable(env_info* table, const char* name, const char* value) {
  if (!is_mtd_name(name)) return store_text(table, name, value);
  uint32_t start, end;
  if (!scan_mtd_range(value, &start, &end)) return 1;
  int i = next_free_entry(table);
  if (i >= ENV_TABLE_SIZE) return -1;  // not reached: the caller checked the room
  snprintf(table[i].name, sizeof table[i].name, "%s", name);
  table[i].start_addr = start;
  table[i].end_addr = end;
  return 0;
}

// Gathers a line of the environment copy; characters beyond the buffer are
// counted but not stored.
struct env_line {
  char text[ENV_LINE_SIZE];
  size_t length;
};

void env_line_feed(env_line* line, env_info* table, char c, int* stored) {
  if (c != '\n') {
    if (line->length < ENV_LINE_SIZE - 1) line->text[line->length] = c;
    if (line->length < ENV_LINE_SIZE) line->length++;
    return;
  }
  size_t kept = line->length < ENV_LINE_SIZE - 1 ? line->length : ENV_LINE_SIZE - 1;
  line->text[kept] = '\0';
  if (env_accept_line(table, line->text, line->length) == 0) (*stored)++;
  line->length = 0;
}

// Copies a kernel file to `target` with the copy of cat under /tmp/bin. A
// failing shell ends the copy at once; an empty or missing result is tried
// again, up to five times, after which the caller reads whatever is there.
int copy_kernel_file(const char* source, const char* target) {
  for (int attempt = 0; attempt < kCopyAttempts; attempt++) {
    char cmd[kCommandSize];
    memset(cmd, 0, sizeof cmd);
    snprintf(cmd, sizeof cmd, "/tmp/bin/cat %s > %s", source, target);
    rl_log_info("shellcmd:%s\n", cmd);
    if (check_shell_status(system(cmd)) < 0) return -1;
    struct stat st;
    if (stat(target, &st) == 0 && st.st_size != 0) return 0;
  }
  return 0;
}

int load_env_variables(env_info* table) {
  if (copy_kernel_file("/proc/avalanche/env", kEnvCopy) < 0) return -1;
  unique_file f(fopen(kEnvCopy, "r"));
  if (!f.get()) return kReadEnvFailed;
  env_line line = {};
  int stored = 0;
  for (int c; (c = getc(f.get())) != EOF;) env_line_feed(&line, table, static_cast<char>(c), &stored);
  return 0;
}

void load_version_records(env_info* table) {
  for (const version_record& record : kVersionRecords) {
    char value[ENV_VALUE_SIZE];
    memset(value, 0, sizeof value);
    if (read_profile_string("Version", record.key, value, sizeof value, nullptr, record.file) != 1) {
      continue;
    }
    if (store_text(table, record.key, value) == 0) rl_log_debug("%s:%s\n", record.key, value);
  }
}

int load_software_version(env_info* table) {
  if (copy_kernel_file("/proc/ver/software", kSoftwareCopy) < 0) return -1;
  unique_file f(fopen(kSoftwareCopy, "r"));
  if (!f.get()) return kReadEnvFailed;
  char line[kSoftwareLineSize];
  memset(line, 0, sizeof line);
  if (!fgets(line, kSoftwareLineRead, f.get())) line[0] = '\0';
  return env_parse_software_version(table, line, sizeof line);
}

// atoi-like: leading white space, an optional sign, digits up to the first
// other character. Only the low eight bits are kept, so wrapping is harmless.
unsigned char decimal_low_byte(const char* p, const char* end) {
  while (p < end && is_scan_space(*p)) p++;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = (*p++ == '-');
  uint32_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; p++) v = v * 10u + static_cast<uint32_t>(*p - '0');
  if (negative) v = 0u - v;
  return static_cast<unsigned char>(v & 0xFFu);
}

bool is_unsafe_in_command(char c) {
  // Inside double quotes the shell still expands these; control characters
  // would split the kernel's line.
  return c == '"' || c == '\\' || c == '$' || c == '`' || static_cast<unsigned char>(c) < 0x20 ||
         c == 0x7F;
}

bool is_safe_env_text(const char* name, const char* value) {
  for (const char* p = name; *p; p++) {
    if (is_unsafe_in_command(*p) || *p == ' ') return false;
  }
  for (const char* p = value; *p; p++) {
    if (is_unsafe_in_command(*p)) return false;
  }
  return true;
}

}  // namespace

int env_find(const env_info* table, const char* name, int* index) {
  if (!table || !name || !index) return -1;
  // A stored name has at most ENV_NAME_SIZE - 1 characters; a field without
  // a terminator holds no name.
  size_t wanted = strlen(name);
  if (wanted >= ENV_NAME_SIZE) return -1;
  for (int i = 0; i < ENV_TABLE_SIZE; i++) {
    const char* candidate = table[i].name;
    if (strnlen(candidate, ENV_NAME_SIZE) == wanted && memcmp(candidate, name, wanted) == 0) {
      *index = i;
      return 0;
    }
  }
  return -1;
}

int env_accept_line(env_info* table, const char* line, size_t length) {
  if (!table || !line) return -1;
  if (next_free_entry(table) >= ENV_TABLE_SIZE) {
    rl_log_err("env data too many\n");
    return -1;
  }
  if (length >= ENV_LINE_SIZE) {
    rl_log_err("env data too long\n");
    return -1;
  }
  size_t name_length = strcspn(line, " \t");
  if (line[name_length] == '\0') {
    rl_log_err("invalid env\n");
    return -1;
  }
  if (name_length >= ENV_NAME_SIZE) {
    rl_log_err("env name too long\n");
    return -1;
  }
  // Only the one separator goes: further blanks and a carriage return stay in the value.
  const char* value = line + name_length + 1;
  if (strlen(value) >= ENV_VALUE_SIZE) {
    rl_log_err("env value too long\n");
    return -1;
  }
  char name[ENV_NAME_SIZE];
  memcpy(name, line, name_length);
  name[name_length] = '\0';
  rl_log_debug("pvar:%s pval:%s\n", name, value);
  if (!is_accepted_name(name)) return 1;
  return store_variable(table, name, value);
}

int env_parse_text(env_info* table, const char* text, size_t size) {
  if (!table || !text) return -1;
  env_line line = {};
  int stored = 0;
  for (size_t i = 0; i < size; i++) env_line_feed(&line, table, text[i], &stored);
  return stored;
}

int env_parse_software_version(env_info* table, const char* text, size_t size) {
  if (!table || !text) return -1;
  // Only the first line counts, and of it at most what the reader keeps.
  size_t limit = size < kSoftwareLineSize - 2 ? size : kSoftwareLineSize - 2;
  size_t n = 0;
  while (n < limit && text[n] != '\0' && text[n] != '\n') n++;
  const char* comma = static_cast<const char*>(memchr(text, ',', n));
  if (!comma) return kReadEnvFailed;
  size_t version_length = static_cast<size_t>(comma - text);
  if (version_length >= ENV_VALUE_SIZE) {
    // Kept cut: such a text never equals a dotted version, so partition 1
    // is treated as of unknown version rather than failing the whole check.
    rl_log_err("software version too long\n");
    version_length = ENV_VALUE_SIZE - 1;
  }
  char version[ENV_VALUE_SIZE];
  memcpy(version, text, version_length);
  version[version_length] = '\0';
  if (store_text(table, "Mtd1Version", version) == 0) rl_log_debug("%s:%s\n", "Mtd1Version", version);
  return 0;
}

int load_env_info(env_info* table) {
  if (!table) return -1;
  int rc = load_env_variables(table);
  if (rc < 0) return rc;
  load_version_records(table);
  return load_software_version(table);
}

int hwver_parse_text(const char* text, size_t size, unsigned char hw_version[8]) {
  if (!text || !hw_version) return -1;
  unsigned char parts[kHwVersionParts] = {};
  int count = 0;
  size_t i = 0;
  // Runs of dots are one separator; dots at either end make no empty piece.
  while (i < size && text[i] != '\0') {
    if (text[i] == '.') {
      i++;
      continue;
    }
    size_t start = i;
    while (i < size && text[i] != '\0' && text[i] != '.') i++;
    if (count == kHwVersionParts) {
      rl_log_err("read hwver fail1\n");
      return -1;
    }
    parts[count++] = decimal_low_byte(text + start, text + i);
  }
  if (count != kHwVersionParts) {
    rl_log_err("hwver read fail2\n");
    return -1;
  }
  memcpy(hw_version, parts, sizeof parts);
  rl_log_info("hw_version: %d.%d.%d.%d.%d.%d.%d.%d\n", hw_version[0], hw_version[1], hw_version[2],
              hw_version[3], hw_version[4], hw_version[5], hw_version[6], hw_version[7]);
  return 0;
}

int read_hw_version(unsigned char hw_version[8]) {
  if (!hw_version) return -1;
  if (copy_kernel_file("/proc/misc/hwver", kHardwareCopy) < 0) return -1;
  char text[kHardwareTextSize];
  memset(text, 0, sizeof text);
  {
    unique_file f(fopen(kHardwareCopy, "r"));
    if (!f.get()) return -1;
    (void)fread(text, 1, sizeof text - 1, f.get());
  }
  rl_log_debug("hardware_version:%s\n", text);
  return hwver_parse_text(text, sizeof text, hw_version);
}

int set_env_value(const char* penv_name, const char* penv_value) {
  if (!penv_name) {
    rl_log_err("penv_name NULL!\n");
    return -1;
  }
  if (!penv_value) {
    rl_log_err("penv_value NULL!\n");
    return -1;
  }
  char cmd[kEnvCommandSize];
  memset(cmd, 0, sizeof cmd);
  int n = penv_value[0] != '\0'
              ? snprintf(cmd, sizeof cmd, "echo \"%s %s\" >/proc/avalanche/env ", penv_name, penv_value)
              : snprintf(cmd, sizeof cmd, "echo \"%s\" >/proc/avalanche/env ", penv_name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) {
    rl_log_err("env str too long!\n");
    return -1;
  }
  // Name and value stand unquoted inside the shell's double quotes; anything
  // the shell would expand there is refused rather than run.
  if (!is_safe_env_text(penv_name, penv_value)) {
    rl_log_err("env str unsafe!\n");
    return -1;
  }
  rl_log_info("\nshellcmd:%s\n", cmd);
  if (check_shell_status(system(cmd)) < 0) {
    rl_log_err("%s shellcmd failed!\n", cmd);
    return -1;
  }
  return 0;
}
