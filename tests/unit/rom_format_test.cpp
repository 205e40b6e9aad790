#include <gtest/gtest.h>
#include <string.h>

#include <utility>
#include <vector>

#include "rom/rom_format.h"
#include "tests/support/syslog_capture.h"

namespace {

TEST(RomFormat, DecryptTableIsTheAffineMap) {
  for (int b = 0; b < 256; ++b) EXPECT_EQ((167 * b + 59) % 256, decrypt[b]) << b;
}

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

TEST(RomFormat, AesDecryptRereadsAKeyInsideTheRegion) {
  // The key is the last byte of the region: after substitution it is
  // decrypt[x]; every rotation moves a new byte under it.
  unsigned char buf[4] = {0, 0, 0, 1};  // substituted: 59 59 59 226
  EXPECT_EQ(0, aes_decrypt(&buf[3], buf, 4, buf));
  // 226 % 4 = 2: first rotation gives 59 59 226 59, key now 59 (59 % 4 = 3 > 1),
  // second gives 59 226 59 59, key 59, third gives 226 59 59 59, key 59 (3 = 3): stop.
  const unsigned char expected[4] = {226, 59, 59, 59};
  EXPECT_EQ(0, memcmp(expected, buf, 4));
}

TEST(RomFormat, AesDecryptGuardsItsArguments) {
  unsigned char b[4] = {1, 2, 3, 4}, key = 3;
  EXPECT_EQ(-1, aes_decrypt(nullptr, b, 4, b));
  EXPECT_EQ(-1, aes_decrypt(&key, nullptr, 4, b));
  EXPECT_EQ(-1, aes_decrypt(&key, b, 4, nullptr));
  EXPECT_EQ(0, aes_decrypt(&key, b, 0, b));  // nothing to do, no division by zero
  EXPECT_EQ(0, aes_decrypt(&key, b, -5, b));
  const unsigned char same[4] = {1, 2, 3, 4};
  EXPECT_EQ(0, memcmp(same, b, 4));
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

rom_header plain_header(uint32_t size, unsigned char key) {
  rom_header h;
  memset(&h, 0, sizeof h);
  h.magic_num = ROM_MAGIC;
  h.rom_header_size = size;
  h.rom_type = 0x11223344;
  h.process_type = 1;
  h.partition_num = 3;
  h.device_id = 59;
  h.oem_id = 7;
  h.rom_version = 0x01029003;
  h.rom_size = 0x1234;
  h.rom_checksum = 0xCAFEBABE;
  for (int i = 0; i < 16; ++i) h.match_id[i] = static_cast<uint8_t>(i * 3);
  h.mid_version = 1;
  h.sw_protect = 1;
  h.magic_num2 = ROM_MAGIC;
  h.scramble_key = key;
  return h;
}

TEST(RomFormat, HeaderSizesOutsideTheScrambledRangeStayAsStored) {
  for (uint32_t size : {0u, 40u, 127u, 149u, 164u, 165u, 0xFFFFFFFFu}) {
    rom_header h = plain_header(size, 5);
    rom_header copy = h;
    EXPECT_EQ(0, rom_header_descramble(&h)) << size;
    EXPECT_EQ(0, memcmp(&copy, &h, sizeof h)) << size;
  }
  for (uint32_t size : {128u, 132u, 148u}) {
    rom_header h = plain_header(size, 5);
    EXPECT_EQ(1, rom_header_descramble(&h)) << size;
  }
}

TEST(RomFormat, HeaderReadWarnsForOlderHeadersAndDumpsTheFields) {
  SyslogCapture cap;
  rom_header h = plain_header(127, 0);
  unsigned char image[140];
  memcpy(image, &h, sizeof image);
  rom_header out;
  rom_header_read(image, &out);
  EXPECT_EQ(0, memcmp(image, &out, sizeof out));
  EXPECT_TRUE(cap.has("ignore aes decrypt, invalid rom header size 127.\n", 4));
  std::vector<std::string> debug = cap.messages(7);
  std::vector<std::string> expected = {"\nmagic_num: 52524f4d\n", "rom_header_size: 7f\n", "rom_header_checksum: 0\n",
                                       "rom_type: 11223344\n",  "process_type: 1\n",    "partition_num: 3\n",
                                       "device_id: 3b\n",       "oem_id: 7\n",          "rom_version: 1029003\n",
                                       "mid_version: 1\n",      "sw_protect: 1\n",      "rom_size: 1234\n",
                                       "rom_checksum: cafebabe\n\n"};
  EXPECT_EQ(expected, debug);
}

TEST(RomFormat, VersionTextIsMostSignificantByteFirst) {
  char text[ROM_VERSION_TEXT_SIZE];
  for (auto [version, want] : {std::pair{0x01020304u, "1.2.3.4"}, {0xFFFFFFFFu, "255.255.255.255"}, {0u, "0.0.0.0"}}) {
    rom_version_text(version, text);
    EXPECT_STREQ(want, text);
  }
}

}  // namespace
