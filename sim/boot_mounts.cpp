#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>

#include <string>

#include "common/unique_fd.h"
#include "sim/boot_parts.h"
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

// The kernel mounts onto what a descriptor names, found inside the root: a
// link in the root cannot point a mount at the host's directories. Once
// init is inside the root ("/"), the kernel's /proc is the boot's own at
// /sim/realproc.
struct Target {
  int fd = -1;
  char path[48];
  Target(const std::string& root, const std::string& inside, bool file) {
    fd = rootfs_mount_target(root, inside, file);
    if (fd < 0) boot_die("make the mount point", inside);
    snprintf(path, sizeof path, "%s/self/fd/%d", root == "/" ? "/sim/realproc" : "/proc", fd);
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
    if (mount(from.c_str(), t.path, nullptr, MS_BIND | rec, nullptr) != 0) boot_die("bind", from);
  }
  Target bound(root, to, false);  // looked up again: the new mount, not the directory under it
  if (mount(nullptr, bound.path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | rec | locked_flags(from), nullptr) != 0)
    boot_die("remount read-only", to);
}


constexpr int kLinkedPids = 256;

// The kernel's own /proc of this PID namespace lives at /sim/realproc. For a
// plain run the device's /proc is a directory of plain files with links to
// the parts programs and runtimes need (self, thread-self); a device boot
// serves it (procfs.cpp).
void mount_realproc(const std::string& root, bool links) {
  {
    Target t(root, "/sim/realproc", false);
    if (mount("proc", t.path, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) boot_die("mount proc", "/sim/realproc");
  }
  if (!links) return;
  auto link_entry = [&root](const std::string& name) {
    std::string link = "/proc/" + name;
    struct stat st;
    if (rootfs_lstat(root, link, &st) == 0) return;
    if (rootfs_symlink(root, "/sim/realproc/" + name, link) != 0) boot_die("symlink", link);
  };
  for (const char* name : {"self", "thread-self", "mounts", "cpuinfo", "meminfo", "stat"}) link_entry(name);
  // Processes of a fresh PID namespace are numbered from 1; the leak checker
  // of the sanitizer builds reads /proc/<its own pid>/task.
  for (int pid = 1; pid <= kLinkedPids; ++pid) link_entry(std::to_string(pid));
}


// How many ids this user namespace maps (the phone's range, or one id), as
// the boot's own /proc shows them.
unsigned long mapped_ids() {
  FILE* f = fopen("/sim/realproc/self/uid_map", "r");
  unsigned long inside = 0, outside = 0, count = 1;
  if (f) {
    if (fscanf(f, "%lu %lu %lu", &inside, &outside, &count) != 3) count = 1;
    (void)fclose(f);
  }
  return count;
}

// The mounts made so far come from the host (libraries, devices, bound
// folders) or show the boot's processes: a phone that could remount them
// would write through them. A user namespace below the phone's, with mount,
// IPC and UTS namespaces of its own, locks them as they are (read-only
// stays read-only, none comes off). Its maps are written from the parent
// namespace by a helper (init is PID 1 in /sim/realproc). Runs inside the root.
void lock_host_mounts() {
  std::string map = "0 0 " + std::to_string(mapped_ids()) + "\n";
  BootPipe go = boot_pipe();
  pid_t helper = fork();
  if (helper < 0) boot_die("fork", "id helper");
  if (helper == 0) {
    char byte = 0;
    close(go.w);
    if (read(go.r, &byte, 1) != 1) _exit(1);
    for (const char* name : {"/sim/realproc/1/uid_map", "/sim/realproc/1/gid_map"}) {
      unique_fd fd(rootfs_open("/", name, O_WRONLY));
      if (!fd.valid() || write(fd.get(), map.data(), map.size()) != static_cast<ssize_t>(map.size())) {
        fprintf(stderr, "simdev: %s: %s\n", name, strerror(errno));
        _exit(1);
      }
    }
    _exit(0);
  }
  close(go.r);
  if (unshare(CLONE_NEWUSER) != 0) boot_die("unshare", "user namespace");
  char byte = 1;
  int status = 0;
  if (write(go.w, &byte, 1) != 1 || waitpid(helper, &status, 0) != helper || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    fprintf(stderr, "simdev: cannot map the ids of init's user namespace\n");
    _exit(125);
  }
  close(go.w);
  if (unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWUTS) != 0) boot_die("unshare", "mount namespace");
}

