// Programming the raw flash partitions /dev/mtd0../dev/mtd9.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "devenv/env_store.h"
#include "rom/rom_format.h"

class CBasicUI;

// Erase blocks, write chunks and progress steps are counted in these units.
#define FLASH_BLOCK_SIZE 65536u

// Erases and writes every flagged partition of a checked image, in image
// order, moving the progress bar from 15 to 100. Payloads are read only
// within the image_len bytes of the image. Each region is erased whole, in
// the device's own units, each once; when the units covering a region do
// not fit its device the burn is refused (-84) before anything is erased.
// 0, -1 for a missing argument, or a refusal code (reported through
// upd_msg_report).
int burn_flash(const unsigned char* image, size_t image_len, env_info* env_table, uint32_t partition_num,
               const partition_header* partitions, const uint32_t* upgrade_flags, CBasicUI* ui);

// Erases count 64 KiB blocks from start. 0, or -1 when the device cannot
// be queried or an erase request fails.
int mtd_erase(int fd, unsigned start, int count);

// Writes the file at path, which must be exactly size bytes, into
// /dev/mtd<mtd> from offset 0. 0, or -1 on any failure.
int mtd_write(int mtd, int size, const char* path);
