// The flash chip's windows, served by FUSE inside a boot: /mtd0../mtd9 and
// /mtdblock3, /mtdblock4 read what the chip holds where the kernel maps the
// partition now, and /mtdN.sim is the device's control file. The boot binds
// them onto /dev/mtdN, /dev/mtdN.sim and /dev/mtdblock/N of the root.
//   - A write to /mtdN is stored by the NOR rules (platform/mtd_rules.h):
//     old AND new, cut at the end, the fault lines of the device.
//   - A write to /mtdblockN is raw: the block device reads, erases and
//     writes whole units.
//   - A line "erase 0x<start> 0x<length>" written to /mtdN.sim erases;
//     "remap 0x<offset> 0x<size>" moves the window (and /mtdblockN with
//     it), records the request in /dev/mtdN.log and in /sim/state/windows.
// Every erase and program adds modelled time; a power cut may come at the
// Nth erase or write request (power.h). The server runs inside the device
// root (its caller has entered it): every path here is the root's own.
#pragma once

#include <string>

#include "sim/chip.h"
#include "sim/power.h"

namespace sim {

struct FlashfsOptions {
  std::string mountpoint;  // where the windows are served
  ChipTiming timing;
  PowerCut cut;
  PowerState* power = nullptr;
};

// Mounts and serves until the process is killed; writes one byte to
// ready_fd once the mount is in place. -1 (with a message on stderr) when
// the chip cannot be read or FUSE is unavailable.
int flashfs_serve(const FlashfsOptions& options, int ready_fd);

// The FUSE name of a window: "mtdblock/3" is served as "/mtdblock3".
std::string flashfs_path(const std::string& window);

}  // namespace sim
