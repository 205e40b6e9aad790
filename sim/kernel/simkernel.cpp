// simkernel: boots a simulated phone's profile on Debian's MIPS Malta kernel
// under qemu-system-mipsel and reports in the simulator's format
// (docs/simulator.md, "On a real kernel").
//
//   simkernel boot --root DIR [--profile FILE] [--fresh] [--report DIR] [--program FILE]
//                  [--install HOSTFILE:PATH]... [--key SECONDS:CODE]... [--timeout SECONDS]
//                  [--cache DIR] [--guest FILE] [-- COMMAND [ARGS...]]
//
// The root is made and readied for the boot by the simulator's own code; the
// guest (sim/kernel/guest/init.sh) shares it over 9p, so flash, environment,
// frames, syslog and IPC records land in the root as after `simdev boot`, and
// the simulator's report code writes the report.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/boot.h"
#include "sim/chip.h"
#include "sim/device.h"
#include "sim/procfs.h"
#include "sim/report.h"
#include "sim/simroot.h"

#ifndef SIMKERNEL_INIT
#define SIMKERNEL_INIT ""
#endif

namespace {

// The largest host file copied into the root, as simdev allows.
constexpr unsigned long long kMaxInstall = 256ull * 1024 * 1024;

constexpr int kStatusSetup = 125;
constexpr int kStatusTimeout = 124;
constexpr unsigned long long kFb16Size = 480 * 272 * 2;
constexpr unsigned long long kFb1Size = 480 * 272 / 8;
constexpr int kDefaultTimeout = 180;

// The guest's modules and what they need, relative to the kernel's tree.
const char* const kModulePaths[] = {
    "drivers/virtio", "net/9p", "fs/9p", "fs/netfs", "fs/fscache", "fs/fuse", "drivers/block/loop.ko",
    "drivers/input/evdev.ko", "drivers/mtd/devices", "drivers/video/fbdev/vfb.ko", "drivers/video/fbdev/core",
};

// The AT keyboard's key names in the QEMU monitor, by Linux key code: the
// keypad's codes are the kernel's (35, the "Reboot" soft key, is KEY_H).
const char* const kQcodes[] = {
    nullptr, "esc", "1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "minus", "equal", "backspace", "tab", "q",
    "w", "e", "r", "t", "y", "u", "i", "o", "p", "bracket_left", "bracket_right", "ret", "ctrl", "a", "s", "d",
    "f", "g", "h",
};

struct Options {
  std::string root, profile, report, program, cache, guest;
  std::vector<std::string> installs, keys, command;
  bool fresh = false;
  int timeout = 0;
};

int usage() {
  fprintf(stderr,
          "usage: simkernel boot --root DIR [--profile FILE] [--fresh] [--report DIR] [--program FILE]\n"
          "                      [--install HOSTFILE:PATH]... [--key SECONDS:CODE]... [--timeout SECONDS]\n"
          "                      [--cache DIR] [--guest FILE] [-- COMMAND [ARGS...]]\n");
  return 2;
}

int refuse(const std::string& why) {
  fprintf(stderr, "simkernel: %s\n", why.c_str());
  return kStatusSetup;
}

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A shell word for the guest's configuration file.
std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int run_shell(const std::string& command) {
  int status = system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool parse_options(int argc, char** argv, Options* o) {
  int i = 0;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    bool v = i + 1 < argc;
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "--fresh") o->fresh = true;
    else if (a == "--root" && v) o->root = absolute(argv[++i]);
    else if (a == "--profile" && v) o->profile = absolute(argv[++i]);
    else if (a == "--report" && v) o->report = absolute(argv[++i]);
    else if (a == "--program" && v) o->program = absolute(argv[++i]);
    else if (a == "--cache" && v) o->cache = absolute(argv[++i]);
    else if (a == "--guest" && v) o->guest = absolute(argv[++i]);
    else if (a == "--install" && v) o->installs.push_back(argv[++i]);
    else if (a == "--key" && v) o->keys.push_back(argv[++i]);
    else if (a == "--timeout" && v) {
      long long t = 0;
      if (!sim::parse_int(argv[++i], 1, 86400, &t)) {
        fprintf(stderr, "simkernel: --timeout \"%s\": expected whole seconds from 1 to 86400\n", argv[i]);
        return false;
      }
      o->timeout = static_cast<int>(t);
    }
    else return false;
  }
  for (; i < argc; ++i) o->command.push_back(argv[i]);
  if (o->command.empty()) o->command.push_back("/basic/bin/upgrader");
  return !o->root.empty();
}

