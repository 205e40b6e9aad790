#include "sim/boot.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/unique_fd.h"
#include "sim/boot_parts.h"
#include "sim/rootfs.h"
#include "sim/simroot.h"

namespace sim {

[[noreturn]] void boot_die(const char* what, const std::string& arg) {
  fprintf(stderr, "simdev: %s %s: %s\n", what, arg.c_str(), strerror(errno));
  _exit(125);
}

int boot_shell_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

BootPipe boot_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) boot_die("pipe", "");
  return BootPipe{fds[0], fds[1]};
}

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
  if (setresgid(0, 0, 0) != 0) boot_die("setresgid", "0");
  if (setgroups(0, nullptr) != 0 && errno != EPERM) boot_die("setgroups", "");
  if (setresuid(0, 0, 0) != 0) boot_die("setresuid", "0");
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // a change of ids clears it
  // ... and makes the process undumpable, its /proc files the host root's:
  // init's helper writes init's maps there (boot_mounts.cpp).
  prctl(PR_SET_DUMPABLE, 1);
}

}  // namespace

pid_t boot_fork_confined() {
  PhoneIds ids = boot_phone_ids();
  // A phone started from inside a phone (romtool check in a test) is
  // confined by the outer one's user namespace already.
  bool nested = !host_ids_whole();
  BootPipe up = boot_pipe(), down = boot_pipe();
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(up.r);
    close(down.w);
    if (nested) {
      close(up.w);
      close(down.r);
    } else {
      enter_user_namespace(up.w, down.r);
    }
    return 0;
  }
  close(up.w);
  close(down.r);
  char byte = 0;
  if (!nested && read(up.r, &byte, 1) == 1) {
    byte = write_id_maps(child, ids) == 0 ? 1 : 0;
    if (byte != 1) fprintf(stderr, "simdev: cannot map the phone's ids in its user namespace: %s\n", strerror(errno));
    (void)!write(down.w, &byte, 1);
  }
  close(up.r);
  close(down.w);
  return child;
}

int boot_run(const BootOptions& o) {
  if (o.argv.empty()) return -1;
  if (o.device.enabled && rootfs_mkdirs(o.root, "/sim/boot/frames") != 0) {
    fprintf(stderr, "simdev: %s/sim/boot: %s\n", o.root.c_str(), strerror(errno));
    return -1;
  }
  if (boot_give_root(o.root) != 0) return -1;
  // The phone's ids may not search the folders above the root (a 0700
  // temporary folder of the caller's): init reaches the root through this
  // descriptor, opened here.
  unique_fd root_fd(open(o.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd.valid()) {
    fprintf(stderr, "simdev: %s: %s\n", o.root.c_str(), strerror(errno));
    return -1;
  }
  pid_t holder = boot_fork_confined();
  if (holder < 0) return -1;
  if (holder == 0) {
    int flags = CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWPID;
    if (o.device.enabled) flags |= CLONE_NEWUTS;
    // The working directory is carried into the new mount namespace (as its
    // copy of the mount): init finds the root there.
    if (fchdir(root_fd.get()) != 0) boot_die("chdir", o.root);
    if (unshare(flags) != 0) boot_die("unshare", o.root);
    pid_t init = fork();
    if (init < 0) boot_die("fork", "init");
    if (init == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (here < 0) boot_die("open", o.root);
      BootOptions inside = o;
      inside.root = "/proc/self/fd/" + std::to_string(here);
      boot_init(inside);
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
  return boot_shell_status(status);
}

}  // namespace sim