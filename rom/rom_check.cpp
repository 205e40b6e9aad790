#include "rom/rom_check.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/byteorder.h"
#include "common/process_flags.h"
#include "log/rl_log.h"
#include "rom/rom_check_hooks.h"

namespace {

const char kUpgraderToolPath[] = "/tmp/upgrader_tool";
const char kMtdConfigPath[] = "/tmp/mtd.conf";
const char kConfigModifyPath[] = "/config/config_modify";

constexpr size_t kNameSize = 32;
constexpr uint32_t kFlashPartitions = 10;

struct code_name {
  int code;
  const char* name;
};

const code_name kCodeNames[] = {
    {UPD_MSG_ARG_ADDR_ERR, "UPD_MSG_ARG_ADDR_ERR"},
    {UPD_MSG_ROM_HEADER_RROM_ERR, "UPD_MSG_ROM_HEADER_RROM_ERR"},
    {UPD_MSG_ROM_HEADER_CHECKSUM_ERR, "UPD_MSG_ROM_HEADER_CHECKSUM_ERR"},
    {UPD_MSG_ROM_CHECKSUM_ERR, "UPD_MSG_ROM_CHECKSUM_ERR"},
    {UPD_MSG_OEM_VERSION_ERR, "UPD_MSG_OEM_VERSION_ERR"},
    {UPD_MSG_MACHINE_ID_ERR, "UPD_MSG_MACHINE_ID_ERR"},
    {UPD_MSG_MATCH_ID_ERR, "UPD_MSG_MATCH_ID_ERR"},
    {UPD_MSG_PART_HEADER_RPAT_ERR, "UPD_MSG_PART_HEADER_RPAT_ERR"},
    {UPD_MSG_PART_HEADER_CHECKSUM_ERR, "UPD_MSG_PART_HEADER_CHECKSUM_ERR"},
    {UPD_MSG_PART_CHECKSUM_ERR, "UPD_MSG_PART_CHECKSUM_ERR"},
    {UPD_MSG_PARTITION_ID_ERROR, "UPD_MSG_PARTITION_ID_ERROR"},
    {UPD_MSG_PARTITION_TYPE_ERROR, "UPD_MSG_PARTITION_TYPE_ERROR"},
    {UPD_MSG_READ_ENV_FAILED, "UPD_MSG_READ_ENV_FAILED"},
    {UPD_MSG_READ_HWVERSION_FAILED, "UPD_MSG_READ_HWVERSION_FAILED"},
    {UPD_MSG_ROM_VERSION_SAME, "UPD_MSG_ROM_VERSION_SAME"},
    {UPD_MSG_MTD_ENV_LOSED, "UPD_MSG_MTD_ENV_LOSED"},
    {UPD_MSG_MTD_ADDR_ERR, "UPD_MSG_MTD_ADDR_ERR"},
    {UPD_MSG_MTD_OPEN_ERR, "UPD_MSG_MTD_ADDR_ERR"},
    {UPD_MSG_FLASH_ERASE_ERR, "UPD_MSG_FLASH_ERASE_ERR"},
    {UPD_MSG_FLASH_WRITE_ERR, "UPD_MSG_FLASH_WRITE_ERR"},
    {UPD_MSG_SET_ENV_FAILED, "UPD_MSG_SET_ENV_FAILED"},
    {UPD_MSG_PART_NUM_ERR, "UPD_MSG_PART_NUM_ERR"},
    {UPD_MSG_MID_OEM_ERR, "UPD_MSG_MID_OEM_ERR"},
    {UPD_MSG_PROTECT_FORMAT_ERR, "UPD_MSG_PROTECT_FORMAT_ERR"},
    {UPD_MSG_PROTECT_OEM_ERR, "UPD_MSG_PROTECT_OEM_ERR"},
    {UPD_MSG_UNPROTECT_ERR, "UPD_MSG_UNPROTECT_ERR"},
    {UPD_MSG_HW_ROM_VERSION_ERR, "UPD_MSG_HW_ROM_VERSION_ERR"},
    {UPD_MSG_PART_VERSION_SAME, "UPD_MSG_PART_VERSION_SAME"},
    {UPD_MSG_UPGRADER_TOOL, "UPD_MSG_UPGRADER_TOOL"},
};

int refuse(int code) {
  upd_msg_report(code);
  return code;
}

unsigned address_of(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// The address a header field points at, whether or not it lies in the image;
// only printed, never dereferenced.
unsigned address_at(const unsigned char* image, uint64_t offset) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(image) + static_cast<uintptr_t>(offset));
}

