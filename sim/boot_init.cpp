#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "sim/boot_parts.h"

namespace sim {
namespace {

void ignore_signal(int) {}

// The sets and segments a phone that has been up a while holds already.
void make_sysv_history(const DeviceBoot& dev) {
  std::string error;
  if (sysv_create(dev.sysv_objects, &error) == 0) return;
  fprintf(stderr, "simdev: %s\n", error.c_str());
  _exit(125);
}

}  // namespace

// PID 1 of the boot: starts the command (and, for a device boot, the
// phone's other processes), reaps every orphan, and returns the command's
// status. Its end takes every other process of the boot with it.
[[noreturn]] void boot_init(const BootOptions& host_view) {
  boot_setup_mounts(host_view);
  // o.root named the root from outside; init is inside it now and names
  // every file by the root's own path.
  const BootOptions& o = host_view;
  Boot b(o);
  // Namespace init ignores signals it has no handler for, even blocked ones.
  // SIGPWR: a server of the boot reached the cut point.
  for (int sig : {SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGPWR}) signal(sig, ignore_signal);
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int sig : {SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGPWR}) sigaddset(&wanted, sig);
  sigprocmask(SIG_BLOCK, &wanted, nullptr);

  int console_fd = -1;
  const DeviceBoot& dev = o.device;
  if (dev.enabled) {
    if (sethostname(dev.hostname.c_str(), dev.hostname.size()) != 0) boot_die("sethostname", dev.hostname);
    make_sysv_history(dev);
    console_fd = open((b.boot_dir + "/console").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (console_fd < 0) boot_die("create", b.boot_dir + "/console");
    b.power = power_create();
    if (!b.power) boot_die("mmap", "power state");
    b.start_procfs();
    if (dev.flash) b.start_flashfs();
    b.start_syslogd();
    b.start_listener();
    boot_drop_fuse_device();
    if (dev.saver && dev.saver_start <= 0) b.start_saver(0, true);
  }
  if (o.timeout_seconds > 0) alarm(static_cast<unsigned>(o.timeout_seconds));

  pid_t cmd = boot_start_program(o, o.argv, console_fd, o.workdir);
  b.program_start_ns = monotonic_ns();
  b.program = cmd;
  pid_t second = -1;
  bool second_pending = dev.enabled && dev.second;
  if (dev.enabled) {
    char line[64];
    snprintf(line, sizeof line, "program_start_ms %.1f", b.ms(b.program_start_ns));
    b.record("result", line);
    if (!dev.keys.empty()) b.start_keypad();
    if (dev.saver && dev.saver_start > 0)
      b.start_saver(b.program_start_ns + static_cast<int64_t>(dev.saver_start * 1e9), false);
  }

  bool program_done = false;
  int result = -1;
  for (;;) {
    struct timespec tick = {0, 50 * 1000 * 1000};
    int sig = sigtimedwait(&wanted, nullptr, &tick);
    if (sig == SIGPWR && b.power && b.power->frozen) b.power_cut();
    if (dev.enabled && dev.cut.time > 0 && monotonic_ns() >= b.program_start_ns + static_cast<int64_t>(dev.cut.time * 1e9)) {
      char what[64];
      snprintf(what, sizeof what, "time %g", dev.cut.time);
      power_freeze(b.power, what);
      b.power_cut();
    }
    if (sig == SIGALRM) {
      const char msg[] = "simdev: boot timed out\n";
      (void)!write(2, msg, sizeof msg - 1);
      b.finish("timeout", 124);
    }
    // A reboot on the phone reaches init: busybox's `reboot` applet (which
    // busybox sh runs in preference to any file on the search path, and
    // which /sbin/reboot and the driver's copy /tmp/reboot are) signals
    // PID 1 with SIGTERM (halt: SIGUSR1, poweroff: SIGUSR2). Each request is
    // recorded in /sim/reboot-requests; on a device boot it ends the boot,
    // unless the profile makes the reboot fail (halt and poweroff still work).
    if (sig == SIGTERM || sig == SIGUSR1 || sig == SIGUSR2) {
      const char* what = sig == SIGTERM ? "reboot" : sig == SIGUSR1 ? "halt" : "poweroff";
      FILE* f = fopen("/sim/reboot-requests", "a");
      if (f) {
        fprintf(f, "%s\n", what);
        fclose(f);
      }
      if (dev.enabled) {
        char line[64];
        snprintf(line, sizeof line, "%.1f %s", b.ms(monotonic_ns()), what);
        b.record("reboot", line);
        // A phone whose reboot fails can still be halted or powered off:
        // that is how a test ends such a boot.
        if (!dev.reboot_fails || sig != SIGTERM) b.finish(what, 0);
      }
    }
    for (;;) {
      int status;
      struct rusage usage;
      pid_t pid = wait4(-1, &status, WNOHANG, &usage);
      if (pid <= 0) break;
      if (pid == cmd) {
        program_done = true;
        result = boot_shell_status(status);
        b.program_max_rss_kb = usage.ru_maxrss;
      } else if (pid == second) {
        char line[64];
        snprintf(line, sizeof line, "%.1f exit %d", b.ms(monotonic_ns()), boot_shell_status(status));
        b.record("second", line);
      } else if (b.actors.count(pid) && pid == b.syslogd) {
        b.syslogd = -1;
      }
    }
    if (second_pending && monotonic_ns() >= b.program_start_ns + static_cast<int64_t>(dev.second_at * 1e9)) {
      second_pending = false;
      second = boot_start_program(o, dev.second_argv, console_fd, "/");
      char line[64];
      snprintf(line, sizeof line, "%.1f started", b.ms(monotonic_ns()));
      b.record("second", line);
    }
    if (!program_done) continue;
    if (dev.enabled && dev.end_when_idle && (second_pending || b.others_running())) continue;
    break;
  }
  if (!dev.enabled) _exit(result < 0 ? 125 : result);
  std::string how = result >= 128 ? "signal " + std::to_string(result - 128) : "exit " + std::to_string(result);
  b.finish(how, result < 0 ? 125 : result);
}

}  // namespace sim
