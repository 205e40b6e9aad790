// The rules of emulated NOR flash, shared by the device-file layer (a plain
// file standing in for a partition) and the simulator's flash chip (a window
// served by the simulator): the control text "<device>.sim", the kernel's
// checks of erase and write requests, the fault lines, and NOR programming.
// docs/device-emulation.md describes the control text.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Erase size of an emulated device when the control text names none.
#define PLAT_MTD_DEFAULT_ERASESIZE 65536u

// Faults and properties of one emulated device.
struct mtd_control {
  uint32_t erasesize = PLAT_MTD_DEFAULT_ERASESIZE;
  bool remap = false;
  bool served = false;  // a window of the simulator's chip: erase and re-map are requests to it
  bool fail_info = false;
  bool fail_remap = false;
  bool has_short = false;
  size_t short_len = 0;
  static constexpr int kMaxFaults = 16;
  int erase_faults = 0;
  int write_faults = 0;
  unsigned long fail_erase[kMaxFaults] = {};
  unsigned long fail_write[kMaxFaults] = {};
};

// Write faults are counted in these units, the program's chunk size,
// whatever the erase size.
#define PLAT_MTD_WRITE_CHUNK 65536u

// Reads control lines ("erasesize N", "remap 1", "fail erase K", ...) from
// a text of `len` bytes; unknown lines are ignored.
void mtd_control_parse(const char* text, size_t len, mtd_control* out);

// Checks an erase of [start, start + length) on a device of `size` bytes.
// Sets *erase_len to the bytes to fill with 0xFF from start, and answers 0
// (done), -EINVAL (nothing erased: empty, unaligned or outside the device)
// or -EIO (a failing block: the blocks before it are erased).
int mtd_rules_erase(const mtd_control* c, uint64_t size, uint64_t start, uint64_t length, uint64_t* erase_len);

// Checks a write of `len` bytes at `at` on a device of `size` bytes, as the
// kernel's character device does: the count to store (cut at the end of the
// device, at most the "short" count), or -ENOSPC at the end, -EIO for a
// failing chunk.
ssize_t mtd_rules_write(const mtd_control* c, uint64_t size, uint64_t at, size_t len);

// A re-map request: 0, -ENOTTY without re-map support, -EIO for a fault.
int mtd_rules_remap(const mtd_control* c);

// NOR programming of n cells: each keeps only the bits set in both.
void mtd_rules_program(unsigned char* cells, const unsigned char* data, size_t n);