// The phone as `simdev boot` makes it: from the profile when it is new, fresh
// or given, else as it was left.
int make_device(const Options& o, sim::Profile* profile, std::string* error) {
  if (sim::device_profile(o.root, o.profile, profile, error) != 0) return -1;
  if (o.fresh && sim::simroot_remove(o.root.c_str()) != 0) return -1;
  bool is_new = !exists(o.root + "/sim/state/env");
  if (sim::simroot_populate(o.root.c_str()) != 0) return -1;
  if ((is_new || !o.profile.empty()) && sim::device_create(o.root, *profile, o.fresh || is_new, error) != 0) return -1;
  return 0;
}

int install_files(const Options& o) {
  std::vector<std::string> copies;
  if (!o.program.empty()) copies.push_back(o.program + ":/basic/bin/upgrader");
  copies.insert(copies.end(), o.installs.begin(), o.installs.end());
  for (const std::string& spec : copies) {
    size_t colon = spec.rfind(':');
    if (colon == std::string::npos || colon + 1 >= spec.size() || spec[colon + 1] != '/') return usage();
    // As simdev installs: a bounded regular file, written inside the root only.
    std::string data, error;
    if (sim::read_regular_file(absolute(spec.substr(0, colon)), kMaxInstall, &data, &error) != 0 ||
        sim::simroot_write(o.root, spec.substr(colon + 1), data, 0755, &error) != 0)
      return refuse("cannot install " + spec + ": " + error);
  }
  return 0;
}

// What the real kernel cannot play is refused rather than left out.
int check_supported(const sim::DeviceBoot& dev) {
  if (dev.saver || dev.second) return refuse("the configuration saver and a second program run on the simulator only");
  if (dev.reboot_fails) return refuse("[reboot] works = no runs on the simulator only");
  for (const sim::KeyPress& k : dev.keys) {
    if (k.value >= 0) return refuse("the monitor presses and releases a key: a key VALUE runs on the simulator only");
    if (k.code <= 0 || k.code >= static_cast<int>(sizeof kQcodes / sizeof kQcodes[0]))
      return refuse("key code " + std::to_string(k.code) + " has no key on the guest's keyboard");
  }
  return 0;
}

// What the guest's init is told: sourced by it as shell variables.
struct GuestSetup {
  const char* fb_mode = nullptr;   // vfb's mode_option
  long long fb_bytes = 0;
  unsigned long long erase = 0;    // block2mtd's erase size
  std::string mtdram;              // partition number on mtdram, or ""
  unsigned long long ram_erase = 0;
};

int choose_panel(const Options& o, GuestSetup* g) {
  g->fb_bytes = file_size(o.root + "/dev/fb0");
  g->fb_mode = g->fb_bytes == static_cast<long long>(kFb16Size)  ? "480x272M-16"
               : g->fb_bytes == static_cast<long long>(kFb1Size) ? "480x272M-1"
                                                                  : nullptr;
  if (g->fb_mode) return 0;
  return refuse("the guest's framebuffer (vfb) has 480 x 272 at 16 bits (261120 bytes) or 1 bit (16320 bytes) a pixel; the profile asks " +
                std::to_string(g->fb_bytes) + " bytes");
}

bool erase_size(const std::string& text, unsigned long long* out) {
  return sim::parse_size(text, out) && *out != 0 && *out % 1024 == 0;
}