// The root becomes a mount of its own, attached over itself: a copy of the
// tree it lies in, from the root down. pivot_root needs one (enter_root).
// Answers the root's path from here on; its descriptor stays open until
// init has entered the root, the working directory is the root too.
std::string root_as_mount(const std::string& root) {
  unique_fd dir(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) boot_die("open", root);
  int tree = open_tree(dir.get(), "", OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE | AT_EMPTY_PATH);
  if (tree < 0 && errno == ENOSYS) {
    fprintf(stderr, "simdev: this kernel has no open_tree: a phone's root needs Linux 5.2 or later\n");
    _exit(125);
  }
  if (tree < 0) boot_die("copy the mount of", root);
  if (move_mount(tree, "", dir.get(), "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0)
    boot_die("mount the root onto", root);
  if (fchdir(tree) != 0) boot_die("chdir", root);
  return "/proc/self/fd/" + std::to_string(tree);
}

// Makes the root the mount namespace's own and detaches the host's tree
// beneath it: from here on every path, a link's target included, is one of
// the root's, and neither a second chroot (the phone's root may chroot) nor
// ".." from a descriptor of the root leads out.
void enter_root(const std::string& root) {
  {
    unique_fd dir(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || fchdir(dir.get()) != 0) boot_die("chdir", root);
  }
  if (syscall(SYS_pivot_root, ".", ".") != 0) boot_die("pivot_root", root);
  if (umount2(".", MNT_DETACH) != 0) boot_die("detach the host's tree from", root);
  if (chdir("/") != 0) boot_die("chdir", "/");
}

}  // namespace

void boot_bind_file(const std::string& root, const std::string& from, const std::string& to) {
  Target t(root, to, true);
  if (mount(from.c_str(), t.path, nullptr, MS_BIND, nullptr) != 0) boot_die("bind", from);
}

// The host's libraries, devices and bound directories, the phone's RAM /tmp
// and its own file systems: mounted from outside the root, each onto a place
// looked up inside it.
void boot_setup_mounts(const BootOptions& host_view) {
  BootOptions o = host_view;
  if (simroot_private_mounts(o.root) != 0) _exit(125);
  o.root = root_as_mount(o.root);
  for (const char* dir : kHostLibraryDirs) {
    struct stat st;
    if (lstat(dir, &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      // merged-/usr hosts: /lib is a link into /usr
      char dest[4096];
      ssize_t n = readlink(dir, dest, sizeof dest - 1);
      if (n < 0) boot_die("readlink", dir);
      dest[n] = '\0';
      struct stat have;
      if (rootfs_lstat(o.root, dir, &have) != 0 && rootfs_symlink(o.root, dest, dir) != 0) boot_die("symlink", dir);
      continue;
    }
    bind_readonly(o.root, dir, dir, true);
  }
  for (const char* dev : kHostDevices) boot_bind_file(o.root, dev, dev);
  for (const std::string& path : o.binds) bind_readonly(o.root, path, path, false);
  mount_realproc(o.root, !o.device.enabled);
  // The FUSE servers open /dev/fuse once they run inside the root; it is
  // gone again before the program starts. A copy of its mount, taken while
  // the host's tree is there, is attached once the mounts are locked, so
  // init may take it off again.
  unique_fd fuse;
  if (o.device.enabled) {
    fuse.reset(open_tree(AT_FDCWD, kFuseDevice, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC));
    if (!fuse.valid()) boot_die("copy the mount of", kFuseDevice);
  }
  enter_root(o.root);
  o.root = "/";
  lock_host_mounts();
  if (o.device.enabled) {
    // The phone's /tmp is RAM: empty at every boot, gone with it.
    {
      Target tmp(o.root, "/tmp", false);
      if (mount("tmpfs", tmp.path, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=128m") != 0) boot_die("mount tmpfs", "/tmp");
    }
    // On the phone /config and /etc are file systems of their own, which the
    // program unmounts before it rewrites the configuration partition. Each
    // is bound onto itself here: unmounting it leaves the same directory.
    for (const char* dir : {"/config", "/etc"}) {
      Target t(o.root, dir, false);
      if (mount(t.path, t.path, nullptr, MS_BIND, nullptr) != 0) boot_die("bind", dir);
    }
    Target t(o.root, kFuseDevice, true);
    if (move_mount(fuse.get(), "", t.fd, "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0)
      boot_die("bind", kFuseDevice);
  }
  // Descriptors beyond stdio name places of the host or of the namespaces
  // outside (the root as the host sees it): a phone process could open one
  // again through /proc/1/fd and walk up from it, so none survives.
  if (close_range(3, ~0U, 0) != 0) boot_die("close the host's descriptors", "");
}

void boot_drop_fuse_device() {
  if (umount2(kFuseDevice, MNT_DETACH) != 0) boot_die("unmount", kFuseDevice);
  (void)unlink(kFuseDevice);
}

}  // namespace sim