// A text entry of the table, cut to its field so a malformed table cannot
// make the check read past it.
void entry_text(const env_info& entry, char out[ENV_VALUE_SIZE]) {
  size_t n = strnlen(entry.value, ENV_VALUE_SIZE - 1);
  memcpy(out, entry.value, n);
  out[n] = '\0';
}

void entry_name(const env_info& entry, char out[ENV_NAME_SIZE]) {
  size_t n = strnlen(entry.name, ENV_NAME_SIZE - 1);
  memcpy(out, entry.name, n);
  out[n] = '\0';
}

// Decimal text of a variable as a 32-bit value (atoi-like); 0 when absent.
uint32_t env_number(const env_info* table, const char* name) {
  int index;
  if (env_find(table, name, &index) != 0) return 0;
  char text[ENV_VALUE_SIZE];
  entry_text(table[index], text);
  return static_cast<uint32_t>(strtoll(text, nullptr, 10));
}

struct check_context {
  const rom_check_hooks* hooks;
  const unsigned char* image;
  size_t image_len;
  env_info* env;
  rom_header* header;
  partition_header* partitions;
  uint32_t* flags;
};

int read_hw(const check_context& c, unsigned char hw[8]) {
  memset(hw, 0, 8);
  return c.hooks->read_hw_version(hw) == 0 ? 0 : -1;
}

// The lowest rom_version a board accepts, by hardware version.
bool below_minimum_version(const unsigned char hw[8], uint32_t rom_version) {
  unsigned b = (rom_version >> 16) & 0xFF;
  unsigned c = (rom_version >> 8) & 0xFF;
  unsigned d = rom_version & 0xFF;
  bool b_high = b == 143 || b == 164;
  if (hw[7] != 1) {
    if (hw[0] != 59 || (hw[3] & 0x0F) != 1) return false;
    if (b_high) return c < 6 || (c == 6 && d < 200);
    return c < 6;
  }
  if (hw[0] == 59 || hw[0] == 53 || hw[0] == 52) {
    if (b_high) return c < 8;
    return c < 5 || (c == 5 && d < 200);
  }
  if (hw[0] == 55) {
    if (b == 145) return c < 6;
    return c < 6 || (c == 6 && d < 100);
  }
  return false;
}

int check_header_checksum(const check_context& c) {
  uint64_t words = c.header->rom_header_size / 4 + 1;
  rl_log_debug("\npaddr:%x pdat:%x\n", address_of(c.image), address_of(c.image));
  rl_log_debug("len:%x\n", static_cast<unsigned>(words));
  if (!rom_span_inside(c.image_len, 8, 4 * words)) {
    rl_log_err("rom header of %u bytes runs past the image (%u bytes)\n", c.header->rom_header_size,
               static_cast<unsigned>(c.image_len));
    return refuse(UPD_MSG_ROM_HEADER_CHECKSUM_ERR);
  }
  if (rom_xor_words(c.image + 8, static_cast<size_t>(words)) != 0) return refuse(UPD_MSG_ROM_HEADER_CHECKSUM_ERR);
  return 0;
}

