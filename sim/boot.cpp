#include "sim/boot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "sim/flashfs.h"
#include <sstream>

#include "common/unique_fd.h"
#include "sim/rootfs.h"
#include "sim/simroot.h"

namespace sim {
namespace {

// Libraries of dynamic host binaries (tests, tools), the qemu interpreter's
// directory is not needed: binfmt opens it at registration.
const char* const kHostLibraryDirs[] = {"/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/libexec"};
// Character devices every shell needs; they hold no state of the host's.
const char* const kHostDevices[] = {"/dev/null", "/dev/zero", "/dev/urandom", "/dev/random"};
const char kFuseDevice[] = "/dev/fuse";

[[noreturn]] void die(const char* what, const std::string& arg) {
  fprintf(stderr, "simdev: %s %s: %s\n", what, arg.c_str(), strerror(errno));
  _exit(125);
}

// The kernel mounts onto what a descriptor names, found inside the root: a
// link in the root cannot point a mount at the host's directories.
struct Target {
  int fd = -1;
  char path[32];
  Target(const std::string& root, const std::string& inside, bool file) {
    fd = rootfs_mount_target(root, inside, file);
    if (fd < 0) die("make the mount point", inside);
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  }
  ~Target() { close(fd); }
};

// A read-only remount keeps the flags the host's mount has: a user namespace
// may not clear them.
unsigned long locked_flags(const std::string& from) {
  struct statvfs vfs;
  if (statvfs(from.c_str(), &vfs) != 0) return 0;
  unsigned long flags = 0;
  if (vfs.f_flag & ST_NOSUID) flags |= MS_NOSUID;
  if (vfs.f_flag & ST_NODEV) flags |= MS_NODEV;
  if (vfs.f_flag & ST_NOEXEC) flags |= MS_NOEXEC;
  if (vfs.f_flag & ST_NOATIME) flags |= MS_NOATIME;
  if (vfs.f_flag & ST_NODIRATIME) flags |= MS_NODIRATIME;
  if (vfs.f_flag & ST_RELATIME) flags |= MS_RELATIME;
  return flags;
}

void bind_readonly(const std::string& root, const std::string& from, const std::string& to, bool recursive) {
  unsigned long rec = recursive ? MS_REC : 0;
  {
    Target t(root, to, false);
    if (mount(from.c_str(), t.path, nullptr, MS_BIND | rec, nullptr) != 0) die("bind", from);
  }
  Target bound(root, to, false);  // looked up again: the new mount, not the directory under it
  if (mount(nullptr, bound.path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | rec | locked_flags(from), nullptr) != 0)
    die("remount read-only", to);
}

void bind_file(const std::string& root, const std::string& from, const std::string& to) {
  Target t(root, to, true);
  if (mount(from.c_str(), t.path, nullptr, MS_BIND, nullptr) != 0) die("bind", from);
}

constexpr int kLinkedPids = 256;

// The kernel's own /proc of this PID namespace lives at /sim/realproc. For a
// plain run the device's /proc is a directory of plain files with links to
// the parts programs and runtimes need (self, thread-self); a device boot
// serves it (procfs.cpp).
void mount_realproc(const std::string& root, bool links) {
  {
    Target t(root, "/sim/realproc", false);
    if (mount("proc", t.path, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) die("mount proc", "/sim/realproc");
  }
  if (!links) return;
  auto link_entry = [&root](const std::string& name) {
    std::string link = "/proc/" + name;
    struct stat st;
    if (rootfs_lstat(root, link, &st) == 0) return;
    if (rootfs_symlink(root, "/sim/realproc/" + name, link) != 0) die("symlink", link);
  };
  for (const char* name : {"self", "thread-self", "mounts", "cpuinfo", "meminfo", "stat"}) link_entry(name);
  // Processes of a fresh PID namespace are numbered from 1; the leak checker
  // of the sanitizer builds reads /proc/<its own pid>/task.
  for (int pid = 1; pid <= kLinkedPids; ++pid) link_entry(std::to_string(pid));
}

// The host's libraries, devices and bound directories, the phone's RAM /tmp
// and its own file systems: mounted from outside the root, each onto a place
// looked up inside it.
void setup_mounts(const BootOptions& o) {
  if (simroot_private_mounts(o.root) != 0) _exit(125);
  for (const char* dir : kHostLibraryDirs) {
    struct stat st;
    if (lstat(dir, &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      // merged-/usr hosts: /lib is a link into /usr
      char dest[4096];
      ssize_t n = readlink(dir, dest, sizeof dest - 1);
      if (n < 0) die("readlink", dir);
      dest[n] = '\0';
      struct stat have;
      if (rootfs_lstat(o.root, dir, &have) != 0 && rootfs_symlink(o.root, dest, dir) != 0) die("symlink", dir);
      continue;
    }
    bind_readonly(o.root, dir, dir, true);
  }
  for (const char* dev : kHostDevices) bind_file(o.root, dev, dev);
  for (const std::string& path : o.binds) bind_readonly(o.root, path, path, false);
  mount_realproc(o.root, !o.device.enabled);
  if (o.device.enabled) {
    // The phone's /tmp is RAM: empty at every boot, gone with it.
    {
      Target tmp(o.root, "/tmp", false);
      if (mount("tmpfs", tmp.path, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=128m") != 0) die("mount tmpfs", "/tmp");
    }
    // On the phone /config and /etc are file systems of their own, which the
    // program unmounts before it rewrites the configuration partition. Each
    // is bound onto itself here: unmounting it leaves the same directory.
    for (const char* dir : {"/config", "/etc"}) {
      Target t(o.root, dir, false);
      if (mount(t.path, t.path, nullptr, MS_BIND, nullptr) != 0) die("bind", dir);
    }
    // The FUSE servers open /dev/fuse once they run inside the root; it is
    // gone again before the program starts.
    bind_file(o.root, kFuseDevice, kFuseDevice);
  }
}

// init and everything it starts live inside the root from here on: every
// path it names, a link's target included, is one of the root's.
void enter_root(const std::string& root) {
  if (chroot(root.c_str()) != 0) die("chroot", root);
  if (chdir("/") != 0) die("chdir", "/");
}

void drop_fuse_device() {
  if (umount2(kFuseDevice, MNT_DETACH) != 0) die("unmount", kFuseDevice);
  (void)unlink(kFuseDevice);
}

void unblock_all_signals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGPWR}) signal(sig, SIG_DFL);
}

[[noreturn]] void exec_argv(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  setenv("PATH", "/bin:/sbin:/usr/bin", 1);
  for (const std::string& kv : env) putenv(const_cast<char*>(kv.c_str()));
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  die("exec", argv[0]);
}

// The program and the second program: chrooted, their output on the
// device's console file when one is given.
pid_t start_program(const BootOptions& o, const std::vector<std::string>& argv, int console_fd, const std::string& workdir) {
  pid_t pid = fork();
  if (pid < 0) die("fork", argv[0]);
  if (pid != 0) return pid;
  unblock_all_signals();
  if (console_fd >= 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    dup2(console_fd, 1);
    dup2(console_fd, 2);
  }
  if (chdir(workdir.c_str()) != 0) die("chdir", workdir);
  exec_argv(argv, o.env);
}

int shell_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void wait_ready(int fd, const char* what) {
  char byte;
  ssize_t n;
  do n = read(fd, &byte, 1);
  while (n < 0 && errno == EINTR);
  close(fd);
  if (n != 1) {
    fprintf(stderr, "simdev: %s did not start\n", what);
    _exit(125);
  }
}

struct Pipe {
  int r = -1, w = -1;
};
Pipe make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) die("pipe", "");
  return Pipe{fds[0], fds[1]};
}

struct Boot {
  const BootOptions& o;
  int64_t start_ns = monotonic_ns();
  int64_t program_start_ns = 0;
  std::set<pid_t> actors;
  pid_t syslogd = -1;
  int listener_drain = -1, listener_ack = -1;
  std::string boot_dir;
  // The command's peak resident set: the kernel's figure once it has been
  // reaped, else read from its status when the boot ends (a reboot ends the
  // boot while the program still waits for its shell).
  pid_t program = -1;
  long program_max_rss_kb = -1;
  PowerState* power = nullptr;
  explicit Boot(const BootOptions& opt) : o(opt), boot_dir(opt.root + "/sim/boot") {}

