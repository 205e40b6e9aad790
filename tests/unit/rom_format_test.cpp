#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "common/byteorder.h"
#include "rom/rom_format.h"
#include "tests/support/syslog_capture.h"

namespace {

TEST(RomFormat, DecryptTableIsTheAffineMapAndAPermutation) {
  bool seen[256] = {};
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ((167 * b + 59) % 256, decrypt[b]) << b;
    EXPECT_FALSE(seen[decrypt[b]]) << "value twice: " << int(decrypt[b]);
    seen[decrypt[b]] = true;
  }
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
    for (int i = 0; i < r.len; ++i) expected[i] = decrypt[in[(i + r.rotation) % r.len]];
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
  EXPECT_FALSE(rom_span_inside(100, 0xFFFFFFFFull, 2));
  EXPECT_FALSE(rom_span_inside(100, 4, 0xFFFFFFFFFFFFFFFFull));
}

// A header in plain, scrambled the way the image builder does it.
void scramble(unsigned char* h, int header_size) {
  unsigned char inv[256];
  for (int b = 0; b < 256; ++b) inv[decrypt[b]] = static_cast<unsigned char>(b);
  int len = header_size - 36, k = h[0x7C] % len;
  unsigned char rot[256];
  for (int i = 0; i < len; ++i) rot[(i + k) % len] = h[12 + i];
  uint32_t pn = load_le32(h + 0x14), rs = load_le32(h + 0x24), rc = load_le32(h + 0x28);
  for (int i = 0; i < len; ++i) h[12 + i] = inv[rot[i]];
  store_le32(h + 0x6C, load_le32(h + 0x14));
  store_le32(h + 0x74, load_le32(h + 0x24));
  store_le32(h + 0x70, load_le32(h + 0x28));
  store_le32(h + 0x14, pn);
  store_le32(h + 0x24, rs);
  store_le32(h + 0x28, rc);
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

TEST(RomFormat, DescrambleRestoresEveryFieldAndKeepsThePlainWords) {
  for (unsigned key : {0u, 1u, 42u, 91u, 92u, 184u, 255u}) {
    rom_header want = plain_header(128, static_cast<unsigned char>(key));
    rom_header h = want;
    scramble(reinterpret_cast<unsigned char*>(&h), 128);
    EXPECT_NE(0, memcmp(&h, &want, 0x68)) << key;
    EXPECT_EQ(3u, h.partition_num);  // stored in plain
    EXPECT_EQ(1, rom_header_descramble(&h));
    EXPECT_EQ(0, memcmp(&want, &h, 0x68)) << "key " << key;
    EXPECT_EQ(ROM_MAGIC, h.magic_num2);
    // The descrambled counterparts of the plain words stand at 0x6C..0x77.
    EXPECT_EQ(3u, h.scrambled_partition_num);
    EXPECT_EQ(0xCAFEBABEu, h.scrambled_rom_checksum);
    EXPECT_EQ(0x1234u, h.scrambled_rom_size);
  }
}

TEST(RomFormat, KeyMultipleOf92OnlySubstitutesTheStandardRegion) {
  rom_header h = plain_header(128, 184);
  unsigned char* b = reinterpret_cast<unsigned char*>(&h);
  std::vector<unsigned char> before(b, b + 140);
  EXPECT_EQ(1, rom_header_descramble(&h));
  EXPECT_EQ(decrypt[before[0x0C]], b[0x0C]);  // rom_type byte 0: substituted in place
  EXPECT_EQ(decrypt[before[0x67]], b[0x67]);  // last byte of the region
  EXPECT_EQ(before[0x68], b[0x68]);           // magic_num2 is outside it
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

  cap.clear();
  h = plain_header(128, 9);
  scramble(reinterpret_cast<unsigned char*>(&h), 128);
  memcpy(image, &h, sizeof image);
  rom_header_read(image, &out);
  EXPECT_EQ(0u, cap.messages(4).size());
  EXPECT_EQ(59u, out.device_id);
}

TEST(RomFormat, VersionTextIsMostSignificantByteFirst) {
  char text[ROM_VERSION_TEXT_SIZE];
  rom_version_text(0x01020304, text);
  EXPECT_STREQ("1.2.3.4", text);
  rom_version_text(0xFFFFFFFF, text);
  EXPECT_STREQ("255.255.255.255", text);
  rom_version_text(0, text);
  EXPECT_STREQ("0.0.0.0", text);
}

}  // namespace