int check_data_checksum(const check_context& c) {
  uint64_t start = static_cast<uint64_t>(c.header->rom_header_size) + 12;
  uint64_t words = c.header->rom_size / 4;
  rl_log_debug("\npdat:%x len:%x\n", address_at(c.image, start), static_cast<unsigned>(words));
  if (!rom_span_inside(c.image_len, start, 4 * words)) {
    rl_log_err("rom data of %u bytes at 0x%x runs past the image (%u bytes)\n", c.header->rom_size,
               static_cast<unsigned>(start), static_cast<unsigned>(c.image_len));
    return refuse(UPD_MSG_ROM_CHECKSUM_ERR);
  }
  const unsigned char* data = c.image + start;
  uint32_t sum = rom_xor_words(data, static_cast<size_t>(words));
  uint32_t last = words >= 1 ? load_le32(data + 4 * (words - 1)) : 0;
  uint32_t before_last = words >= 2 ? load_le32(data + 4 * (words - 2)) : 0;
  rl_log_debug("last dat:%x %x\n", last, before_last);
  if (sum != c.header->rom_checksum) return refuse(UPD_MSG_ROM_CHECKSUM_ERR);
  return 0;
}

// Extracts a payload to its file: 0 once written, -1 when it could not be opened.
int extract(const check_context& c, const char* path, const partition_header& p) {
  const unsigned char* payload = c.image + p.partition_offset;
  if (c.hooks->extract_payload(path, payload, p.partition_size) != 0) {
    rl_log_err("%s open failed!\n", path);
    return -1;
  }
  return 0;
}

// A special entry; 11 when the upgrader tool was extracted (the check ends).
int examine_special(const check_context& c, const partition_header& p, int index) {
  c.flags[index] = 0;
  switch (p.partition_type) {
    case PARTITION_TYPE_UPGRADER_TOOL:
      rl_log_info("ppartition_addr->partition_type:%d\n", static_cast<int>(p.partition_type));
      if (c.hooks->path_exists(kUpgraderToolPath)) return 0;
      return extract(c, kUpgraderToolPath, p) == 0 ? UPD_MSG_UPGRADER_TOOL : 0;
    case PARTITION_TYPE_MTD_CONFIG:
      rl_log_info("MTD CONFIG ppartition_addr->partition_type:%d\n", static_cast<int>(p.partition_type));
      if (extract(c, kMtdConfigPath, p) == 0) mtd_config_present = 1;
      return 0;
    case PARTITION_TYPE_CONFIG_MODIFY:
      rl_log_info("CONFIG MODIFY ppartition_addr->partition_type:%d\n", static_cast<int>(p.partition_type));
      (void)extract(c, kConfigModifyPath, p);
      return 0;
    default:
      return 0;
  }
}

uint32_t flash_flag(const check_context& c, const partition_header& p) {
  if (c.header->process_type == 1) {
    rl_log_info("rom force upgrade!\n");
    return 1;
  }
  if (p.process_type == 1) {
    rl_log_info("mtd%d force upgrade!\n", static_cast<int>(p.partition_id));
    return 1;
  }
  char name[kNameSize];
  snprintf(name, sizeof name, "Mtd%dVersion", static_cast<int>(p.partition_id));
  int index;
  if (env_find(c.env, name, &index) != 0) {
    rl_log_info("%s env isnot exist!\n", name);
    return 1;
  }
  char entry[ENV_NAME_SIZE], installed[ENV_VALUE_SIZE], offered[ROM_VERSION_TEXT_SIZE];
  entry_name(c.env[index], entry);
  entry_text(c.env[index], installed);
  rl_log_info("%s name:%s value:%s\n", name, entry, installed);
  rom_version_text(p.partition_version, offered);
  rl_log_info("mtdn_version:%s version:%s\n", installed, offered);
  if (strcmp(installed, offered) == 0) {
    upd_msg_report(UPD_MSG_PART_VERSION_SAME);
    return 0;
  }
  return 1;
}