  double ms(int64_t t) const { return static_cast<double>(t - start_ns) / 1e6; }
  void record(const std::string& name, const std::string& text) {
    FILE* f = fopen((boot_dir + "/" + name).c_str(), "a");
    if (!f) return;
    fprintf(f, "%s\n", text.c_str());
    fclose(f);
  }

  void start_procfs() {
    Pipe p = make_pipe();
    pid_t pid = fork();
    if (pid < 0) die("fork", "procfs");
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(p.r);
      unblock_all_signals();
      ProcfsOptions po = o.device.procfs;
      po.root = o.root;
      po.boot_start_ns = start_ns;
      po.power = power;
      po.cut_frame = o.device.cut.frame;
      procfs_serve(po, p.w);
      _exit(125);
    }
    close(p.w);
    actors.insert(pid);
    wait_ready(p.r, "the /proc server (FUSE)");
  }

  // The flash chip's windows cover the root's /dev/mtdN, their control
  // files and the block devices for every process of the boot.
  void start_flashfs() {
    FlashfsOptions fo;
    fo.root = o.root;
    fo.mountpoint = o.root + "/sim/flash";
    fo.timing = o.device.timing;
    fo.cut = o.device.cut;
    fo.power = power;
    if (rootfs_mkdirs("/", fo.mountpoint) != 0) die("mkdir", fo.mountpoint);
    Pipe p = make_pipe();
    pid_t pid = fork();
    if (pid < 0) die("fork", "flash server");
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(p.r);
      unblock_all_signals();
      (void)flashfs_serve(fo, p.w);
      _exit(125);
    }
    close(p.w);
    actors.insert(pid);
    wait_ready(p.r, "the flash server (FUSE)");
    for (const std::string& name : chip_window_names()) {
      std::string served = fo.mountpoint + flashfs_path(name), dev = o.root + "/dev/" + name;
      struct stat st;
      if (stat(served.c_str(), &st) != 0) continue;  // the phone has no such partition
      bind_file(served, dev);
      if (name.rfind("mtdblock", 0) != 0) bind_file(served + ".sim", dev + ".sim");
    }
  }

  static void bind_file(const std::string& from, const std::string& to) {
    int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) die("create", to);
    close(fd);
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) die("bind", from);
  }

  void start_syslogd() {
    std::string sock = o.root + "/dev/log";
    unlink(sock.c_str());
    pid_t pid = fork();
    if (pid < 0) die("fork", "syslogd");
    if (pid == 0) {
      unblock_all_signals();
      // -t: stamp lines with the daemon's clock, not the (possibly faked) sender's.
      execl("/bin/syslogd", "syslogd", "-n", "-t", "-O", "/sim/boot/messages", static_cast<char*>(nullptr));
      die("exec", "/bin/syslogd");
    }
    actors.insert(pid);
    syslogd = pid;
    for (int i = 0; i < 500; ++i) {
      struct stat st;
      if (lstat(sock.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return;
      usleep(10000);
    }
    fprintf(stderr, "simdev: syslogd did not create /dev/log\n");
    _exit(125);
  }

  void start_listener() {
    Pipe p = make_pipe(), drain = make_pipe(), ack = make_pipe();
    pid_t pid = fork();
    if (pid < 0) die("fork", "ipc listener");
    if (pid == 0) {
      close(p.r);
      close(drain.w);
      close(ack.r);
      unblock_all_signals();
      ipc_listener_main(o.device.own_ipc_id, start_ns, p.w, drain.r, ack.w);
    }
    close(p.w);
    close(drain.r);
    close(ack.w);
    listener_drain = drain.w;
    listener_ack = ack.r;
    actors.insert(pid);
    wait_ready(p.r, "the IPC listener");
  }

  void start_saver(int64_t at_ns, bool wait) {
    Pipe p = make_pipe();
    pid_t pid = fork();
    if (pid < 0) die("fork", "saver");
    if (pid == 0) {
      close(p.r);
      unblock_all_signals();
      saver_main(at_ns, o.device.saver_hold, start_ns, wait ? p.w : -1);
    }
    close(p.w);
    actors.insert(pid);
    if (wait)
      wait_ready(p.r, "the configuration saver");
    else
      close(p.r);
  }

  void start_keypad() {
    pid_t pid = fork();
    if (pid < 0) die("fork", "keypad");
    if (pid == 0) {
      unblock_all_signals();
      keypad_main(o.device.keys, o.device.keys_wait_for_reader, start_ns, program_start_ns);
    }
    actors.insert(pid);
  }

  // Processes of the boot other than init and the simulator's own.
  bool others_running() {
    DIR* d = opendir((o.root + "/sim/realproc").c_str());
    if (!d) return false;
    bool found = false;
    while (struct dirent* de = readdir(d)) {
      char* end = nullptr;
      long pid = strtol(de->d_name, &end, 10);
      if (!end || *end || pid <= 1) continue;
      if (actors.count(static_cast<pid_t>(pid))) continue;
      found = true;
      break;
    }
    closedir(d);
    return found;
  }

  // Everything the program sent to syslog before the end is in the file once
  // a line sent now is there: the daemon reads its socket in order.
  void flush_syslog() {
    if (syslogd < 0) return;
    char marker[96];
    snprintf(marker, sizeof marker, "<47>simdev-flush: end of boot %lld", static_cast<long long>(monotonic_ns()));
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/dev/log", o.root.c_str());
    ssize_t sent = sendto(s, marker, strlen(marker), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(s);
    if (sent < 0) return;
    std::string needle = strchr(marker, ':') + 2;
    for (int i = 0; i < 300; ++i) {
      std::ifstream in(boot_dir + "/messages");
      std::stringstream ss;
      ss << in.rdbuf();
      if (ss.str().find(needle) != std::string::npos) return;
      usleep(10000);
    }
  }

  // Messages sent before the end wait in the sockets' backlogs: have the
  // listener record them before the boot goes.
  void drain_listener() {
    if (listener_drain < 0) return;
    char one = 1;
    if (write(listener_drain, &one, 1) != 1) return;
    struct pollfd p = {listener_ack, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(kConnectionLimitMs) + 2000) > 0) (void)!read(listener_ack, &one, 1);
  }

  // VmHWM of a live process of the boot, in KiB (-1 when it is gone), and
  // what its resident pages are now: private, file-backed (mapped files and
  // libraries), shared memory.
  long live_max_rss_kb(pid_t pid, std::string* composition) const {
    std::ifstream in(o.root + "/sim/realproc/" + std::to_string(pid) + "/status");
    std::string line;
    long hwm = -1, anon = 0, file = 0, shmem = 0;
    while (std::getline(in, line)) {
      if (line.rfind("VmHWM:", 0) == 0) hwm = atol(line.c_str() + 6);
      else if (line.rfind("RssAnon:", 0) == 0) anon = atol(line.c_str() + 8);
      else if (line.rfind("RssFile:", 0) == 0) file = atol(line.c_str() + 8);
      else if (line.rfind("RssShmem:", 0) == 0) shmem = atol(line.c_str() + 9);
    }
    if (hwm >= 0)
      *composition = "rss_end_kb anon " + std::to_string(anon) + " file " + std::to_string(file) + " shmem " +
                     std::to_string(shmem);
    return hwm;
  }

  // Only init can see the boot's semaphores and segments: they go with it.
  void record_sysv_state() {
    SysvState state;
    if (sysv_read(&state) != 0) return;
    FILE* f = fopen((boot_dir + "/sysvipc").c_str(), "w");
    if (!f) return;
    std::string text = sysv_format(state);
    (void)fwrite(text.data(), 1, text.size(), f);
    (void)fclose(f);
  }

  [[noreturn]] void finish(const std::string& how, int code) {
    if (o.device.enabled) {
      drain_listener();
      flush_syslog();
      record_sysv_state();
      std::string composition;
      long max_rss_kb = program_max_rss_kb >= 0 ? program_max_rss_kb : live_max_rss_kb(program, &composition);
      char line[64];
      snprintf(line, sizeof line, "end_ms %.1f", ms(monotonic_ns()));
      record("result", "end " + how);
      record("result", line);
      if (max_rss_kb >= 0) record("result", "max_rss_kb " + std::to_string(max_rss_kb));
      if (!composition.empty()) record("result", composition);
      record_flash();
    }
    _exit(code);
  }

  void record_flash() {
    if (!power) return;
    FILE* f = fopen((boot_dir + "/flash").c_str(), "w");
    if (!f) return;
    (void)fputs(power_flash_record(*power).c_str(), f);
    (void)fclose(f);
  }

  // The power is gone: every process dies at once, before anything else
  // happens; only the simulator's records are written after.
  [[noreturn]] void power_cut() {
    (void)kill(-1, SIGKILL);
    char line[64];
    snprintf(line, sizeof line, "end_ms %.1f", ms(monotonic_ns()));
    record("result", "end cut");
    record("result", line);
    record_flash();
    _exit(0);
  }
};

void ignore_signal(int) {}

// The sets and segments a phone that has been up a while holds already.
void make_sysv_history(const DeviceBoot& dev) {
  std::string error;
  if (sysv_create(dev.sysv_objects, &error) == 0) return;
  fprintf(stderr, "simdev: %s\n", error.c_str());
  _exit(125);
}

// PID 1 of the boot: starts the command (and, for a device boot, the
// phone's other processes), reaps every orphan, and returns the command's
// status. Its end takes every other process of the boot with it.
[[noreturn]] void boot_init(const BootOptions& host_view) {
  setup_mounts(host_view);
  enter_root(host_view.root);
  BootOptions o = host_view;
  o.root = "";  // paths below are the root's own: init runs inside it
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
    if (sethostname(dev.hostname.c_str(), dev.hostname.size()) != 0) die("sethostname", dev.hostname);
    make_sysv_history(dev);
    console_fd = open((b.boot_dir + "/console").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (console_fd < 0) die("create", b.boot_dir + "/console");
    b.power = power_create();
    if (!b.power) die("mmap", "power state");
    b.start_procfs();
    if (dev.flash) b.start_flashfs();
    b.start_syslogd();
    b.start_listener();
    drop_fuse_device();
    if (dev.saver && dev.saver_start <= 0) b.start_saver(0, true);
  }
  if (o.timeout_seconds > 0) alarm(static_cast<unsigned>(o.timeout_seconds));

  pid_t cmd = start_program(o, o.argv, console_fd, o.workdir);
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
      power_freeze(b.power, o.root, what);
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
      FILE* f = fopen((o.root + "/sim/reboot-requests").c_str(), "a");
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
        result = shell_status(status);
        b.program_max_rss_kb = usage.ru_maxrss;
      } else if (pid == second) {
        char line[64];
        snprintf(line, sizeof line, "%.1f exit %d", b.ms(monotonic_ns()), shell_status(status));
        b.record("second", line);
      } else if (b.actors.count(pid) && pid == b.syslogd) {
        b.syslogd = -1;
      }
    }
    if (second_pending && monotonic_ns() >= b.program_start_ns + static_cast<int64_t>(dev.second_at * 1e9)) {
      second_pending = false;
      second = start_program(o, dev.second_argv, console_fd, "/");
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

}  // namespace

