// romtool's files and numbers: bounded reads of regular files, whole-file
// writes, the numbers of descriptions and options, and the format's checksum.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "tools/romtool/romtool.h"

namespace romtool {

int read_whole_file(const std::string& path, uint64_t max_bytes, std::string* out, std::string* error) {
  return hostlib::read_regular_file(path, max_bytes, out, error);
}

int write_whole_file(const std::string& path, const std::string& data, std::string* error) {
  unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    *error = path + ": " + strerror(errno);
    return -1;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = path + ": " + strerror(errno);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd.release()) != 0) {
    *error = path + ": " + strerror(errno);
    return -1;
  }
  return 0;
}

namespace {

// a.b.c.d, each part 0..255, a in the most significant byte.
bool parse_version(const std::string& text, uint64_t* out) {
  uint64_t v = 0;
  int parts = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t dot = text.find('.', pos);
    if (dot == std::string::npos) dot = text.size();
    unsigned long long n = 0;
    std::string part = text.substr(pos, dot - pos);
    if (part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
        !hostlib::parse_size_max(part, 255, &n))
      return false;
    v = (v << 8) | n;
    ++parts;
    pos = dot + 1;
  }
  if (parts != 4) return false;
  *out = v;
  return true;
}

}  // namespace

bool parse_number(const std::string& raw, uint64_t* out) {
  std::string text = hostlib::trim(raw);
  if (text.find('.') != std::string::npos) return parse_version(text, out);
  unsigned long long v = 0;
  if (!hostlib::parse_size(text, &v)) return false;
  *out = v;
  return true;
}

uint32_t xor_words(const unsigned char* p, uint64_t words) {
  uint32_t x = 0;
  for (uint64_t i = 0; i < words; ++i, p += 4) {
    x ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
  }
  return x;
}

}  // namespace romtool
