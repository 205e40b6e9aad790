// Input: a 16-byte description of the device, then the image.
//   bytes 0-7   hardware version
//   byte  8     bit 0: hardware version unreadable, bit 1: environment load
//               fails, bit 2: /tmp/upgrader_tool exists, bit 3: no RomVersion,
//               bit 4: no Mtd versions, bit 5: the extraction cannot open its file
//   byte  9     flash devices that are missing (bit N: /dev/mtdN, N < 8)
//   bytes 10-11 SW_OEM, byte 12 MID_VERSION, byte 13 SW_protect
//   bytes 14-15 size of every mtd region in 4 KiB units
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>

#include "log/rl_log.h"
#include "rom/rom_check.h"
#include "rom/rom_check_hooks.h"

namespace {

constexpr size_t kDeviceBytes = 16;

const uint8_t* g_device;

void put_text(env_info* e, const char* name, const char* value) {
  snprintf(e->name, sizeof e->name, "%s", name);
  snprintf(e->value, sizeof e->value, "%s", value);
}

int fuzz_load_env(env_info* table) {
  const uint8_t* d = g_device;
  if (d[8] & 0x02) return -88;
  int n = 0;
  const std::pair<const char*, int> numbers[] = {
      {"SW_OEM", d[10] | (d[11] << 8)}, {"MID_VERSION", d[12]}, {"SW_protect", d[13]}};
  for (auto [name, value] : numbers) put_text(&table[n++], name, std::to_string(value).c_str());
  uint32_t region = (static_cast<uint32_t>(d[14]) | (static_cast<uint32_t>(d[15]) << 8)) * 4096u;
  for (int i = 0; i < 10; ++i) {
    env_info& e = table[n++];
    snprintf(e.name, sizeof e.name, "mtd%d", i);
    e.start_addr = 0x90000000u + static_cast<uint32_t>(i) * 0x100000u;
    e.end_addr = e.start_addr + region;
  }
  if (!(d[8] & 0x08)) put_text(&table[n++], "RomVersion", "1.2.3.4");
  if (!(d[8] & 0x10)) {
    put_text(&table[n++], "Mtd0Version", "1.2.3.4");
    put_text(&table[n++], "Mtd1Version", "0.0.0.0");
  }
  return 0;
}

int fuzz_read_hw_version(unsigned char hw[8]) {
  if (g_device[8] & 0x01) return -1;
  memcpy(hw, g_device, 8);
  return 0;
}

int fuzz_set_env(const char* name, const char* value) { return (strlen(name) + strlen(value)) > 0 ? 0 : -1; }

int fuzz_path_exists(const char*) { return (g_device[8] & 0x04) ? 1 : 0; }

volatile uint8_t g_sink;

int fuzz_extract(const char*, const unsigned char* data, size_t len) {
  // Touch every byte, so a payload outside the image shows up under ASan.
  uint8_t x = 0;
  for (size_t i = 0; i < len; ++i) x ^= data[i];
  g_sink = x;
  return (g_device[8] & 0x20) ? -1 : 0;
}

int fuzz_probe_flash(const char* path, uint32_t region) {
  int n = path[8] - '0';  // "/dev/mtdN"
  if (n < 8 && (g_device[9] >> n) & 1) return -1;
  // Bit 0x40: erase units of 64 KiB on a device no larger than the region.
  return (g_device[8] & 0x40) && region % 0x10000 != 0 ? UPD_MSG_MTD_ADDR_ERR : 0;
}

const rom_check_hooks kHooks = {fuzz_load_env, fuzz_read_hw_version, fuzz_set_env,
                                fuzz_path_exists, fuzz_extract, fuzz_probe_flash};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The host's syslog is no place for millions of lines.
  rl_log_set_level(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kDeviceBytes) return 0;
  g_device = data;
  static env_info env[ENV_TABLE_SIZE];
  static rom_header header;
  static partition_header partitions[ROM_MAX_PARTITIONS];
  static uint32_t flags[ROM_MAX_PARTITIONS];
  int code = rom_check_with_hooks(&kHooks, data + kDeviceBytes, size - kDeviceBytes, env, &header, partitions, flags);
  if (code != 0 && code != -1 && code != UPD_MSG_UPGRADER_TOOL && !upd_msg_name(code)) __builtin_trap();
  if ((code == 0 || code == UPD_MSG_UPGRADER_TOOL) && header.partition_num > ROM_MAX_PARTITIONS) __builtin_trap();
  return 0;
}
