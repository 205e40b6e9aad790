// The parts of a boot, by what happens: boot.cpp makes the namespaces and
// maps the phone's ids; boot_mounts.cpp mounts what the phone needs and
// enters its root; boot_serve.cpp starts the servers of its devices and its
// other processes; boot_records.cpp writes what the boot leaves in
// /sim/boot; boot_init.cpp is the phone's init, which runs them all.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

#include "sim/boot.h"

namespace sim {

// A boot that cannot be set up: the reason on stderr, status 125.
[[noreturn]] void boot_die(const char* what, const std::string& arg);

struct BootPipe {
  int r = -1, w = -1;
};
BootPipe boot_pipe();
// Waits for the one byte a server writes once it serves; 125 when it never comes.
void boot_wait_ready(int fd, const char* what);
void boot_unblock_signals();
// A wait status as a shell reports it: the exit code, or 128 + signal.
int boot_shell_status(int status);

// The host's libraries and devices, the bound folders, /sim/realproc, the
// phone's RAM /tmp and its own file systems, each mounted onto a place
// looked up inside the root; /dev/fuse too while the servers start. Then the
// root becomes the mount namespace's root, the host's tree detached below it,
// and the host's mounts are locked from the phone (a user namespace below
// init's). The caller is inside the root on return, with stdio only.
void boot_setup_mounts(const BootOptions& o);
void boot_drop_fuse_device();
// Binds the file `from` over the root's `to` (made when missing), looked up
// inside the root.
void boot_bind_file(const std::string& root, const std::string& from, const std::string& to);

// The program and the second program: their output on the device's
// console file when one is given.
pid_t boot_start_program(const BootOptions& o, const std::vector<std::string>& argv, int console_fd,
                         const std::string& workdir);

// What the phone's init keeps while the boot runs. It runs inside the root:
// every path here is the root's own.
struct Boot {
  const BootOptions& o;
  int64_t start_ns = monotonic_ns();
  int64_t program_start_ns = 0;
  std::set<pid_t> actors;
  pid_t syslogd = -1;
  int listener_drain = -1, listener_ack = -1;
  const std::string boot_dir = "/sim/boot";
  // The command's peak resident set: the kernel's figure once it has been
  // reaped, else read from its status when the boot ends (a reboot ends the
  // boot while the program still waits for its shell).
  pid_t program = -1;
  long program_max_rss_kb = -1;
  PowerState* power = nullptr;
  explicit Boot(const BootOptions& opt) : o(opt) {}

  double ms(int64_t t) const { return static_cast<double>(t - start_ns) / 1e6; }

  // Serving the phone's devices and starting its other processes (boot_serve.cpp).
  void start_procfs();
  void start_flashfs();
  void start_syslogd();
  void start_listener();
  void start_saver(int64_t at_ns, bool wait);
  void start_keypad();
  bool others_running();

  // The boot's records in /sim/boot (boot_records.cpp).
  void record(const std::string& name, const std::string& text);
  void flush_syslog();
  void drain_listener();
  long live_max_rss_kb(pid_t pid, std::string* composition) const;
  void record_sysv_state();
  [[noreturn]] void finish(const std::string& how, int code);
  void record_flash();
  [[noreturn]] void power_cut();
};

// PID 1 of the boot (boot_init.cpp).
[[noreturn]] void boot_init(const BootOptions& host_view);

}  // namespace sim
