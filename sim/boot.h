// Running a command on the simulated device: in a user namespace of its own
// (the phone's root an unprivileged host id), with fresh mount, IPC, PID
// (and, for a device boot, UTS) namespaces, chrooted into the device root.
// sim/boot_parts.h lists the parts of a boot.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sim/actors.h"
#include "sim/chip.h"
#include "sim/power.h"
#include "sim/procfs.h"
#include "sim/sysvipc.h"

namespace sim {

// What a device boot adds around the command: the kernel's /proc files, a
// syslog daemon and the phone's other processes. Everything they record
// goes to /sim/boot of the root.
struct DeviceBoot {
  bool enabled = false;
  ProcfsOptions procfs;              // root and start time are filled by the boot
  int own_ipc_id = 6;                // the program's id: nobody listens there
  bool saver = false;                // configuration saver holding 0xB012
  double saver_start = 0;            // seconds after the program's start; 0: before it
  double saver_hold = 0;             // seconds
  std::vector<KeyPress> keys;        // times after the program's start
  bool keys_wait_for_reader = false;
  bool second = false;               // a second program started alongside
  double second_at = 0;              // seconds after the program's start
  std::vector<std::string> second_argv;
  bool end_when_idle = true;         // after the program, wait for what it left running
  bool reboot_fails = false;         // a reboot request is recorded but the boot goes on
  std::string hostname = "phone";
  bool flash = false;                // serve the flash chip's windows on /dev/mtdN
  ChipTiming timing;                 // modelled erase and program time
  PowerCut cut;                      // where the power goes, if anywhere
  std::vector<SysvObject> sysv_objects;  // made before anything else of the boot runs
};

struct BootOptions {
  std::string root;                     // device root directory
  std::vector<std::string> binds;       // host paths made visible read-only at the same path
  std::vector<std::string> argv;        // command, run inside the root
  std::vector<std::string> env;         // NAME=value added to the command's environment
  std::string workdir = "/";            // working directory inside the root
  int timeout_seconds = 0;              // 0: none; else the boot is killed after it
  DeviceBoot device;
};

// Runs the command and returns its status as a shell reports it: the exit
// code, or 128 + signal number; 124 when the boot timed out. -1 when the
// boot could not be set up. Every process of the boot ends with it; no
// mount survives it. Each reboot request (busybox's reboot applet signals
// PID 1) adds a line "reboot" to /sim/reboot-requests of the root. A device
// boot also ends at a reboot request (status 0) and leaves
// /sim/boot/result in the root:
//   program_start_ms <t>
//   end exit <code> | end signal <n> | end reboot | end halt | end poweroff | end timeout | end cut
//   end_ms <t>
// and /sim/boot/flash (the modelled flash work). A power cut (DeviceBoot::cut)
// ends the boot at once: every process dies, nothing changes the chip or the
// environment after it, /sim/boot/cut says where it came; the status is 0.
// and /sim/boot/sysvipc, the semaphore sets and segments at its end (simdev
// adds "status N" to the result once boot_run has answered).
int boot_run(const BootOptions& options);

// The host ids the phone's ids 0, 1, ... are in its user namespace: a range
// of its own when simdev runs as root (kPhoneIdBase and up, above the
// subordinate ranges Debian gives its users), else the caller's own ids
// (the phone's root is the caller, and no other id exists there).
struct PhoneIds {
  uid_t uid;
  gid_t gid;
  unsigned count;
};
constexpr uid_t kPhoneIdBase = 1000000000;
constexpr unsigned kPhoneIdCount = 65536;
PhoneIds boot_phone_ids();

// Gives the root's files owned by host ids below the range's size to the
// phone's ids (as root; a normal user's files are the phone's already), so
// the phone may write what simdev made for it. 0, or -1 with a message.
int boot_give_root(const std::string& root);

// fork(), the child in a user namespace of its own as the phone's root (the
// parent has written the maps before the child goes on; the child dies with
// the parent). The child gets 0, the parent the child's pid, -1 on failure.
// What a child does there holds no power over the host.
pid_t boot_fork_confined();

}  // namespace sim
