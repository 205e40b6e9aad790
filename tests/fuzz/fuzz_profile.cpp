// Profile scanning over arbitrary file contents: the lookup never reads
// outside the image and every reported position lies inside it.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "devenv/profile.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The image as load_ini_file builds it, but exactly as large as the content
// so that any read past the terminator is caught.
std::vector<char> image_of(const uint8_t* data, size_t size) {
  std::vector<char> image;
  for (size_t i = 0; i < size && image.size() < PROFILE_IMAGE_SIZE - 1 && data[i] != 0xFF; i++) {
    image.push_back(static_cast<char>(data[i]));
  }
  image.push_back('\0');
  return image;
}

void lookup(const char* section, const char* key, const char* image) {
  const size_t text_length = strlen(image);
  int pos[6];
  int found = locate_profile_key(section, key, image, &pos[0], &pos[1], &pos[2], &pos[3], &pos[4], &pos[5]);
  if (found) {
    for (int p : pos) check(p >= 0 && static_cast<size_t>(p) <= text_length);
    check(pos[2] <= pos[4] && pos[4] <= pos[5] && pos[3] + 2 == pos[4]);
  } else {
    for (int p : pos) check(p == -1);
  }
  for (int size : {1, 7, 100}) {
    std::vector<char> out(static_cast<size_t>(size), '#');
    int got = profile_value_from_image(section, key, image, out.data(), size);
    check(got == found);
    if (got) check(strnlen(out.data(), out.size()) < out.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first line of the input names a section and a key ("section key"),
  // the rest is the file; a few fixed names are looked up as well.
  size_t head = 0;
  while (head < size && head < 64 && data[head] != '\n') head++;
  std::string first(reinterpret_cast<const char*>(data), head);
  std::string section = first.substr(0, first.find(' '));
  std::string key = first.find(' ') == std::string::npos ? "" : first.substr(first.find(' ') + 1);
  size_t body = head < size ? head + 1 : head;
  std::vector<char> image = image_of(data + body, size - body);

  lookup(section.c_str(), key.c_str(), image.data());
  lookup("Version", "RomVersion", image.data());
  lookup("mtd", "mtd0", image.data());
  lookup("", "", image.data());

  std::vector<char> trimmed(image);
  check(str_trim(trimmed.data()) == trimmed.data());
  check(strlen(trimmed.data()) <= strlen(image.data()));
  return 0;
}