int examine_flash(const check_context& c, const partition_header& p, int index) {
  if (p.partition_id >= kFlashPartitions) return refuse(UPD_MSG_PARTITION_ID_ERROR);
  if (p.partition_type != PARTITION_TYPE_FLASH) return refuse(UPD_MSG_PARTITION_TYPE_ERROR);
  char name[kNameSize];
  snprintf(name, sizeof name, "mtd%d", static_cast<int>(p.partition_id));
  int env_index;
  if (env_find(c.env, name, &env_index) != 0) {
    rl_log_err("%s isnot exist!\n", name);
    return refuse(UPD_MSG_MTD_ENV_LOSED);
  }
  uint32_t start = c.env[env_index].start_addr;
  uint32_t end = c.env[env_index].end_addr;
  rl_log_info("%s start_addr:%x end_addr:%x\n", name, start, end);
  if (end <= start || end - start < p.partition_size) return refuse(UPD_MSG_MTD_ADDR_ERR);
  char path[kNameSize];
  snprintf(path, sizeof path, "/dev/mtd%d", static_cast<int>(p.partition_id));
  // A region the device's erase units cannot cover is refused here, before
  // anything is written, not half-way through the burn.
  int probed = c.hooks->probe_flash(path, end - start);
  if (probed == UPD_MSG_MTD_ADDR_ERR) return refuse(UPD_MSG_MTD_ADDR_ERR);
  if (probed != 0) {
    rl_log_err("%s open failed!\n", path);
    return refuse(UPD_MSG_MTD_OPEN_ERR);
  }
  c.flags[index] = flash_flag(c, p);
  return 0;
}

// Locates, copies and verifies one partition header and its payload.
int read_partition(const check_context& c, uint64_t at, int index) {
  partition_header& p = c.partitions[index];
  if (!rom_span_inside(c.image_len, at, PARTITION_HEADER_COPY_SIZE)) {
    rl_log_err("partition header %d at 0x%llx lies outside the image\n", index, static_cast<unsigned long long>(at));
    return refuse(UPD_MSG_PART_HEADER_RPAT_ERR);
  }
  const unsigned char* header_bytes = c.image + at;
  memcpy(&p, header_bytes, PARTITION_HEADER_COPY_SIZE);
  rom_partition_header_dump(&p);
  rl_log_debug("ppartition_addr:%x ppart_data_addr:%x\n", address_of(header_bytes),
               address_at(c.image, p.partition_offset));
  if (p.magic_num != PARTITION_MAGIC) return refuse(UPD_MSG_PART_HEADER_RPAT_ERR);
  uint64_t header_words = p.partition_header_size / 4 + 1;
  if (!rom_span_inside(c.image_len, at + 8, 4 * header_words)) {
    rl_log_err("partition header %d of %u bytes runs past the image\n", index, p.partition_header_size);
    return refuse(UPD_MSG_PART_HEADER_CHECKSUM_ERR);
  }
  if (rom_xor_words(header_bytes + 8, static_cast<size_t>(header_words)) != 0) {
    return refuse(UPD_MSG_PART_HEADER_CHECKSUM_ERR);
  }
  if (!rom_span_inside(c.image_len, p.partition_offset, p.partition_size)) {
    rl_log_err("partition %d payload of %u bytes at 0x%x runs past the image\n", index, p.partition_size,
               p.partition_offset);
    return refuse(UPD_MSG_PART_CHECKSUM_ERR);
  }
  const unsigned char* payload = c.image + p.partition_offset;
  uint32_t first = p.partition_size >= 4 ? load_le32(payload) : 0;
  rl_log_debug("ppart_dat:%x :%x\n", address_of(payload), first);
  uint32_t sum = rom_xor_words(payload, p.partition_size / 4);
  if (sum != p.partition_checksum) {
    rl_log_err("partition_checksum_cal:%x checksum:%x\n", sum, p.partition_checksum);
    return refuse(UPD_MSG_PART_CHECKSUM_ERR);
  }
  return 0;
}

int examine_partitions(const check_context& c) {
  uint32_t count = c.header->partition_num;
  rl_log_info("upgrader_softversion_check!\n");
  rl_log_debug("headers size:0x%x\n", static_cast<unsigned>(ROM_HEADER_COPY_SIZE + PARTITION_HEADER_COPY_SIZE * count));
  memset(c.partitions, 0, sizeof(partition_header) * count);
  uint64_t at = static_cast<uint64_t>(c.header->rom_header_size) + 12;
  for (uint32_t i = 0; i < count; ++i) {
    int index = static_cast<int>(i);
    int rc = read_partition(c, at, index);
    if (rc != 0) return rc;
    const partition_header& p = c.partitions[index];
    rc = p.partition_id < PARTITION_ID_SPECIAL ? examine_flash(c, p, index) : examine_special(c, p, index);
    if (rc != 0) return rc;
    at += static_cast<uint64_t>(p.partition_header_size) + 12;
  }
  return 0;
}

