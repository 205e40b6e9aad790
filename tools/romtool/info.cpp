// Printing an image the way the program reads it: the descrambled ROM
// header, the partition table and the verdict of every checksum.
#include <stdio.h>
#include <string.h>

#include "common/byteorder.h"
#include "rom/rom_format.h"
#include "tools/romtool/romtool.h"

namespace romtool {
namespace {

const char* verdict(bool inside, bool good) { return !inside ? "BAD (outside the image)" : good ? "ok" : "BAD"; }

std::string version(uint32_t v) {
  char text[ROM_VERSION_TEXT_SIZE];
  rom_version_text(v, text);
  return text;
}

std::string partition_kind(const partition_header& p) {
  if (p.partition_id < 10) return "mtd" + std::to_string(p.partition_id);
  if (p.partition_id < PARTITION_ID_SPECIAL) return "invalid id " + std::to_string(p.partition_id);
  switch (p.partition_type) {
    case PARTITION_TYPE_UPGRADER_TOOL: return "upgrader tool";
    case PARTITION_TYPE_MTD_CONFIG: return "mtd layout";
    case PARTITION_TYPE_CONFIG_MODIFY: return "config modify";
    default: return "special type " + std::to_string(p.partition_type);
  }
}

}  // namespace

int print_info(const std::string& image) {
  const unsigned char* img = reinterpret_cast<const unsigned char*>(image.data());
  size_t len = image.size();
  printf("image size:           %zu bytes\n", len);
  if (len < ROM_HEADER_COPY_SIZE) {
    printf("BAD: shorter than the %d-byte ROM header\n", ROM_HEADER_COPY_SIZE);
    return 1;
  }
  bool ok = true;
  rom_header h;
  memcpy(&h, img, sizeof h);
  int scrambled = rom_header_descramble(&h);
  uint32_t hs = h.rom_header_size;
  bool magic_ok = h.magic_num == ROM_MAGIC;
  ok = ok && magic_ok;
  printf("magic_num:            0x%08x %s\n", h.magic_num, magic_ok ? "ok" : "BAD");
  if (scrambled) {
    printf("rom_header_size:      %u (scrambled, key 0x%02x)\n", hs, h.scramble_key);
  } else if (hs < ROM_SCRAMBLED_HEADER_MIN) {
    printf("rom_header_size:      %u (older format, stored plain)\n", hs);
  } else {
    printf("rom_header_size:      %u BAD (above %d: refused)\n", hs, ROM_SCRAMBLED_HEADER_MAX);
    ok = false;
  }
  if (hs >= ROM_SCRAMBLED_HEADER_MIN) {
    bool m2 = h.magic_num2 == ROM_MAGIC;
    ok = ok && m2;
    printf("magic_num2:           0x%08x %s\n", h.magic_num2, m2 ? "ok" : "BAD");
  }
  uint64_t header_words = hs / 4 + 1;
  bool inside = rom_span_inside(len, 8, 4 * header_words);
  bool good = inside && xor_words(img + 8, header_words) == 0;
  ok = ok && good;
  printf("rom_header_checksum:  0x%08x %s\n", h.rom_header_checksum, verdict(inside, good));
  printf("rom_type:             0x%x\n", h.rom_type);
  printf("process_type:         %u%s\n", h.process_type, h.process_type == 1 ? " (force the whole ROM)" : "");
  bool count_ok = h.partition_num <= ROM_MAX_PARTITIONS;
  ok = ok && count_ok;
  printf("partition_num:        %u%s\n", h.partition_num, count_ok ? "" : " BAD (above 16)");
  printf("device_id:            %u\n", h.device_id);
  printf("oem_id:               %u\n", h.oem_id);
  printf("rom_version:          %s\n", version(h.rom_version).c_str());
  printf("rom_size:             %u\n", h.rom_size);
  uint64_t data_at = static_cast<uint64_t>(hs) + 12;
  inside = rom_span_inside(len, data_at, 4 * static_cast<uint64_t>(h.rom_size / 4));
  good = inside && xor_words(img + data_at, h.rom_size / 4) == h.rom_checksum;
  ok = ok && good;
  printf("rom_checksum:         0x%08x %s\n", h.rom_checksum, verdict(inside, good));
  printf("match_id:            ");
  for (uint8_t id : h.match_id) printf(" %u", id);
  printf("\n");
  printf("mid_version:          %u\n", h.mid_version);
  printf("sw_protect:           %u\n", h.sw_protect);
  bool unreadable = false;
  printf("signature:            %s\n", signature_summary(image, &unreadable).c_str());
  ok = ok && !unreadable;

  if (!count_ok) return 1;
  printf("\n  # kind            id  type proc dtype version          offset       size  checksum    header\n");
  uint64_t at = data_at;
  for (uint32_t i = 0; i < h.partition_num; ++i) {
    if (!rom_span_inside(len, at, PARTITION_HEADER_COPY_SIZE)) {
      printf("%3u header at 0x%llx BAD (outside the image)\n", i, static_cast<unsigned long long>(at));
      return 1;
    }
    partition_header p;
    memcpy(&p, img + at, sizeof p);
    bool pmagic = p.magic_num == PARTITION_MAGIC;
    uint64_t words = p.partition_header_size / 4 + 1;
    bool hin = rom_span_inside(len, at + 8, 4 * words);
    bool hgood = pmagic && hin && xor_words(img + at + 8, words) == 0;
    bool din = rom_span_inside(len, p.partition_offset, p.partition_size);
    bool dgood = din && xor_words(img + p.partition_offset, p.partition_size / 4) == p.partition_checksum;
    bool id_ok = p.partition_id < 10 ? p.partition_type == 0 : p.partition_id >= PARTITION_ID_SPECIAL;
    ok = ok && hgood && dgood && id_ok;
    printf("%3u %-15s %3u %5u %4u %5u %-15s 0x%08x %10u 0x%08x %s, payload %s%s\n", i, partition_kind(p).c_str(),
           p.partition_id, p.partition_type, p.process_type, p.partition_data_type,
           version(p.partition_version).c_str(), p.partition_offset, p.partition_size, p.partition_checksum,
           !pmagic ? "BAD magic" : verdict(hin, hgood), verdict(din, dgood), id_ok ? "" : " BAD id/type");
    if (!pmagic) return 1;
    at += static_cast<uint64_t>(p.partition_header_size) + 12;
  }
  return ok ? 0 : 1;
}

}  // namespace romtool
