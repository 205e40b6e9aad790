#include <gtest/gtest.h>
#include <string.h>

#include <utility>
#include <vector>

#include "rom/rom_format.h"

namespace {

// Substitution then one left rotation by key mod len; in and out may alias.
TEST(RomFormat, AesDecryptSubstitutesThenRotatesByKeyModLen) {
  struct Row {
    int len;
    unsigned char key;
    int rotation;
  } rows[] = {{92, 0, 0}, {92, 1, 1}, {92, 92, 0}, {92, 184, 0}, {92, 93, 1}, {92, 255, 255 % 92}, {5, 7, 2}, {1, 200, 0}};
  for (const Row& r : rows) {
    std::vector<unsigned char> in(r.len), out(r.len), expected(r.len);
    for (int i = 0; i < r.len; ++i) in[i] = static_cast<unsigned char>(i * 37 + 11);
    for (int i = 0; i < r.len; ++i) expected[i] = static_cast<unsigned char>(167 * in[(i + r.rotation) % r.len] + 59);
    unsigned char key = r.key;
    EXPECT_EQ(0, aes_decrypt(&key, out.data(), r.len, in.data()));
    EXPECT_EQ(expected, out) << "len " << r.len << " key " << int(r.key);
    EXPECT_EQ(0, aes_decrypt(&key, in.data(), r.len, in.data()));  // in place
    EXPECT_EQ(expected, in) << "in place, len " << r.len << " key " << int(r.key);
  }
}

TEST(RomFormat, XorWordsReadsUnalignedLittleEndianWords) {
  unsigned char buf[13] = {0xFF, 1, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0x80};
  EXPECT_EQ(0x11u, rom_xor_words(buf + 1, 2));
  EXPECT_EQ(0x80000011u, rom_xor_words(buf + 1, 3));
  EXPECT_EQ(0u, rom_xor_words(buf, 0));
}

TEST(RomFormat, SpanInsideCannotBeWrapped) {
  EXPECT_TRUE(rom_span_inside(100, 0, 100));
  EXPECT_TRUE(rom_span_inside(100, 100, 0));
  EXPECT_FALSE(rom_span_inside(100, 101, 0));
  EXPECT_FALSE(rom_span_inside(100, 96, 8));
  EXPECT_FALSE(rom_span_inside(100, 96, 5));  // one byte past the end
  EXPECT_FALSE(rom_span_inside(100, 0xFFFFFFFFull, 2));
  EXPECT_FALSE(rom_span_inside(100, 4, 0xFFFFFFFFFFFFFFFFull));
}

// Only headers of 128 to 148 bytes are scrambled; any other is left as stored.
TEST(RomFormat, OnlyHeaderSizesInTheScrambledRangeAreDescrambled) {
  const std::pair<uint32_t, int> sizes[] = {{0, 0},   {40, 0},  {127, 0}, {128, 1}, {132, 1},
                                            {148, 1}, {149, 0}, {164, 0}, {165, 0}, {0xFFFFFFFFu, 0}};
  for (auto [size, scrambled] : sizes) {
    rom_header h;
    auto* bytes = reinterpret_cast<unsigned char*>(&h);
    for (size_t i = 0; i < sizeof h; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    h.rom_header_size = size;
    rom_header copy = h;
    EXPECT_EQ(scrambled, rom_header_descramble(&h)) << size;
    EXPECT_EQ(!scrambled, memcmp(&copy, &h, sizeof h) == 0) << size;
  }
}

}  // namespace