int check_board_model(const unsigned char hw[8], uint32_t device_id) {
  if (hw[0] == device_id) return 0;
  if ((hw[0] == 1 && device_id == 53) || (hw[0] == 53 && device_id == 1)) {
    rl_log_err("hardware_version is 1\n");
    return 0;
  }
  if (hw[0] == 52 && device_id == 55) {
    rl_log_err("Upgrade Q60 rom on Q57 device.");
    return 0;
  }
  rl_log_err("hardware_version:%x prom_header->device_id:%x\n", hw[0], device_id);
  return refuse(UPD_MSG_MACHINE_ID_ERR);
}

void set_env_number(const check_context& c, const char* name, uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%d", static_cast<int>(value));
  (void)c.hooks->set_env_value(name, text);
}

int apply_protection(const check_context& c) {
  uint32_t e_oem = env_number(c.env, "SW_OEM");
  uint32_t e_mid = env_number(c.env, "MID_VERSION");
  uint32_t e_prot = env_number(c.env, "SW_protect");
  rl_log_debug("sw_oem :%d \n", static_cast<int>(e_oem));
  rl_log_debug("mid_version :%d \n", static_cast<int>(e_mid));
  rl_log_debug("sw_protect :%d \n", static_cast<int>(e_prot));
  const rom_header& h = *c.header;
  uint32_t r_oem = h.oem_id, r_mid = h.mid_version, r_prot = h.sw_protect;
  if (h.rom_header_size != ROM_STANDARD_HEADER_SIZE) {
    if (e_prot == 1) return refuse(UPD_MSG_PROTECT_FORMAT_ERR);
  } else if (e_mid != 0 && r_mid != 0) {
    if (r_oem != e_oem) return refuse(UPD_MSG_MID_OEM_ERR);
  } else if (e_prot != 0) {
    if (r_mid != 0) {
      if (r_oem != e_oem) return refuse(UPD_MSG_PROTECT_OEM_ERR);
      (void)c.hooks->set_env_value("SW_protect", "0");
    } else if (r_oem != e_oem || r_prot == 0) {
      return refuse(UPD_MSG_PROTECT_OEM_ERR);
    }
  } else if (r_mid != 0 && (r_oem == e_oem || e_oem == 0)) {
    (void)c.hooks->set_env_value("SW_protect", "1");
    set_env_number(c, "SW_OEM", r_oem);
  } else {
    if (r_prot != 0 || r_mid != 0) return refuse(UPD_MSG_UNPROTECT_ERR);
    set_env_number(c, "SW_OEM", r_oem);
  }
  if (e_mid != r_mid) (void)c.hooks->set_env_value("MID_VERSION", e_mid == 0 ? "1" : "0");
  return 0;
}

int check_match_id(const unsigned char hw[8], const rom_header& h) {
  unsigned match = hw[4] & 0x0F;
  for (uint8_t id : h.match_id) {
    if (id == match) return 0;
  }
  rl_log_err("match_id:%x\n", match);
  return refuse(UPD_MSG_MATCH_ID_ERR);
}

int compare_rom_version(const check_context& c) {
  int index;
  if (env_find(c.env, "RomVersion", &index) != 0) {
    rl_log_info("RomVersion env isnot exist!\n");
    return 0;
  }
  char entry[ENV_NAME_SIZE], installed[ENV_VALUE_SIZE], offered[ROM_VERSION_TEXT_SIZE];
  entry_name(c.env[index], entry);
  entry_text(c.env[index], installed);
  rl_log_info("%s name:%s value:%s\n", "RomVersion", entry, installed);
  rom_version_text(c.header->rom_version, offered);
  rl_log_debug("rom_version_cmp:%s rom_version:%s\n", offered, installed);
  if (strcmp(offered, installed) == 0) return refuse(UPD_MSG_ROM_VERSION_SAME);
  return 0;
}

