#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tools/romtool/romtool.h"

namespace romtool {
namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string strip_comment(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if ((line[i] == ';' || line[i] == '#') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
      return line.substr(0, i);
    }
  }
  return line;
}

}  // namespace

int ini_parse(const std::string& text, std::vector<IniSection>* out, std::string* error) {
  out->clear();
  size_t pos = 0;
  int lineno = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = trim(strip_comment(text.substr(pos, nl - pos)));
    pos = nl + 1;
    ++lineno;
    if (line.empty()) continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        *error = "line " + std::to_string(lineno) + ": unterminated section name";
        return -1;
      }
      IniSection s;
      s.name = trim(line.substr(1, line.size() - 2));
      s.line = lineno;
      out->push_back(s);
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || out->empty()) {
      *error = "line " + std::to_string(lineno) + ": expected key = value inside a section";
      return -1;
    }
    out->back().entries.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
  }
  return 0;
}

int read_whole_file(const std::string& path, std::string* out, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    return -1;
  }
  out->clear();
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  int saved = errno;
  close(fd);
  if (n < 0) {
    *error = path + ": " + strerror(saved);
    return -1;
  }
  return 0;
}

int write_whole_file(const std::string& path, const std::string& data, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    return -1;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      *error = path + ": " + strerror(errno);
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    *error = path + ": " + strerror(errno);
    return -1;
  }
  return 0;
}

bool parse_number(const std::string& raw, uint64_t* out) {
  std::string text = trim(raw);
  if (text.empty()) return false;
  if (text.find('.') != std::string::npos) {
    // a.b.c.d
    uint64_t v = 0;
    int parts = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
      size_t dot = text.find('.', pos);
      if (dot == std::string::npos) dot = text.size();
      std::string part = text.substr(pos, dot - pos);
      if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos) return false;
      unsigned long n = strtoul(part.c_str(), nullptr, 10);
      if (n > 255) return false;
      v = (v << 8) | n;
      ++parts;
      pos = dot + 1;
    }
    if (parts != 4) return false;
    *out = v;
    return true;
  }
  uint64_t scale = 1;
  char last = text.back();
  if (last == 'K' || last == 'k') scale = 1024;
  if (last == 'M' || last == 'm') scale = 1024 * 1024;
  if (scale != 1) text.pop_back();
  errno = 0;
  char* end = nullptr;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  unsigned long long v = strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || text[0] == '-') return false;
  *out = static_cast<uint64_t>(v) * scale;
  return true;
}

}  // namespace romtool
