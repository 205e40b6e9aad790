// Facts passed between modules during one run. Each flag has one writer;
// all start at 0 and are never cleared during a run, except the two "moved"
// flags, cleared once nothing is left to write back.
#pragma once

extern int kernel_support;         // driver: the kernel can re-map MTD partitions
extern int mtd_config_present;     // ROM check: /tmp/mtd.conf was written from the ROM
extern int upgrader_kernel_only;   // MTD layout: layout differs and cannot be repaired
extern int env_mtd_moved;          // MTD layout: /tmp/mtdblock3 must be written back to mtd3
extern int config_mtd_moved;       // MTD layout: /tmp/mtdblock4 must be written back to mtd4
extern int env_config_blocks_saved;  // MTD layout: both partition copies were made this run
extern int env_block_copied;         // MTD layout: /tmp/mtdblock3 was taken from mtd3's original place
extern int config_block_copied;      // MTD layout: /tmp/mtdblock4 was taken from mtd4's original place