// [flash] erase_size for every partition; [kernel] mtdram = mtdN [ERASE_SIZE]
// puts one on the mtdram driver. Each must be a whole number of erase blocks.
int choose_flash(const Options& o, const sim::Profile& p, GuestSetup* g) {
  if (!erase_size(p.get("flash", "erase_size", "65536"), &g->erase))
    return refuse("[flash] erase_size: a multiple of 1 KiB is needed on the real kernel");
  std::vector<std::string> ram = sim::split_words(p.get("kernel", "mtdram"));
  std::string name = ram.empty() ? "" : ram[0];
  g->ram_erase = g->erase;
  if (!ram.empty() &&
      (name.size() != 4 || name.compare(0, 3, "mtd") != 0 || name[3] < '0' || name[3] > '9' ||
       !exists(o.root + "/dev/" + name) || ram.size() > 2 || (ram.size() == 2 && !erase_size(ram[1], &g->ram_erase))))
    return refuse("[kernel] mtdram = " + p.get("kernel", "mtdram") + ": expected a partition of this phone and an erase size in KiB");
  for (int i = 0; i <= 9; ++i) {
    std::string mtd = "mtd" + std::to_string(i);
    long long size = file_size(o.root + "/dev/" + mtd);
    unsigned long long unit = mtd == name ? g->ram_erase : g->erase;
    if (size >= 0 && static_cast<unsigned long long>(size) % unit != 0)
      return refuse(mtd + ": " + std::to_string(size) + " bytes are not a whole number of " + std::to_string(unit) +
                    "-byte erase blocks");
  }
  g->mtdram = name.empty() ? "" : name.substr(3);
  return 0;
}

std::string procfs_faults(const sim::DeviceBoot& dev) {
  std::string faults;
  if (dev.procfs.env_read_fails) faults += " env_read";
  if (dev.procfs.env_write_fails) faults += " env_write";
  if (dev.procfs.hwver_read_fails) faults += " hwver_read";
  if (dev.procfs.refresh_fails) faults += " refresh";
  return faults;
}

int write_guest_config(const Options& o, const sim::Profile& p, const sim::DeviceBoot& dev) {
  GuestSetup g;
  int rc = choose_panel(o, &g);
  if (rc != 0 || (rc = choose_flash(o, p, &g)) != 0) return rc;
  std::ostringstream c;
  c << "# Written by simkernel for this boot.\nFB_MODE=" << g.fb_mode << "\nFB_MEM=" << g.fb_bytes
    << "\nERASE=" << g.erase << "\nMTDRAM=" << g.mtdram << "\nMTDRAM_ERASE=" << g.ram_erase
    << "\nKEYS=" << (dev.keys.empty() ? "" : "yes") << "\nPROCFS_FAULTS=" << quoted(procfs_faults(dev)) << "\nset --";
  for (const std::string& a : o.command) c << " " << quoted(a);
  c << "\n";
  std::string dir = o.root + "/sim/guest";
  mkdir(dir.c_str(), 0755);
  std::ofstream out(dir + "/config");
  out << c.str();
  return out ? 0 : refuse("cannot write " + dir + "/config");
}

// The initramfs: busybox, the guest helper, the modules and the init.
int build_initramfs(const Options& o, std::string* initrd) {
  std::string release;
  std::ifstream(o.cache + "/release") >> release;
  std::string stage = o.root + "/sim/guest/initramfs", mods = "/lib/modules/" + release;
  std::string kernel_tree = o.cache + "/root" + mods + "/kernel/";
  std::string sh = "rm -rf " + quoted(stage) + " && mkdir -p " + quoted(stage) + "/bin " + quoted(stage) + "/sbin " +
                   quoted(stage + mods + "/kernel") + " && cp " + quoted(o.cache + "/root/bin/busybox") + " " +
                   quoted(stage) + "/bin/ && cp " + quoted(o.guest) + " " + quoted(stage) + "/sbin/simguest && cp " +
                   quoted(SIMKERNEL_INIT) + " " + quoted(stage) + "/init && chmod 755 " + quoted(stage) + "/init";
  for (const char* m : kModulePaths)
    sh += " && mkdir -p " + quoted(stage + mods + "/kernel/" + m) + " && rmdir " + quoted(stage + mods + "/kernel/" + m) +
          " && cp -r " + quoted(kernel_tree + m) + " " + quoted(stage + mods + "/kernel/" + m);
  *initrd = o.root + "/sim/guest/initrd.cpio";
  sh += " && cp " + quoted(o.cache + "/root" + mods) + "/modules.builtin* " + quoted(stage + mods) + "/ && cd " +
        quoted(stage) + " && find . | busybox cpio -o -H newc > " + quoted(*initrd) + " 2>/dev/null && rm -rf " +
        quoted(stage);
  return run_shell(sh) == 0 ? 0 : refuse("cannot build the guest's initramfs");
}

