#include "hostlib/ini.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace hostlib {

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

bool parse_decimal(const std::string& text, double max, double* out) {
  // Digits and at most one '.', so that strtod sees no sign, exponent,
  // hex float, nan or inf.
  size_t dot = text.find('.');
  if (text.empty() || text == "." || text.find_first_not_of("0123456789.") != std::string::npos ||
      (dot != std::string::npos && text.find('.', dot + 1) != std::string::npos))
    return false;
  double v = strtod(text.c_str(), nullptr);
  if (!(v >= 0 && v <= max)) return false;
  *out = v;
  return true;
}

bool parse_seconds(const std::string& text, double* out) { return parse_decimal(text, kMaxSeconds, out); }

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

}  // namespace hostlib
