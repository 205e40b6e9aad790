// The power of a simulated boot: the flash chip's and the kernel files'
// servers change the chip and the environment only while the power is on,
// count the requests a power cut is aimed at, and add up the modelled flash
// time. The state lives in a shared mapping that init makes before it
// starts the servers, so that a cut stops every change at one instant.
#pragma once

#include <pthread.h>

#include <string>

namespace sim {

// Where a boot is cut; 0: not at all.
struct PowerCut {
  long erase = 0;   // the Nth erase request
  long write = 0;   // the Nth write request (stored part-way)
  long frame = 0;   // the Nth write to /proc/glcd/refresh
  double time = 0;  // seconds after the program started
  bool any() const { return erase > 0 || write > 0 || frame > 0 || time > 0; }
};

struct PowerState {
  pthread_mutex_t lock;
  int frozen;  // the power is gone: nothing may change any more
  long erases, writes, frames;
  double erase_ms, program_ms;
};

// A zeroed state in a shared anonymous mapping; nullptr when it cannot be made.
PowerState* power_create();

// Around every change of the chip or the environment. When the power is
// gone, power_enter never returns: the boot is ending and the caller must
// get no answer.
void power_enter(PowerState* p);
void power_leave(PowerState* p);

// Inside power_enter: the power goes now. Records `what` in /sim/boot/cut,
// freezes every server, tells init (SIGPWR) and waits for the end.
[[noreturn]] void power_cut_here(PowerState* p, const std::string& what);

// Init's side of a cut at a time: freezes the servers at once.
void power_freeze(PowerState* p, const std::string& what);

// /sim/boot/flash: "erases N", "writes N", "erase_ms X", "program_ms X", "total_ms X".
std::string power_flash_record(const PowerState& p);

}  // namespace sim
