// The ROM image format: a ROM header (partly scrambled), partition headers
// and payloads, protected by four XOR checksums. All words little-endian.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define ROM_MAGIC 0x52524F4Du
#define PARTITION_MAGIC 0x52504154u
#define ROM_HEADER_COPY_SIZE 140
#define PARTITION_HEADER_COPY_SIZE 44
#define ROM_MAX_PARTITIONS 16
#define ROM_STANDARD_HEADER_SIZE 128
#define PARTITION_STANDARD_HEADER_SIZE 32
#define PARTITION_ID_SPECIAL 255

enum partition_special_type {
  PARTITION_TYPE_FLASH = 0,
  PARTITION_TYPE_UPGRADER_TOOL = 1,
  PARTITION_TYPE_MTD_CONFIG = 2,
  PARTITION_TYPE_CONFIG_MODIFY = 3,
};

// The 140-byte copy of image bytes 0..139, fields at their image offsets.
struct rom_header {
  uint32_t magic_num;                // 0x00
  uint32_t rom_header_size;          // 0x04
  uint32_t rom_header_checksum;      // 0x08
  uint32_t rom_type;                 // 0x0C
  uint32_t process_type;             // 0x10
  uint32_t partition_num;            // 0x14
  uint32_t device_id;                // 0x18
  uint32_t oem_id;                   // 0x1C
  uint32_t rom_version;              // 0x20
  uint32_t rom_size;                 // 0x24
  uint32_t rom_checksum;             // 0x28
  uint8_t match_id[16];              // 0x2C
  uint32_t mid_version;              // 0x3C
  uint32_t sw_protect;               // 0x40
  uint8_t reserved1[36];             // 0x44
  uint32_t magic_num2;               // 0x68
  uint32_t scrambled_partition_num;  // 0x6C
  uint32_t scrambled_rom_checksum;   // 0x70
  uint32_t scrambled_rom_size;       // 0x74
  uint32_t reserved2;                // 0x78
  uint8_t scramble_key;              // 0x7C
  uint8_t reserved3[15];             // 0x7D
};
static_assert(sizeof(rom_header) == ROM_HEADER_COPY_SIZE);
static_assert(offsetof(rom_header, magic_num2) == 0x68);
static_assert(offsetof(rom_header, scramble_key) == 0x7C);

// The first 44 bytes of a partition header.
struct partition_header {
  uint32_t magic_num;                  // 0x00
  uint32_t partition_header_size;      // 0x04
  uint32_t partition_header_checksum;  // 0x08
  uint32_t partition_type;             // 0x0C
  uint32_t process_type;               // 0x10
  uint32_t partition_data_type;        // 0x14
  uint32_t partition_id;               // 0x18
  uint32_t partition_version;          // 0x1C
  uint32_t partition_size;             // 0x20
  uint32_t partition_checksum;         // 0x24
  uint32_t partition_offset;           // 0x28
};
static_assert(sizeof(partition_header) == PARTITION_HEADER_COPY_SIZE);

// Header sizes from this one up are read descrambled (the current format).
#define ROM_SCRAMBLED_HEADER_MIN 128
// Above this size the key byte (0x7C) would lie inside the descrambled
// region, and above 164 the region would run past the 140-byte copy: such
// headers are refused (ROM header format error, -99) and never descrambled.
#define ROM_SCRAMBLED_HEADER_MAX 148
// The descrambled region starts at 0x0C and is rom_header_size - 36 bytes long.
#define ROM_SCRAMBLED_OFFSET 0x0C
#define ROM_SCRAMBLED_LEN_BIAS 36

// Byte substitution and rotation of the scrambled header region. `in` and
// `out` may be the same buffer. 0, or -1 for a null pointer.
int aes_decrypt(unsigned char* key, unsigned char* out, int len, unsigned char* in);
// decrypt[b] = (167 * b + 59) mod 256: a permutation of the byte values.
extern const unsigned char decrypt[256];

// The XOR of `words` little-endian 32-bit words from p; p needs no alignment.
uint32_t rom_xor_words(const unsigned char* p, size_t words);

// True when [offset, offset + len) lies inside an image of image_len bytes.
// Computed in 64 bits so that no header field can wrap it.
bool rom_span_inside(size_t image_len, uint64_t offset, uint64_t len);

// Where the data area ends in the image as stored: rom_header_size + 12 +
// rom_size, both plain words. False when the image is too short to hold them.
bool rom_data_end(const unsigned char* image, size_t image_len, uint64_t* end);

// Descrambles a header copy in place when its rom_header_size asks for it
// (ROM_SCRAMBLED_HEADER_MIN to ROM_SCRAMBLED_HEADER_MAX): the plain words at
// 0x14, 0x24 and 0x28 keep their stored values. 1 when descrambled, else 0.
int rom_header_descramble(rom_header* header);

// Copies the first 140 bytes of the image (the caller has checked that
// they are there), descrambles them and logs the header.
void rom_header_read(const unsigned char* image, rom_header* header);

// Debug dump of one partition header copy.
void rom_partition_header_dump(const partition_header* p);

// "%d.%d.%d.%d" of a version word, most significant byte first.
#define ROM_VERSION_TEXT_SIZE 16
void rom_version_text(uint32_t version, char out[ROM_VERSION_TEXT_SIZE]);