pid_t start_qemu(const Options& o, const std::string& initrd, const std::string& monitor, int* serial_fd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  // qemu runs as the phone's root: what the guest writes over 9p, and any
  // fault of qemu's, reaches nothing of the host's beyond the root.
  // The phone's ids may not search the folders above the root (a 0700
  // temporary folder of the caller's): qemu reaches it through a descriptor.
  int root_fd = open(o.root.c_str(), O_PATH | O_DIRECTORY);
  if (root_fd < 0) return -1;
  std::string root = "/proc/self/fd/" + std::to_string(root_fd);
  std::string initrd_inside = root + initrd.substr(o.root.size());
  pid_t pid = sim::boot_fork_confined();
  if (pid < 0) return -1;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    std::string share = "local,id=phone,path=" + root + ",security_model=passthrough";
    std::string mon = "unix:" + root + monitor.substr(o.root.size()) + ",server=on,wait=off";
    execlp("qemu-system-mipsel", "qemu-system-mipsel", "-M", "malta", "-m", "256", "-kernel",
           (o.cache + "/kernel").c_str(), "-initrd", initrd_inside.c_str(), "-append",
           "console=ttyS0 quiet loglevel=3 rdinit=/init panic=-1", "-nic", "none", "-no-reboot", "-vga", "none",
           "-display", "none", "-serial", "stdio", "-monitor", mon.c_str(), "-fsdev", share.c_str(), "-device",
           "virtio-9p-pci,fsdev=phone,mount_tag=phone", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  close(root_fd);
  *serial_fd = fds[0];
  return pid;
}

int64_t now_ns() { return sim::monotonic_ns(); }

// One monitor command; the monitor answers on its own time, which nobody needs.
bool monitor_send(const std::string& path, const std::string& command) {
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  std::string line = command + "\n";
  ok = ok && write(s, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  char buf[512];
  struct pollfd p = {s, POLLIN, 0};
  // The monitor's greeting, then the command's echo: drained before closing.
  for (int i = 0; ok && i < 4 && poll(&p, 1, 200) > 0;)
    if (read(s, buf, sizeof buf) <= 0) break;
  close(s);
  return ok;
}

// The run: serial lines tell when the program started and when somebody has
// the keypad open; keys are pressed through the monitor at their times.
struct Run {
  const Options& o;
  const sim::DeviceBoot& dev;
  std::string monitor, serial_text;
  int64_t start_ns, program_ns;
  bool reader = false;
  size_t next_key = 0;

  // Presses, timed from the program's start (host clock) until the guest's
  // clock of that start is known.
  std::vector<std::pair<double, std::string>> presses;

  // The keypad record in the guest's clock, as the other records.
  void record_keys() {
    double program_ms = 0;
    std::ifstream in(o.root + "/sim/boot/result");
    for (std::string line; std::getline(in, line);)
      if (line.compare(0, 17, "program_start_ms ") == 0) program_ms = atof(line.c_str() + 17);
    FILE* f = fopen((o.root + "/sim/boot/keys").c_str(), "a");
    if (!f) return;
    for (const auto& [ms, text] : presses) fprintf(f, "%.1f %s\n", program_ms + ms, text.c_str());
    fclose(f);
  }

  void on_serial(const char* data, size_t n) {
    serial_text.append(data, n);
    if (program_ns < 0 && serial_text.find("simkernel: program-started") != std::string::npos) program_ns = now_ns();
    reader = reader || serial_text.find("simkernel: keypad-open") != std::string::npos;
  }

  void press_due_keys() {
    while (program_ns >= 0 && next_key < dev.keys.size()) {
      const sim::KeyPress& k = dev.keys[next_key];
      if (now_ns() < program_ns + static_cast<int64_t>(k.at * 1e9)) return;
      if (!reader && dev.keys_wait_for_reader) return;
      bool sent = monitor_send(monitor, std::string("sendkey ") + kQcodes[k.code]);
      std::string what = "code=" + std::to_string(k.code) + " value=press+release";
      presses.emplace_back(static_cast<double>(now_ns() - program_ns) / 1e6,
                           what + (!sent ? " lost (no monitor)" : reader ? " delivered" : " lost (nobody reads the keypad)"));
      ++next_key;
    }
  }
};

// Runs qemu to its end; the guest's records say how the boot ended.
int run_guest(const Options& o, const sim::DeviceBoot& dev, int timeout, const std::string& initrd) {
  Run r{o, dev, o.root + "/sim/guest/monitor", "", now_ns(), -1, false, 0, {}};
  if (r.monitor.size() >= sizeof(sockaddr_un::sun_path)) return refuse("the root's path is too long for the monitor's socket");
  unlink(r.monitor.c_str());
  if (sim::boot_give_root(o.root) != 0) return refuse("cannot give the root to the phone's ids");
  int serial = -1;
  pid_t qemu = start_qemu(o, initrd, r.monitor, &serial);
  if (qemu < 0) return refuse("cannot start qemu-system-mipsel");
  bool timed_out = false;
  for (;;) {
    struct pollfd p = {serial, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      char buf[4096];
      ssize_t n = read(serial, buf, sizeof buf);
      if (n <= 0) break;
      r.on_serial(buf, static_cast<size_t>(n));
    }
    r.press_due_keys();
    if (timeout > 0 && now_ns() - r.start_ns > static_cast<int64_t>(timeout) * 1000000000) {
      timed_out = true;
      kill(qemu, SIGKILL);
      break;
    }
  }
  int status = 0;
  while (waitpid(qemu, &status, 0) < 0 && errno == EINTR) {
  }
  close(serial);
  std::ofstream(o.root + "/sim/boot/serial") << r.serial_text;
  r.record_keys();
  if (timed_out) {
    std::ofstream(o.root + "/sim/boot/result", std::ios::app) << "end timeout\n";
    fprintf(stderr, "simkernel: boot timed out\n");
    return kStatusTimeout;
  }
  return 0;
}

// The status `simdev boot` would answer, from the guest's result record.
int guest_status(const Options& o) {
  std::ifstream in(o.root + "/sim/boot/result");
  std::string line, end;
  while (std::getline(in, line))
    if (line.compare(0, 4, "end ") == 0 && line.compare(0, 7, "end_ms ") != 0) end = line.substr(4);
  if (end.empty()) {
    fprintf(stderr, "simkernel: the guest ended without a result; its console is in %s/sim/boot/serial\n", o.root.c_str());
    return kStatusSetup;
  }
  if (end.compare(0, 5, "exit ") == 0) return atoi(end.c_str() + 5);
  if (end.compare(0, 7, "signal ") == 0) return 128 + atoi(end.c_str() + 7);
  if (end == "timeout") return kStatusTimeout;
  return 0;  // reboot, halt, poweroff
}

int cmd_boot(const Options& o) {
  if (!exists(o.cache + "/READY") || !exists(o.guest))
    return refuse("the real kernel is not set up: run scripts/kernel-cache.sh and build simguest (mipsel preset)");
  sim::Profile profile;
  std::string error;
  if (make_device(o, &profile, &error) != 0) return refuse(error.empty() ? "cannot make the phone" : error);
  for (const std::string& k : o.keys) {
    std::string words = k;
    for (char& c : words)
      if (c == ':') c = ' ';
    profile.sections.push_back(sim::ProfileSection{"keypad", {{"key", words}}});
  }
  int rc = install_files(o);
  if (rc != 0) return rc;
  sim::DeviceBoot dev;
  int timeout = kDefaultTimeout;
  if (sim::device_prepare_boot(o.root, profile, &dev, &timeout, &error) != 0) return refuse(error);
  if (o.timeout > 0) timeout = o.timeout;
  std::string initrd;
  if ((rc = check_supported(dev)) != 0 || (rc = write_guest_config(o, profile, dev)) != 0 ||
      (rc = build_initramfs(o, &initrd)) != 0)
    return rc;
  sim::ReportInput report;
  report.root = o.root;
  report.command = o.command;
  report.before = sim::snapshot_take(o.root);
  rc = run_guest(o, dev, timeout, initrd);
  int status = rc != 0 ? rc : guest_status(o);
  unlink(initrd.c_str());
  report.status = status;
  // The guest wrote the root's copies of the partitions, not the chip.
  if (sim::chip_boot_end_from_copies(o.root) != 0)
    fprintf(stderr, "simkernel: %s: cannot take the guest's flash into the chip\n", o.root.c_str());
  report.after = sim::snapshot_take(o.root);
  if (!o.report.empty() && sim::report_write(report, o.report, &error) != 0) return refuse("report: " + error);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "boot") != 0) return usage();
  Options o;
  if (!parse_options(argc - 2, argv + 2, &o)) return usage();
  if (o.cache.empty()) o.cache = absolute("build/kernel-cache");
  return cmd_boot(o);
}
