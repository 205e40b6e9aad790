// The phone kernel's files under /proc, served by FUSE inside a boot. The
// server runs inside the device root (its caller has entered it): every
// path below is the root's own.

//   /proc/avalanche/env   the boot-loader environment (read: "name value"
//                         lines; each written line "name value" sets a
//                         variable, a name alone clears it), kept in
//                         /sim/state/env of the root across boots
//   /proc/ver/software    /sim/state/software
//   /proc/misc/hwver      /sim/state/hwver
//   /proc/glcd/refresh    each write captures /dev/fb0 as one frame under
//                         /sim/boot/frames before the write returns
// Every other name is a symbolic link into /sim/realproc (the PID
// namespace's real procfs), resolved in the caller's own context, so
// /proc/self/maps, /proc/self/fd/N and /proc/self/exe work as usual.
#pragma once

#include <stdint.h>

#include <string>

#include "sim/power.h"

namespace sim {

struct ProcfsOptions {
  int64_t boot_start_ns = 0;    // CLOCK_MONOTONIC of the boot's start (frame times)
  bool env_read_fails = false;  // faults: the kernel file answers EIO
  bool env_write_fails = false;
  bool hwver_read_fails = false;
  bool refresh_fails = false;
  PowerState* power = nullptr;  // environment writes and frames happen only while the power is on
  long cut_frame = 0;           // the power goes at this write to /proc/glcd/refresh (0: never)
};

// Mounts and serves until the process is killed. Writes one byte to
// ready_fd once the mount is in place. Returns -1 (with a message on stderr)
// when FUSE is unavailable or the mount fails.
int procfs_serve(const ProcfsOptions& options, int ready_fd);

int64_t monotonic_ns();

}  // namespace sim
