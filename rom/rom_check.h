// Deciding whether a ROM image may be installed, and what to burn.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "devenv/env_store.h"
#include "rom/rom_format.h"

enum upd_msg {
  UPD_MSG_ARG_ADDR_ERR = -100,
  UPD_MSG_ROM_HEADER_RROM_ERR = -99,
  UPD_MSG_ROM_HEADER_CHECKSUM_ERR = -98,
  UPD_MSG_ROM_CHECKSUM_ERR = -97,
  UPD_MSG_OEM_VERSION_ERR = -96,
  UPD_MSG_MACHINE_ID_ERR = -95,
  UPD_MSG_MATCH_ID_ERR = -94,
  UPD_MSG_PART_HEADER_RPAT_ERR = -93,
  UPD_MSG_PART_HEADER_CHECKSUM_ERR = -92,
  UPD_MSG_PART_CHECKSUM_ERR = -91,
  UPD_MSG_PARTITION_ID_ERROR = -90,
  UPD_MSG_PARTITION_TYPE_ERROR = -89,
  UPD_MSG_READ_ENV_FAILED = -88,
  UPD_MSG_READ_HWVERSION_FAILED = -87,
  UPD_MSG_ROM_VERSION_SAME = -86,
  UPD_MSG_MTD_ENV_LOSED = -85,
  UPD_MSG_MTD_ADDR_ERR = -84,
  UPD_MSG_MTD_OPEN_ERR = -83,  // logged as UPD_MSG_MTD_ADDR_ERR
  UPD_MSG_FLASH_ERASE_ERR = -82,
  UPD_MSG_FLASH_WRITE_ERR = -81,
  UPD_MSG_SET_ENV_FAILED = -80,
  UPD_MSG_PART_NUM_ERR = -79,
  UPD_MSG_MID_OEM_ERR = -78,
  UPD_MSG_PROTECT_FORMAT_ERR = -77,
  UPD_MSG_PROTECT_OEM_ERR = -76,
  UPD_MSG_UNPROTECT_ERR = -75,
  UPD_MSG_HW_ROM_VERSION_ERR = -74,
  UPD_MSG_PART_VERSION_SAME = 1,
  UPD_MSG_UPGRADER_TOOL = 11,
};

// The image's length bounds every read the check makes: in file mode the
// file's size, in shared-memory mode the block's capacity (LIBUPD_ROM_CAPACITY).
int rom_upgrade_check(const unsigned char* image, size_t image_len, env_info* env_table, rom_header* header,
                      partition_header* partitions, uint32_t* upgrade_flags);
void upd_msg_report(int code);
// The name a code is reported under ("UPD_MSG_..."), or NULL for a code
// without one (0, -1 and codes outside the table).
const char* upd_msg_name(int code);
