#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim/boot_parts.h"
#include "sim/flashfs.h"
#include "sim/rootfs.h"

namespace sim {

void boot_unblock_signals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGPWR}) signal(sig, SIG_DFL);
}

namespace {

[[noreturn]] void exec_argv(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  setenv("PATH", "/bin:/sbin:/usr/bin", 1);
  for (const std::string& kv : env) putenv(const_cast<char*>(kv.c_str()));
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  boot_die("exec", argv[0]);
}

}  // namespace

pid_t boot_start_program(const BootOptions& o, const std::vector<std::string>& argv, int console_fd, const std::string& workdir) {
  pid_t pid = fork();
  if (pid < 0) boot_die("fork", argv[0]);
  if (pid != 0) return pid;
  boot_unblock_signals();
  if (console_fd >= 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    dup2(console_fd, 1);
    dup2(console_fd, 2);
  }
  if (chdir(workdir.c_str()) != 0) boot_die("chdir", workdir);
  exec_argv(argv, o.env);
}

void boot_wait_ready(int fd, const char* what) {
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

namespace {

// A server of the boot's devices: a child that dies with init and writes a
// byte to its ready descriptor once it serves, which init waits for.
template <typename Serve>
pid_t start_server(const char* what, Serve serve) {
  BootPipe p = boot_pipe();
  pid_t pid = fork();
  if (pid < 0) boot_die("fork", what);
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(p.r);
    boot_unblock_signals();
    (void)serve(p.w);
    _exit(125);
  }
  close(p.w);
  boot_wait_ready(p.r, what);
  return pid;
}

}  // namespace

void Boot::start_procfs() {
  ProcfsOptions po = o.device.procfs;
  po.boot_start_ns = start_ns;
  po.power = power;
  po.cut_frame = o.device.cut.frame;
  actors.insert(start_server("the /proc server (FUSE)", [&po](int ready) { return procfs_serve(po, ready); }));
}

// The flash chip's windows cover the root's /dev/mtdN, their control
// files and the block devices for every process of the boot.
void Boot::start_flashfs() {
  FlashfsOptions fo;
  fo.mountpoint = "/sim/flash";
  fo.timing = o.device.timing;
  fo.cut = o.device.cut;
  fo.power = power;
  if (rootfs_mkdirs("/", fo.mountpoint) != 0) boot_die("mkdir", fo.mountpoint);
  actors.insert(start_server("the flash server (FUSE)", [&fo](int ready) { return flashfs_serve(fo, ready); }));
  for (const std::string& name : chip_window_names()) {
    std::string served = fo.mountpoint + flashfs_path(name), dev = "/dev/" + name;
    struct stat st;
    if (stat(served.c_str(), &st) != 0) continue;  // the phone has no such partition
    boot_bind_file("/", served, dev);
    if (name.rfind("mtdblock", 0) != 0) boot_bind_file("/", served + ".sim", dev + ".sim");
  }
}

void Boot::start_syslogd() {
  const std::string sock = "/dev/log";
  unlink(sock.c_str());
  pid_t pid = fork();
  if (pid < 0) boot_die("fork", "syslogd");
  if (pid == 0) {
    boot_unblock_signals();
    // -t: stamp lines with the daemon's clock, not the (possibly faked) sender's.
    execl("/bin/syslogd", "syslogd", "-n", "-t", "-O", "/sim/boot/messages", static_cast<char*>(nullptr));
    boot_die("exec", "/bin/syslogd");
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

void Boot::start_listener() {
  BootPipe p = boot_pipe(), drain = boot_pipe(), ack = boot_pipe();
  pid_t pid = fork();
  if (pid < 0) boot_die("fork", "ipc listener");
  if (pid == 0) {
    close(p.r);
    close(drain.w);
    close(ack.r);
    boot_unblock_signals();
    ipc_listener_main(o.device.own_ipc_id, start_ns, p.w, drain.r, ack.w);
  }
  close(p.w);
  close(drain.r);
  close(ack.w);
  listener_drain = drain.w;
  listener_ack = ack.r;
  actors.insert(pid);
  boot_wait_ready(p.r, "the IPC listener");
}

void Boot::start_saver(int64_t at_ns, bool wait) {
  BootPipe p = boot_pipe();
  pid_t pid = fork();
  if (pid < 0) boot_die("fork", "saver");
  if (pid == 0) {
    close(p.r);
    boot_unblock_signals();
    saver_main(at_ns, o.device.saver_hold, start_ns, wait ? p.w : -1);
  }
  close(p.w);
  actors.insert(pid);
  if (wait)
    boot_wait_ready(p.r, "the configuration saver");
  else
    close(p.r);
}

void Boot::start_keypad() {
  pid_t pid = fork();
  if (pid < 0) boot_die("fork", "keypad");
  if (pid == 0) {
    boot_unblock_signals();
    keypad_main(o.device.keys, o.device.keys_wait_for_reader, start_ns, program_start_ns);
  }
  actors.insert(pid);
}

// Processes of the boot other than init and the simulator's own.
bool Boot::others_running() {
  DIR* d = opendir("/sim/realproc");
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

}  // namespace sim
