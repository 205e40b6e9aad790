#include "rom/rom_format.h"

#include <stdio.h>
#include <string.h>

#include "common/byteorder.h"
#include "log/rl_log.h"

namespace {

constexpr unsigned char decrypt_entry(unsigned b) { return static_cast<unsigned char>((167u * b + 59u) & 0xFFu); }

struct decrypt_table {
  unsigned char v[256];
};

constexpr decrypt_table make_decrypt_table() {
  decrypt_table t{};
  for (unsigned b = 0; b < 256; ++b) t.v[b] = decrypt_entry(b);
  return t;
}

constexpr decrypt_table kDecrypt = make_decrypt_table();

// Offsets of the three plain words and of their scrambled counterparts.
constexpr size_t kPartitionNumAt = 0x14;
constexpr size_t kRomSizeAt = 0x24;
constexpr size_t kRomChecksumAt = 0x28;
constexpr size_t kScrambledPartitionNumAt = 0x6C;
constexpr size_t kScrambledRomChecksumAt = 0x70;
constexpr size_t kScrambledRomSizeAt = 0x74;
constexpr size_t kScrambleKeyAt = 0x7C;

void rotate_left_one(unsigned char* p, int len) {
  unsigned char first = p[0];
  memmove(p, p + 1, static_cast<size_t>(len - 1));
  p[len - 1] = first;
}

}  // namespace

const unsigned char decrypt[256] = {
#define ROW(r)                                                                                                 \
  decrypt_entry(r + 0), decrypt_entry(r + 1), decrypt_entry(r + 2), decrypt_entry(r + 3), decrypt_entry(r + 4), \
      decrypt_entry(r + 5), decrypt_entry(r + 6), decrypt_entry(r + 7), decrypt_entry(r + 8),                   \
      decrypt_entry(r + 9), decrypt_entry(r + 10), decrypt_entry(r + 11), decrypt_entry(r + 12),                \
      decrypt_entry(r + 13), decrypt_entry(r + 14), decrypt_entry(r + 15)
    ROW(0),   ROW(16),  ROW(32),  ROW(48),  ROW(64),  ROW(80),  ROW(96),  ROW(112),
    ROW(128), ROW(144), ROW(160), ROW(176), ROW(192), ROW(208), ROW(224), ROW(240),
#undef ROW
};
static_assert(kDecrypt.v[0] == 59 && kDecrypt.v[1] == 226 && kDecrypt.v[255] == 148);

int aes_decrypt(unsigned char* key, unsigned char* out, int len, unsigned char* in) {
  if (!key || !out || !in) return -1;
  if (len <= 0) return 0;
  for (int i = 0; i < len; ++i) out[i] = decrypt[in[i]];
  // The key byte is read again after every single rotation, so a key that
  // lies inside the region is honoured the way the format defines it.
  for (int done = 0; done < key[0] % len; ++done) rotate_left_one(out, len);
  return 0;
}

uint32_t rom_xor_words(const unsigned char* p, size_t words) {
  uint32_t x = 0;
  for (size_t i = 0; i < words; ++i) x ^= load_le32(p + 4 * i);
  return x;
}

bool rom_span_inside(size_t image_len, uint64_t offset, uint64_t len) {
  uint64_t total = static_cast<uint64_t>(image_len);
  return offset <= total && len <= total - offset;
}

bool rom_data_end(const unsigned char* image, size_t image_len, uint64_t* end) {
  if (!image || !rom_span_inside(image_len, offsetof(rom_header, rom_size), 4)) return false;
  *end = uint64_t{load_le32(image + offsetof(rom_header, rom_header_size))} + 12 +
         load_le32(image + offsetof(rom_header, rom_size));
  return true;
}