namespace {

// Whether this process sees the host's ids whole (no user namespace around
// it): only then is there a range to give a phone. Inside a phone (a tool
// that boots a phone of its own), the phone's root is the caller's id.
bool host_ids_whole() {
  FILE* f = fopen("/proc/self/uid_map", "r");
  if (!f) return false;
  unsigned long inside = 1, outside = 1, count = 0;
  bool whole = fscanf(f, "%lu %lu %lu", &inside, &outside, &count) == 3 && inside == 0 && outside == 0 &&
               count == 4294967295ul;
  (void)fclose(f);
  return whole;
}

}  // namespace

PhoneIds boot_phone_ids() {
  if (geteuid() == 0 && host_ids_whole()) return PhoneIds{kPhoneIdBase, kPhoneIdBase, kPhoneIdCount};
  return PhoneIds{geteuid(), getegid(), 1};
}

int boot_give_root(const std::string& root) {
  PhoneIds ids = boot_phone_ids();
  if (ids.count == 1) return 0;  // a normal user's roots are its own already
  if (rootfs_shift_owner(root, ids.uid, ids.count) == 0) return 0;
  fprintf(stderr, "simdev: %s: cannot give the root's files to the phone's ids (%u and up): %s\n", root.c_str(),
          static_cast<unsigned>(ids.uid), strerror(errno));
  return -1;
}