// Steps up to and including the data checksum: the image on its own.
int check_image(const check_context& c) {
  uint32_t first = c.image_len >= 4 ? load_le32(c.image) : 0;
  rl_log_debug("rom--------:0x%x\n", first);
  if (c.image_len < ROM_HEADER_COPY_SIZE) {
    rl_log_err("rom image of %u bytes is shorter than its header\n", static_cast<unsigned>(c.image_len));
    return refuse(UPD_MSG_ARG_ADDR_ERR);
  }
  if (first != ROM_MAGIC) return refuse(UPD_MSG_ARG_ADDR_ERR);
  memset(c.env, 0, sizeof(env_info) * ENV_TABLE_SIZE);
  memset(c.header, 0, sizeof(rom_header));
  rom_header_read(c.image, c.header);
  uint32_t size = c.header->rom_header_size;
  if (size >= ROM_SCRAMBLED_HEADER_MIN && (size > ROM_SCRAMBLED_HEADER_MAX || c.header->magic_num2 != ROM_MAGIC)) {
    return refuse(UPD_MSG_ROM_HEADER_RROM_ERR);
  }
  if (c.header->partition_num > ROM_MAX_PARTITIONS) return refuse(UPD_MSG_PART_NUM_ERR);
  int rc = check_header_checksum(c);
  if (rc != 0) return rc;
  return check_data_checksum(c);
}

int run_check(const check_context& c) {
  int rc = check_image(c);
  if (rc != 0) return rc;
  unsigned char hw[8];
  if (read_hw(c, hw) != 0) return refuse(UPD_MSG_READ_HWVERSION_FAILED);
  if (below_minimum_version(hw, c.header->rom_version)) return refuse(UPD_MSG_HW_ROM_VERSION_ERR);
  rc = c.hooks->load_env_info(c.env);
  if (rc < 0) return refuse(rc);
  rc = examine_partitions(c);
  if (rc != 0) return rc;
  rl_log_debug("rom_upgrade_check start\n");
  if (read_hw(c, hw) != 0) return refuse(UPD_MSG_READ_HWVERSION_FAILED);
  rc = check_board_model(hw, c.header->device_id);
  if (rc != 0) return rc;
  rc = apply_protection(c);
  if (rc != 0) return rc;
  rc = check_match_id(hw, *c.header);
  if (rc != 0) return rc;
  if (c.header->process_type == 1) {
    rl_log_info("rom force upgrader!\n");
    return 0;
  }
  return compare_rom_version(c);
}

}  // namespace

const char* upd_msg_name(int code) {
  for (const code_name& n : kCodeNames) {
    if (n.code == code) return n.name;
  }
  return nullptr;
}

void upd_msg_report(int code) {
  // Only the refusals of the image, the device and the flash, and the
  // per-partition notice, are logged; the protection codes stay silent.
  if ((code >= UPD_MSG_ARG_ADDR_ERR && code <= UPD_MSG_PART_NUM_ERR) || code == UPD_MSG_PART_VERSION_SAME) {
    rl_log_err("%s\n", upd_msg_name(code));
  }
}

int rom_check_with_hooks(const rom_check_hooks* hooks, const unsigned char* image, size_t image_len,
                         env_info* env_table, rom_header* header, partition_header* partitions,
                         uint32_t* upgrade_flags) {
  if (!hooks || !image || !env_table || !header || !partitions || !upgrade_flags) return -1;
  if (!hooks->load_env_info || !hooks->read_hw_version || !hooks->set_env_value || !hooks->path_exists ||
      !hooks->extract_payload || !hooks->probe_flash) {
    return -1;
  }
  check_context c = {hooks, image, image_len, env_table, header, partitions, upgrade_flags};
  return run_check(c);
}