int rom_header_descramble(rom_header* header) {
  if (!header) return 0;
  uint32_t size = header->rom_header_size;
  if (size < ROM_SCRAMBLED_HEADER_MIN || size > ROM_SCRAMBLED_HEADER_MAX) return 0;
  unsigned char* h = reinterpret_cast<unsigned char*>(header);
  uint32_t plain_checksum = load_le32(h + kRomChecksumAt);
  uint32_t plain_partition_num = load_le32(h + kPartitionNumAt);
  uint32_t plain_rom_size = load_le32(h + kRomSizeAt);
  store_le32(h + kPartitionNumAt, load_le32(h + kScrambledPartitionNumAt));
  store_le32(h + kRomSizeAt, load_le32(h + kScrambledRomSizeAt));
  store_le32(h + kRomChecksumAt, load_le32(h + kScrambledRomChecksumAt));
  int len = static_cast<int>(size) - ROM_SCRAMBLED_LEN_BIAS;
  (void)aes_decrypt(h + kScrambleKeyAt, h + ROM_SCRAMBLED_OFFSET, len, h + ROM_SCRAMBLED_OFFSET);
  store_le32(h + kScrambledRomChecksumAt, load_le32(h + kRomChecksumAt));
  store_le32(h + kScrambledPartitionNumAt, load_le32(h + kPartitionNumAt));
  store_le32(h + kScrambledRomSizeAt, load_le32(h + kRomSizeAt));
  store_le32(h + kRomChecksumAt, plain_checksum);
  store_le32(h + kPartitionNumAt, plain_partition_num);
  store_le32(h + kRomSizeAt, plain_rom_size);
  return 1;
}

void rom_header_read(const unsigned char* image, rom_header* header) {
  memcpy(header, image, ROM_HEADER_COPY_SIZE);
  if (!rom_header_descramble(header)) {
    rl_log_warn("ignore aes decrypt, invalid rom header size %d.\n", static_cast<int>(header->rom_header_size));
  }
  rl_log_debug("\nmagic_num: %x\n", header->magic_num);
  rl_log_debug("rom_header_size: %x\n", header->rom_header_size);
  rl_log_debug("rom_header_checksum: %x\n", header->rom_header_checksum);
  rl_log_debug("rom_type: %x\n", header->rom_type);
  rl_log_debug("process_type: %x\n", header->process_type);
  rl_log_debug("partition_num: %x\n", header->partition_num);
  rl_log_debug("device_id: %x\n", header->device_id);
  rl_log_debug("oem_id: %x\n", header->oem_id);
  rl_log_debug("rom_version: %x\n", header->rom_version);
  rl_log_debug("mid_version: %x\n", header->mid_version);
  rl_log_debug("sw_protect: %x\n", header->sw_protect);
  rl_log_debug("rom_size: %x\n", header->rom_size);
  rl_log_debug("rom_checksum: %x\n\n", header->rom_checksum);
}

void rom_partition_header_dump(const partition_header* p) {
  rl_log_debug("\nmagic_num: %x\n", p->magic_num);
  rl_log_debug("partition_header_size: %x\n", p->partition_header_size);
  rl_log_debug("partition_header_checksum: %x\n", p->partition_header_checksum);
  rl_log_debug("partition_type: %x\n", p->partition_type);
  rl_log_debug("process_type: %x\n", p->process_type);
  rl_log_debug("partition_data_type: %x\n", p->partition_data_type);
  rl_log_debug("partition_id: %x\n", p->partition_id);
  rl_log_debug("partition_version: %x\n", p->partition_version);
  rl_log_debug("partition_size: %x\n", p->partition_size);
  rl_log_debug("partition_checksum: %x\n", p->partition_checksum);
  rl_log_debug("partition_offset: %x\n\n\n", p->partition_offset);
}

void rom_version_text(uint32_t version, char out[ROM_VERSION_TEXT_SIZE]) {
  snprintf(out, ROM_VERSION_TEXT_SIZE, "%d.%d.%d.%d", static_cast<int>((version >> 24) & 0xFF),
           static_cast<int>((version >> 16) & 0xFF), static_cast<int>((version >> 8) & 0xFF),
           static_cast<int>(version & 0xFF));
}
