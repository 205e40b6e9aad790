// Profile scanning over arbitrary file contents: the loader keeps the bytes
// up to the first 0xFF and at most PROFILE_IMAGE_SIZE - 1 of them, the lookup
// never reads outside the image and every reported position lies inside it.
// The input goes through a real file (in TMPDIR, which scripts/fuzz.sh points
// into the build tree); inputs above the size cap come from its seeds.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "devenv/profile.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string g_file;

// Loads the file through the real loader and checks what it kept against
// the input; returns the image cut to its content and terminator, so that
// any read past the terminator is caught.
std::vector<char> load(const uint8_t* data, size_t size) {
  FILE* f = fopen(g_file.c_str(), "wb");
  if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0) __builtin_trap();
  size_t want = 0;
  while (want < size && want < PROFILE_IMAGE_SIZE - 1 && data[want] != 0xFF) want++;
  std::unique_ptr<char[]> image(new char[PROFILE_IMAGE_SIZE]);
  int length = -1;
  check(load_ini_file(g_file.c_str(), image.get(), &length) == 1);
  check(length == static_cast<int>(want) && image[want] == '\0' && memcmp(image.get(), data, want) == 0);
  return std::vector<char>(image.get(), image.get() + strnlen(image.get(), want) + 1);
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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = getenv("TMPDIR");
  g_file = std::string(dir ? dir : "/tmp") + "/fuzz_profile." + std::to_string(getpid()) + ".ini";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first line of the input names a section and a key ("section key"),
  // the rest is the file; a few fixed names are looked up as well.
  size_t head = 0;
  while (head < size && head < 64 && data[head] != '\n') head++;
  std::string first(reinterpret_cast<const char*>(data), head);
  std::string section = first.substr(0, first.find(' '));
  std::string key = first.find(' ') == std::string::npos ? "" : first.substr(first.find(' ') + 1);
  size_t body = head < size ? head + 1 : head;
  std::vector<char> image = load(data + body, size - body);

  lookup(section.c_str(), key.c_str(), image.data());
  lookup("Version", "RomVersion", image.data());
  lookup("mtd", "mtd0", image.data());
  lookup("", "", image.data());

  std::vector<char> trimmed(image);
  check(str_trim(trimmed.data()) == trimmed.data());
  check(strlen(trimmed.data()) <= strlen(image.data()));
  return 0;
}