namespace {

int write_proc(pid_t pid, const char* name, const std::string& text) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
  unique_fd fd(open(path, O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) return -1;
  return write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

// The parent's half of the user namespace: the phone's ids 0.. are the
// host's `ids`. Only a process outside the namespace may write the maps.
int write_id_maps(pid_t child, const PhoneIds& ids) {
  std::string uid_map = "0 " + std::to_string(ids.uid) + " " + std::to_string(ids.count) + "\n";
  std::string gid_map = "0 " + std::to_string(ids.gid) + " " + std::to_string(ids.count) + "\n";
  // A normal user may map its own group only after giving up setgroups.
  if (ids.count == 1 && geteuid() != 0 && write_proc(child, "setgroups", "deny\n") != 0) return -1;
  if (write_proc(child, "uid_map", uid_map) != 0 || write_proc(child, "gid_map", gid_map) != 0) return -1;
  return 0;
}

// The child's half: a user namespace of its own, then (once the parent has
// written the maps) the phone's root in it, with no supplementary group of
// the host's.
void enter_user_namespace(int to_parent, int from_parent) {
  if (unshare(CLONE_NEWUSER) != 0) {
    if (errno == EPERM && !simroot_is_mount_point("/")) {
      // The kernel makes no user namespace for a chrooted process.
      fprintf(stderr,
              "simdev: cannot confine the phone inside a plain chroot (\"/\" is no mount point, and the kernel "
              "makes no user namespace there): run simdev outside the chroot, or in a container\n");
      _exit(125);
    }
    fprintf(stderr,
            "simdev: cannot make a user namespace for the phone (%s): unprivileged user namespaces are switched "
            "off on this host (sysctl kernel.unprivileged_userns_clone or user.max_user_namespaces); see "
            "scripts/setup.sh\n",
            strerror(errno));
    _exit(125);
  }
  char byte = 1;
  if (write(to_parent, &byte, 1) != 1 || read(from_parent, &byte, 1) != 1 || byte != 1) _exit(125);
  close(to_parent);
  close(from_parent);
  if (setresgid(0, 0, 0) != 0) die("setresgid", "0");
  if (setgroups(0, nullptr) != 0 && errno != EPERM) die("setgroups", "");
  if (setresuid(0, 0, 0) != 0) die("setresuid", "0");
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // a change of ids clears it
}

}  // namespace

int boot_run(const BootOptions& o) {
  if (o.argv.empty()) return -1;
  if (o.device.enabled && rootfs_mkdirs(o.root, "/sim/boot/frames") != 0) {
    fprintf(stderr, "simdev: %s/sim/boot: %s\n", o.root.c_str(), strerror(errno));
    return -1;
  }
  if (boot_give_root(o.root) != 0) return -1;
  PhoneIds ids = boot_phone_ids();
  bool nested = !host_ids_whole();
  // The phone's ids may not search the folders above the root (a 0700
  // temporary folder of the caller's): init reaches the root through this
  // descriptor, opened here.
  unique_fd root_fd(open(o.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd.valid()) {
    fprintf(stderr, "simdev: %s: %s\n", o.root.c_str(), strerror(errno));
    return -1;
  }
  Pipe up = make_pipe(), down = make_pipe();
  fflush(nullptr);
  pid_t holder = fork();
  if (holder < 0) return -1;
  if (holder == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(up.r);
    close(down.w);
    // A phone booted from inside a phone (romtool check in a test) is
    // confined by the outer one's user namespace already.
    if (nested) {
      close(up.w);
      close(down.r);
    } else {
      enter_user_namespace(up.w, down.r);
    }
    int flags = CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWPID;
    if (o.device.enabled) flags |= CLONE_NEWUTS;
    // The working directory is carried into the new mount namespace (as its
    // copy of the mount): init finds the root there.
    if (fchdir(root_fd.get()) != 0) die("chdir", o.root);
    if (unshare(flags) != 0) die("unshare", o.root);
    pid_t init = fork();
    if (init < 0) die("fork", "init");
    if (init == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (here < 0) die("open", o.root);
      BootOptions inside = o;
      inside.root = "/proc/self/fd/" + std::to_string(here);
      boot_init(inside);
    }
    int status;
    while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  close(up.w);
  close(down.r);
  char byte = 0;
  if (!nested && read(up.r, &byte, 1) == 1) {
    byte = write_id_maps(holder, ids) == 0 ? 1 : 0;
    if (byte != 1) fprintf(stderr, "simdev: cannot map the phone's ids in its user namespace: %s\n", strerror(errno));
    (void)!write(down.w, &byte, 1);
  }
  close(up.r);
  close(down.w);
  int status;
  while (waitpid(holder, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return shell_status(status);
}

}  // namespace sim
