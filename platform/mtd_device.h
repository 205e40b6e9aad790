// MTD character devices /dev/mtd0../dev/mtd9: info, erase, write and the
// kernel's two partition re-map requests.
//
// On a character device every call is the real request. On a regular file
// (the simulated phone) the file is the flash: its size is the device size,
// erase fills 0xFF, a write can only clear bits (NOR), and a control file
// "<device path>.sim" sets the erase size, re-map support and faults. A
// window of the simulator's flash chip says "served 1" there: erase and
// re-map become request lines written to that file, and a write is a plain
// write that the chip stores by the same rules (platform/mtd_rules.h).
// docs/device-emulation.md describes the convention.
#pragma once

#include <mtd/mtd-user.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/types.h>

#include "platform/mtd_rules.h"

// Argument of MTD_ADDR_REPAIR: the partition's new place in the flash.
struct mtd_repair_region {
  uint32_t offset;  // new start, from the beginning of the flash
  uint32_t size;    // new length
};
static_assert(sizeof(mtd_repair_region) == 8);

// Vendor requests of the phone's kernel, by their documented encodings.
#define MTD_ADDR_REPAIR _IOW('M', 17, struct mtd_repair_region)
#define MTD_REPAIR_CHECK _IOR('M', 18, uint32_t)


// MEMGETINFO. 0, or -1 with errno set.
int plat_mtd_get_info(int fd, mtd_info_user* info);
// MEMERASE of one region. 0, or -1 with errno set.
int plat_mtd_erase(int fd, const erase_info_user* region);
// One write at the current offset. The count stored (possibly fewer bytes
// than asked, 0 at most when nothing could be stored), or -1 with errno set.
ssize_t plat_mtd_write(int fd, const void* buf, size_t len);
// MTD_REPAIR_CHECK with a zero argument. 0 when the kernel can re-map.
int plat_mtd_repair_check(int fd);
// MTD_ADDR_REPAIR. 0, or -1 with errno set.
int plat_mtd_addr_repair(int fd, const mtd_repair_region* region);
