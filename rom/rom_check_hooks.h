// The device-facing steps of the ROM check, behind one seam: the program
// uses the device's (rom_check_device_hooks, chosen in rom_check_device.cpp);
// fuzzers and tests that must not touch the device pass their own.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "devenv/env_store.h"
#include "rom/rom_format.h"

struct rom_check_hooks {
  // Fills the cleared environment table; a negative answer is the check's.
  int (*load_env_info)(env_info* table);
  // 0 when the eight bytes of the hardware version were read, else -1.
  int (*read_hw_version)(unsigned char hw_version[8]);
  // Writes one boot-loader variable; the check ignores the outcome.
  int (*set_env_value)(const char* name, const char* value);
  // 1 when the path names an existing file, else 0.
  int (*path_exists)(const char* path);
  // Puts `len` payload bytes into the file at `path`: 0 once the file was
  // opened and written (whatever the write's outcome), -1 when it could not
  // be opened.
  int (*extract_payload)(const char* path, const unsigned char* data, size_t len);
  // 0 when the flash device at `path` opens for reading and writing and a
  // region of `region` bytes can be erased there (flash_region.h); -1 when
  // it cannot be opened, UPD_MSG_MTD_ADDR_ERR when its last erase unit
  // runs past the device.
  int (*probe_flash)(const char* path, uint32_t region);
};

// The device's implementations: environment store, shell commands, files.
extern const rom_check_hooks rom_check_device_hooks;

// rom_upgrade_check with the given hooks (null hooks answer -1).
int rom_check_with_hooks(const rom_check_hooks* hooks, const unsigned char* image, size_t image_len,
                         env_info* env_table, rom_header* header, partition_header* partitions,
                         uint32_t* upgrade_flags);
