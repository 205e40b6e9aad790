#include "sim/boot.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim {
namespace {

// Libraries of dynamic host binaries (tests, tools), the qemu interpreter's
// directory is not needed: binfmt opens it at registration.
const char* const kHostLibraryDirs[] = {"/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/libexec"};
// Character devices every shell needs; they hold no state of the host's.
const char* const kHostDevices[] = {"/dev/null", "/dev/zero", "/dev/urandom", "/dev/random"};

[[noreturn]] void die(const char* what, const std::string& arg) {
  fprintf(stderr, "simdev: %s %s: %s\n", what, arg.c_str(), strerror(errno));
  _exit(125);
}

void make_dirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir", part);
    }
  }
}

void bind_readonly(const std::string& from, const std::string& to, bool recursive) {
  unsigned long rec = recursive ? MS_REC : 0;
  if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | rec, nullptr) != 0) die("bind", from);
  if (mount(nullptr, to.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | rec, nullptr) != 0)
    die("remount read-only", to);
}

void bind_device(const std::string& root, const char* dev) {
  std::string target = root + dev;
  int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) die("create", target);
  close(fd);
  if (mount(dev, target.c_str(), nullptr, MS_BIND, nullptr) != 0) die("bind", dev);
}

// The kernel's own /proc of this PID namespace lives at /sim/realproc; the
// device's /proc links to the parts programs and runtimes need (self,
// thread-self), while the phone's kernel files are plain files or served.
void mount_realproc(const std::string& root) {
  std::string realproc = root + "/sim/realproc";
  make_dirs(realproc);
  if (mount("proc", realproc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    die("mount proc", realproc);
  for (const char* name : {"self", "thread-self", "mounts", "cpuinfo", "meminfo", "stat"}) {
    std::string link = root + "/proc/" + name;
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) continue;
    std::string dest = std::string("/sim/realproc/") + name;
    if (symlink(dest.c_str(), link.c_str()) != 0) die("symlink", link);
  }
}

void setup_mounts(const BootOptions& o) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("make-private", "/");
  for (const char* dir : kHostLibraryDirs) {
    struct stat st;
    if (lstat(dir, &st) != 0) continue;
    std::string target = o.root + dir;
    if (S_ISLNK(st.st_mode)) {
      // merged-/usr hosts: /lib is a link into /usr
      char dest[4096];
      ssize_t n = readlink(dir, dest, sizeof dest - 1);
      if (n < 0) die("readlink", dir);
      dest[n] = '\0';
      struct stat have;
      if (lstat(target.c_str(), &have) != 0 && symlink(dest, target.c_str()) != 0) die("symlink", target);
      continue;
    }
    make_dirs(target);
    bind_readonly(dir, target, true);
  }
  for (const char* dev : kHostDevices) bind_device(o.root, dev);
  for (const std::string& path : o.binds) {
    make_dirs(o.root + path);
    bind_readonly(path, o.root + path, false);
  }
  mount_realproc(o.root);
}

[[noreturn]] void exec_command(const BootOptions& o) {
  if (chroot(o.root.c_str()) != 0) die("chroot", o.root);
  if (chdir(o.workdir.c_str()) != 0) die("chdir", o.workdir);
  setenv("PATH", "/bin:/sbin:/usr/bin", 1);
  for (const std::string& kv : o.env) putenv(const_cast<char*>(kv.c_str()));
  std::vector<char*> args;
  for (const std::string& a : o.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  die("exec", o.argv[0]);
}

int shell_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// A reboot on the phone reaches init: busybox's `reboot` applet (which
// busybox sh runs in preference to any file on the search path, and which
// /sbin/reboot and its copy /tmp/reboot are) signals PID 1 with SIGTERM.
// The boot's init records each request in /sim/reboot-requests.
volatile sig_atomic_t g_reboot_requests = 0;

void on_reboot_request(int) { g_reboot_requests = g_reboot_requests + 1; }

void record_reboot_requests(const BootOptions& o, int* recorded) {
  while (*recorded < g_reboot_requests) {
    ++*recorded;
    std::string path = o.root + "/sim/reboot-requests";
    FILE* f = fopen(path.c_str(), "a");
    if (f) {
      fputs("reboot\n", f);
      fclose(f);
    }
  }
}

// PID 1 of the boot: starts the command, reaps every orphan, and returns
// the command's status. Its end takes every other process of the boot with it.
[[noreturn]] void boot_init(const BootOptions& o) {
  struct sigaction reboot_action = {};
  reboot_action.sa_handler = on_reboot_request;
  sigemptyset(&reboot_action.sa_mask);
  sigaction(SIGTERM, &reboot_action, nullptr);
  setup_mounts(o);
  pid_t cmd = fork();
  if (cmd < 0) die("fork", o.argv[0]);
  if (cmd == 0) {
    signal(SIGTERM, SIG_DFL);
    exec_command(o);
  }
  if (o.timeout_seconds > 0) alarm(static_cast<unsigned>(o.timeout_seconds));
  int result = -1;
  int recorded = 0;
  for (;;) {
    int status;
    pid_t pid = waitpid(-1, &status, 0);
    record_reboot_requests(o, &recorded);
    if (pid == cmd) {
      result = shell_status(status);
      break;
    }
    if (pid < 0 && errno == ECHILD) break;
  }
  record_reboot_requests(o, &recorded);
  _exit(result < 0 ? 125 : result);
}

void on_alarm(int) {
  const char msg[] = "simdev: boot timed out\n";
  (void)!write(2, msg, sizeof msg - 1);
  _exit(124);
}

}  // namespace

int boot_run(const BootOptions& o) {
  if (o.argv.empty()) return -1;
  fflush(nullptr);
  pid_t holder = fork();
  if (holder < 0) return -1;
  if (holder == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWPID) != 0) die("unshare", o.root);
    pid_t init = fork();
    if (init < 0) die("fork", "init");
    if (init == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      signal(SIGALRM, on_alarm);
      boot_init(o);
    }
    int status;
    while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  int status;
  while (waitpid(holder, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return shell_status(status);
}

}  // namespace sim
