// Profile scanning over arbitrary file contents: the loader keeps the bytes
// up to the first 0xFF and at most PROFILE_IMAGE_SIZE - 1 of them, the lookup
// never reads outside the image and every reported position lies inside it.
// The input goes through a real file (in TMPDIR, which scripts/fuzz.sh points
// into the build tree); inputs above the size cap come from its seeds.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "devenv/profile.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string g_file;

void lookup(const char* section, const char* key, const char* image) {
  int pos[6];
  int found = locate_profile_key(section, key, image, &pos[0], &pos[1], &pos[2], &pos[3], &pos[4], &pos[5]);
  const size_t text_length = strlen(image);
  for (int p : pos) check(found ? p >= 0 && static_cast<size_t>(p) <= text_length : p == -1);
  check(!found || (pos[2] <= pos[4] && pos[4] <= pos[5] && pos[3] + 2 == pos[4]));
  for (int size : {1, 7, 100}) {
    std::vector<char> out(static_cast<size_t>(size), '#');
    check(profile_value_from_image(section, key, image, out.data(), size) == found);
    check(!found || strnlen(out.data(), out.size()) < out.size());
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
  const uint8_t* body = data + (head < size ? head + 1 : head);
  const size_t body_size = static_cast<size_t>(data + size - body);

  FILE* f = fopen(g_file.c_str(), "wb");
  check(f && fwrite(body, 1, body_size, f) == body_size && fclose(f) == 0);
  size_t want = 0;
  while (want < body_size && want < PROFILE_IMAGE_SIZE - 1 && body[want] != 0xFF) want++;
  std::vector<char> loaded(PROFILE_IMAGE_SIZE, 'z');
  int length = -1;
  check(load_ini_file(g_file.c_str(), loaded.data(), &length) == 1);
  check(length == static_cast<int>(want) && loaded[want] == '\0' && memcmp(loaded.data(), body, want) == 0);
  // The image cut to its content and terminator, so that any read past the terminator is caught.
  std::vector<char> image(loaded.begin(), loaded.begin() + static_cast<long>(strnlen(loaded.data(), want)) + 1);

  lookup(section.c_str(), key.c_str(), image.data());
  lookup("Version", "RomVersion", image.data());
  lookup("mtd", "mtd0", image.data());
  lookup("", "", image.data());

  return 0;
}
