// The simulated phone's one NOR flash chip and the kernel's partitions on it.
//
// The chip lives in the root: /sim/state/flash.bin (its bytes), /sim/state/chip
// (geometry), /sim/state/table (the kernel's partition table, where each boot
// starts) and /sim/state/windows (where the partitions are now: a re-map moves
// one). /dev/mtdN and /dev/mtdblock/3, /4 are windows on the chip: during a
// boot the flash server (flashfs.cpp) serves them; between boots the files of
// the root are plain copies of the windows, refreshed after every boot. A copy
// changed between boots (by `simdev run`, a test, a person) is written into
// the chip when the next boot starts, as a flash programmer would.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "sim/profile.h"

namespace sim {

// Part of the chip whose erase unit differs from the chip's default.
struct ChipRegion {
  uint64_t start = 0;  // offset from the chip's start
  uint64_t size = 0;
  uint64_t erase_size = 0;
};

struct Chip {
  uint64_t base = 0x90000000;  // physical address of the first byte
  uint64_t size = 0;
  uint64_t erase_size = 65536;
  std::vector<ChipRegion> regions;
};

// One partition as the kernel maps it.
struct Window {
  std::string name;    // "mtd3", "mtdblock/3"
  uint64_t start = 0;  // offset from the chip's start
  uint64_t size = 0;
};

// Modelled NOR timing. Defaults from a typical parallel NOR datasheet: a
// 64 KiB sector erases in 0.7 s (typical), a byte programs in about 10 us
// (10 ms a KiB; buffered programming is faster, byte programming is what
// the kernel's character device does).
struct ChipTiming {
  double erase_ms_per_64k = 700;
  double program_ms_per_kib = 10;
};

// The window names in the report's order: mtd0..mtd9, mtdblock/3, mtdblock/4.
const std::vector<std::string>& chip_window_names();

// Makes the chip from the profile's [flash] and [env] (unless the root has
// one and not `fresh`), then writes the plain copies of the windows. 0, or
// -1 with *error naming the key and value.
int chip_create(const std::string& root, const Profile& p, bool fresh, std::string* error);

// Reads the chip's geometry and the current windows of a root. 0 or -1.
int chip_load(const std::string& root, Chip* chip, std::vector<Window>* windows);
// Writes a window list ("name 0x<physical start> 0x<size>" lines). 0 or -1.
int chip_save_windows(const std::string& root, const std::string& path, const Chip& chip,
                      const std::vector<Window>& windows);

// The erase unit of a window: the largest of the regions it spans.
uint64_t chip_erase_size(const Chip& chip, uint64_t start, uint64_t size);

// What the chip holds in a window ("mtd3" or "mtdblock/3"); -1 when there is
// no such window.
int chip_read_window(const std::string& root, const std::string& name, std::string* bytes);

// Readies the chip for a boot: copies changed between boots go into the
// chip, the windows go back to the kernel's table unless a re-map survives
// a reboot, and /sim/boot/windows-before records them. 0 or -1 with *error.
int chip_boot_begin(const std::string& root, bool remap_persists, std::string* error);
// After a boot: /sim/boot/windows-after, and fresh plain copies. 0 or -1.
int chip_boot_end(const std::string& root);
// After a boot on the real kernel, whose guest wrote the plain copies
// themselves: the copies it changed go into the chip first (as the next
// boot would take them), so that the chip, the copies and a report made
// now tell what the guest wrote. Then as chip_boot_end. 0 or -1.
int chip_boot_end_from_copies(const std::string& root);

// [flash] keys read at every boot: timing and whether a re-map survives a
// reboot. 0 or -1 with *error naming the key and value.
int chip_boot_settings(const Profile& p, ChipTiming* timing, bool* remap_persists, std::string* error);

// Modelled times.
// A unit's erase time scales with its size.
double chip_erase_ms(const ChipTiming& t, uint64_t bytes);
double chip_program_ms(const ChipTiming& t, uint64_t bytes);

}  // namespace sim
