#include "devenv/profile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/files.h"

namespace {

const char kFile[] = "/tmp/profile_test.ini";

// Looks the key up in kFile through a buffer of `size` bytes filled with '#'
// beforehand; the value found, or "" when none.
std::string lookup(const char* section, const char* key, int size, int* found) {
  std::string out(static_cast<size_t>(size), '#');
  *found = read_profile_string(section, key, out.data(), size, nullptr, kFile);
  if (!*found) return "";
  EXPECT_EQ('\0', out.back());  // a value found goes into a buffer zeroed first, to its last byte
  return out.c_str();
}

TEST(Profile, Lookups) {
  const struct {
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    int size;
    int found;
    std::string value;
  } cases[] = {
      {"blanks inside the brackets", "[ Version ]\nRomVersion=1.2.3.4\n", "Version", "RomVersion", 100, 1, "1.2.3.4"},
      {"header after blanks is no header", "  [Version]\nRomVersion=1.2.3.4\n", "Version", "RomVersion", 100, 0, ""},
      {"key is case-sensitive", "[Version]\nromversion=1.2.3.4\n", "Version", "RomVersion", 100, 0, ""},
      {"only the first = separates", "[s]\na=b=c\n", "s", "a", 100, 1, "b=c"},
      {"semicolon line is a comment", "[s]\n;a=1\na=2\n", "s", "a", 100, 1, "2"},
      {"hash line is ordinary", "[s]\n#a=1\n", "s", "#a", 100, 1, "1"},
      {"CR alone ends a line", "[s]\ra=1\rb=2", "s", "b", 100, 1, "2"},
      {"empty value", "[s]\na=\nb=1\n", "s", "a", 100, 1, ""},
      {"value cut to size - 1", "[s]\na=" + std::string(150, 'v') + "\n", "s", "a", 100, 1, std::string(99, 'v')},
      {"cut comes before the trim", "[s]\na=   " + std::string(20, 'x') + "\n", "s", "a", 10, 1, "xxxxxx"},
      {"blanks and tabs trimmed", "[s]\na =\t x y \t\n", "s", "a", 100, 1, "x y"},
      {"key trimmed on a later line", "[s]\nb=0\n \ta\t = 1\n", "s", "a", 100, 1, "1"},
      {"same section twice: second", "[s]\na=1\n[t]\nb=2\n[s]\nb=3\n", "s", "b", 100, 1, "3"},
      {"same key twice: first wins", "[s]\na=1\na=2\n", "s", "a", 100, 1, "1"},
      {"0xFF ends a value", "[s]\na=1\xff" "2\n", "s", "a", 100, 1, "1"},
      {"keys before the first header", "a=1\n[s]\nb=2\n", "s", "a", 100, 0, ""},
      {"text after ] is the first body line", "[mtd] mtd0=1,2\nmtd1=3,4\n", "mtd", "mtd0", 100, 1, "1,2"},
      {"body stops at the next header", "[s]\nb=1\n[t]\na=2\n", "t", "b", 100, 0, ""},
      {"other header spans lines", "[other\na=1\n]\n[s]\na=2\n", "s", "a", 100, 1, "2"},
      {"matching header never closed", "[s", "s", "a", 100, 0, ""},
      {"line without = then header", "[s]\na\n[s]\na=1\n", "s", "a", 100, 1, "1"},
      {"blank key is no key", "[s]\n  =1\n", "s", "", 100, 0, ""},
      {"key inside another value", "[s]\nb=a=1\n", "s", "a", 100, 0, ""},
      {"last line without line feed", "[s]\n\n\na=7", "s", "a", 100, 1, "7"},
      {"key prefix does not match", "[s]\nab=1\n", "s", "a", 100, 0, ""},
      {"section prefix does not match", "[sec]\na=1\n", "s", "a", 100, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_file(kFile, c.content));
    int found = -1;
    std::string value = lookup(c.section, c.key, c.size, &found);
    EXPECT_EQ(c.found, found);
    EXPECT_EQ(c.value, value);
  }
}

TEST(Profile, DefaultsAndRefusals) {
  ASSERT_TRUE(write_file(kFile, "[s]\na=1\n"));
  unlink("/tmp/missing.ini");
  const std::string untouched(8, '#');
  const struct {
    const char* name;
    const char* section;
    const char* def;
    const char* file;
    int size;
    std::string expected;  // the whole buffer of 8 bytes afterwards
  } cases[] = {
      {"missing file, no default", "s", nullptr, "/tmp/missing.ini", 8, untouched},
      {"missing file, default", "s", "dflt", "/tmp/missing.ini", 8, std::string("dflt\0\0\0\0", 8)},
      {"default cut to size - 1", "t", "abcdefghij", kFile, 4, std::string("abc\0####", 8)},
      {"NULL section ignores the default", nullptr, "d", kFile, 8, untouched},
      {"size 0", "s", "d", kFile, 0, untouched},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = untouched;
    EXPECT_EQ(0, read_profile_string(c.section, "a", out.data(), c.size, c.def, c.file));
    EXPECT_EQ(c.expected, out);
  }
}

TEST(Profile, LoadStopsAtTheImageSize) {
  // The value of `a` straddles the last content byte of the image.
  std::string head = "[s]\n;";
  const size_t last = PROFILE_IMAGE_SIZE - 1;  // content bytes that fit
  std::string content = head + std::string(last - head.size() - 6, 'c') + "\na=123456789\nb=2\n";
  ASSERT_TRUE(write_file(kFile, content));

  std::string image(PROFILE_IMAGE_SIZE, 'z');
  int length = -1;
  ASSERT_EQ(1, load_ini_file(kFile, image.data(), &length));
  EXPECT_EQ(static_cast<int>(last), length);
  EXPECT_EQ('\0', image[last]);
  EXPECT_EQ(content.substr(0, last), image.substr(0, last));

  int found = -1;
  EXPECT_EQ("123", lookup("s", "a", 100, &found));
  lookup("s", "b", 100, &found);
  EXPECT_EQ(0, found);

  length = 77;
  EXPECT_EQ(0, load_ini_file("/tmp/missing.ini", image.data(), &length));
  EXPECT_EQ(0, length);
}

}  // namespace
