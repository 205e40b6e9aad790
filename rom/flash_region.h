// Whether a partition's region can be erased in its device's own units:
// asked by the ROM check before anything is written and by flash
// programming before its first erase. Apart from flash.cpp, so that the
// check links without the progress screen.
#pragma once

#include <stdint.h>

#include "platform/mtd_device.h"

// Bytes erased by the device's units that cover [0, need).
uint64_t flash_erase_extent(const mtd_info_user& info, uint64_t need);

// True when those units lie inside the device; else logs why at debug level.
bool flash_extent_fits(const mtd_info_user& info, uint64_t need);

// 0 when the device's erase units that cover its first `region` bytes lie
// inside it, else -84 (UPD_MSG_MTD_ADDR_ERR). A device that cannot be
// queried answers 0: the erase reports it.
int flash_region_erasable(int fd, uint64_t region);

// As flash_region_erasable, but only for a region that ends inside an erase
// unit: no erase clears its last bytes without reaching past them. A region
// of whole units that is larger than the device answers 0: the ROM check
// leaves it to the burn, which checks again after the layout step (a window
// that a cut run left re-mapped may be smaller until then).
int flash_region_end_erasable(int fd, uint64_t region);
