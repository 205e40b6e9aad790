#include "sim/profile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace sim {

bool has_control(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += hex;
  }
  return out;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> split_words(const std::string& s) {
  std::vector<std::string> words;
  std::istringstream in(s);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

namespace {

// A comment starts with ';' or '#' at the start of a line, or after a blank.
std::string strip_comment(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if ((line[i] == ';' || line[i] == '#') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
      return line.substr(0, i);
  }
  return line;
}

int line_error(std::string* error, int lineno, const char* what) {
  if (error) *error = "line " + std::to_string(lineno) + ": " + what;
  return -1;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) (void)close(fd);
  }
};

}  // namespace

int ini_parse(const std::string& text, std::vector<IniSection>* out, std::string* error) {
  out->clear();
  std::istringstream in(text);
  std::string raw;
  int lineno = 0;
  while (std::getline(in, raw)) {
    ++lineno;
    std::string line = trim(strip_comment(raw));
    if (line.empty()) continue;
    if (line[0] == '[') {
      if (line.back() != ']') return line_error(error, lineno, "a section header ends with ]");
      std::string name = trim(line.substr(1, line.size() - 2));
      if (name.empty()) return line_error(error, lineno, "empty section name");
      out->push_back(IniSection{name, lineno, {}});
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || out->empty())
      return line_error(error, lineno, "expected key = value inside a section");
    std::string key = trim(line.substr(0, eq));
    if (key.empty()) return line_error(error, lineno, "empty key");
    out->back().entries.emplace_back(key, trim(line.substr(eq + 1)));
  }
  return 0;
}

int read_regular_file(const std::string& path, unsigned long long max_bytes, std::string* out, std::string* error) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer before it is refused.
  Fd f{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  struct stat st;
  if (f.fd < 0 || fstat(f.fd, &st) != 0) {
    if (error) *error = path + ": " + strerror(errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    if (error) *error = path + ": not a regular file";
    return -1;
  }
  std::string data;
  char buf[65536];
  ssize_t n;
  // The size is checked while reading too: the file may grow under us.
  while (static_cast<unsigned long long>(st.st_size) <= max_bytes && data.size() <= max_bytes &&
         (n = read(f.fd, buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = path + ": " + strerror(errno);
      return -1;
    }
    data.append(buf, static_cast<size_t>(n));
  }
  if (static_cast<unsigned long long>(st.st_size) > max_bytes || data.size() > max_bytes) {
    if (error) *error = path + ": larger than " + std::to_string(max_bytes) + " bytes";
    return -1;
  }
  *out = std::move(data);
  return 0;
}

bool read_root_file(const std::string& path, std::string* out) {
  return read_regular_file(path, 256ull * 1024 * 1024, out, nullptr) == 0;
}

std::string ini_unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    out += c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
  }
  return out;
}

const ProfileSection* Profile::section(const std::string& name) const {
  for (const ProfileSection& s : sections)
    if (s.name == name) return &s;
  return nullptr;
}

std::string Profile::get(const std::string& sec, const std::string& key, const std::string& fallback) const {
  std::vector<std::string> values = all(sec, key);
  return values.empty() ? fallback : values.back();
}

bool Profile::has(const std::string& sec, const std::string& key) const {
  return !all(sec, key).empty();
}

std::vector<std::string> Profile::all(const std::string& sec, const std::string& key) const {
  std::vector<std::string> values;
  for (const ProfileSection& s : sections)
    if (s.name == sec)
      for (const auto& kv : s.entries)
        if (kv.first == key) values.push_back(kv.second);
  return values;
}

std::string Profile::file(const std::string& name) const {
  if (name.empty() || name[0] == '/' || base_dir.empty()) return name;
  return base_dir + "/" + name;
}

int profile_parse(const std::string& text, Profile* out, std::string* error) {
  std::vector<IniSection> read;
  if (ini_parse(text, &read, error) != 0) return -1;
  for (IniSection& r : read) {
    // A key names a file, a variable or a setting: one that shows
    // differently from what it is is refused, and named.
    for (const auto& kv : r.entries)
      if (has_control(kv.first)) {
        if (error) *error = "[" + r.name + "] " + printable(kv.first) + ": a zero byte or control character in a key";
        return -1;
      }
    ProfileSection* s = nullptr;
    for (ProfileSection& have : out->sections)
      if (have.name == r.name) s = &have;
    if (!s) {
      out->sections.push_back(ProfileSection{r.name, {}});
      s = &out->sections.back();
    }
    s->entries.insert(s->entries.end(), r.entries.begin(), r.entries.end());
  }
  return 0;
}

int profile_load(const std::string& path, Profile* out, std::string* error) {
  std::string text, why;
  if (read_regular_file(path, kMaxIniBytes, &text, error) != 0) return -1;
  Profile p;
  if (profile_parse(text, &p, &why) != 0) {
    if (error) *error = path + ": " + why;
    return -1;
  }
  p.path = path;
  size_t slash = path.rfind('/');
  p.base_dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  *out = p;
  return 0;
}

bool parse_size(const std::string& text, unsigned long long* out) {
  std::string t = text;
  unsigned long long scale = 1;
  if (!t.empty() && (t.back() == 'K' || t.back() == 'k')) scale = 1024;
  if (!t.empty() && (t.back() == 'M' || t.back() == 'm')) scale = 1024 * 1024;
  if (scale != 1) t.pop_back();
  bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
  size_t first = hex ? 2 : 0;
  if (t.size() == first || t.find_first_not_of(digits, first) != std::string::npos) return false;
  unsigned long long v = 0;
  for (size_t i = first; i < t.size(); ++i) {
    unsigned d = static_cast<unsigned>(t[i] <= '9' ? t[i] - '0' : (t[i] | 0x20) - 'a' + 10);
    if (__builtin_mul_overflow(v, hex ? 16u : 10u, &v) || __builtin_add_overflow(v, d, &v)) return false;
  }
  if (__builtin_mul_overflow(v, scale, &v)) return false;
  *out = v;
  return true;
}

bool parse_size_max(const std::string& text, unsigned long long max, unsigned long long* out) {
  unsigned long long v = 0;
  if (!parse_size(text, &v) || v > max) return false;
  *out = v;
  return true;
}

bool parse_int(const std::string& text, long long min, long long max, long long* out) {
  bool negative = !text.empty() && text[0] == '-';
  std::string digits = negative ? text.substr(1) : text;
  unsigned long long magnitude = 0;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
      !parse_size(digits, &magnitude) || magnitude > (1ull << 62))
    return false;
  long long v = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

bool parse_seconds(const std::string& text, double* out) {
  // Digits and at most one '.', so that strtod sees no sign, exponent,
  // hex float, nan or inf.
  size_t dot = text.find('.');
  if (text.empty() || text == "." || text.find_first_not_of("0123456789.") != std::string::npos ||
      (dot != std::string::npos && text.find('.', dot + 1) != std::string::npos))
    return false;
  double v = strtod(text.c_str(), nullptr);
  if (!(v >= 0 && v <= kMaxSeconds)) return false;
  *out = v;
  return true;
}

bool parse_bool(const std::string& text, bool* out) {
  std::string t = trim(text);
  if (t == "yes" || t == "on" || t == "true" || t == "1") {
    *out = true;
    return true;
  }
  if (t == "no" || t == "off" || t == "false" || t == "0") {
    *out = false;
    return true;
  }
  return false;
}

}  // namespace sim
