// The flash layout step: compares the layout a ROM carries (/tmp/mtd.conf)
// with the one the boot-loader environment records, and asks the kernel to
// re-map every partition that moved. The environment (mtd3) and
// configuration (mtd4) partitions are saved to /tmp first, for the driver
// to write back once it holds the flash lock.
#pragma once

#include <stdint.h>

#include "devenv/env_store.h"

#define MTD_LAYOUT_FILE "/tmp/mtd.conf"
#define MTD_LAYOUT_SECTION "mtd"
#define MTD_LAYOUT_COUNT 10
// The flash window the layout's addresses are given in.
#define MTD_WINDOW_START 0x90000000u
#define MTD_WINDOW_END 0x90800000u
#define MTD_LAYOUT_ALIGN 0x10000u

#define MTD_ENV_BLOCK_COPY "/tmp/mtdblock3"
#define MTD_CONFIG_BLOCK_COPY "/tmp/mtdblock4"
#define MTD_ENV_BLOCK_SIZE 0x10000
#define MTD_CONFIG_BLOCK_SIZE 0x80000

// 1 when the kernel offers the re-map requests (asked on /dev/mtd0, then
// /dev/mtd1), else 0.
int kernel_support_mtd_repair_check();

// Applies /tmp/mtd.conf: 0, or -1 when the layout is missing or invalid, an
// mtd variable is missing, or a re-map fails. Re-mapped entries of the
// environment table take the new addresses (in memory only). On a kernel
// without re-map support a differing layout sets upgrader_kernel_only.
int mtd_config_deal(env_info* env_table);

// Re-maps partition i to the layout entry; saves the mtd3/mtd4 contents
// first and refuses (-1) to move mtd3 or mtd4 without its copy. The result
// of mtd_addr_repair.
int mtd_diffrent_deal(int i, const env_info* layout_entry);

// MTD_ADDR_REPAIR on /dev/mtd<i>. 0, or -1.
int mtd_addr_repair(int i, uint32_t offset, uint32_t size);

// Copies /dev/mtdblock/3 and /4 to /tmp/mtdblock3 and /4, each at most
// once per run, never after its partition moved, and each from the place
// the environment records (the window is re-mapped there first). 0 when
// both copies exist, -1 when one cannot be made.
int cat_env_config_block();

// The copy of partition i (3 or 4) is back in its moved window: nothing
// is left to write back for it.
void mtd_layout_written_back(int i);

// Before a run ends without writing the copies back (reboot or failure
// screen): moves every mtd3/mtd4 window this run moved and did not write
// back to its original place, where its contents still are. 0, or -1 when
// a window could not be moved back.
int mtd_layout_move_back();

// Unmounts /etc/ and /config/. 0, or -1 after five failed attempts.
int umount_config_mtd();
