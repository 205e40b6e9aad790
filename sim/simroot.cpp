#include "sim/simroot.h"

#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "sim/profile.h"
#include "sim/rootfs.h"

namespace sim {

const char kRootMarker[] = "/sim/made-by-simdev";

namespace {

const char* const kDirs[] = {
    "bin", "sbin", "tmp", "config", "var", "var/ipc", "dev", "dev/input", "dev/mtdblock",
    "proc", "app", "app/scripts", "basic", "basic/bin", "etc", "usr", "usr/bin", "sim",
};

// The shell tools the program and its scripts run, all served by busybox.
const char* const kApplets[] = {
    "sh", "ash", "cp", "rm", "cat", "touch", "chmod", "mkdir", "sed", "echo", "umount", "mount",
    "sleep", "ls", "kill", "true", "false", "test", "[", "ln", "mv", "grep", "printf", "head",
    "tail", "wc", "stat", "dd", "cmp", "sync", "env", "id", "ps", "syslogd", "logger", "od",
    "hexdump", "tr", "cut", "sort", "uniq", "find", "xargs", "basename", "dirname", "md5sum",
    "sha256sum", "expr", "seq", "date", "rmdir", "readlink", "realpath", "tee", "pidof",
    "killall", "usleep", "timeout",
};

const char kBusybox[] = "/bin/busybox";
constexpr unsigned long long kMaxBusybox = 64ull * 1024 * 1024;

const char kKillappsScript[] =
    "#!/bin/sh\n"
    "# Stops the phone's applications; the simulated phone runs none.\n"
    "exit 0\n";

int make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return 0;
  fprintf(stderr, "simdev: mkdir %s: %s\n", path.c_str(), strerror(errno));
  return -1;
}

int fail(const std::string& root, const char* what, const std::string& path) {
  fprintf(stderr, "simdev: %s %s in %s: %s\n", what, path.c_str(), root.c_str(), strerror(errno));
  return -1;
}

// A file of the root made when missing: what a profile or a test put there is kept.
int write_new_file(const std::string& root, const std::string& path, const std::string& text, mode_t mode) {
  struct stat st;
  if (rootfs_lstat(root, path, &st) == 0) return 0;
  return rootfs_write(root, path, text, mode) == 0 ? 0 : fail(root, "write", path);
}

// 1: an empty directory, 0: a directory with entries, -1: no directory.
int empty_dir(const char* path) {
  DIR* d = opendir(path);
  if (!d) return -1;
  int empty = 1;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = 0;
  (void)closedir(d);
  return empty;
}

bool has_marker(const std::string& root) {
  struct stat st;
  return rootfs_lstat(root, kRootMarker, &st) == 0 && S_ISREG(st.st_mode);
}

int refuse_stranger(const std::string& root, const char* what) {
  fprintf(stderr,
          "simdev: %s holds files but is not a device root made by simdev (no %s%s): nothing %s; "
          "choose an empty or new directory\n",
          root.c_str(), root.c_str(), kRootMarker, what);
  return -1;
}

}  // namespace

std::string simroot_resolve(const std::string& given) {
  char resolved[PATH_MAX];
  if (realpath(given.c_str(), resolved)) return resolved;
  return given;  // nothing there yet: nothing to resolve
}

int simroot_populate(const char* root_arg) {
  std::string base(root_arg);
  for (size_t i = 1; i < base.size(); ++i)
    if (base[i] == '/' && make_dir(base.substr(0, i)) != 0) return -1;
  if (make_dir(base) != 0) return -1;
  int empty = empty_dir(root_arg);
  if (empty < 0) {
    fprintf(stderr, "simdev: %s: not a directory\n", root_arg);
    return -1;
  }
  if (!empty && !has_marker(base)) return refuse_stranger(base, "changed");
  for (const char* d : kDirs)
    if (rootfs_mkdirs(base, d) != 0) return fail(base, "mkdir", d);
  if (empty && write_new_file(base, kRootMarker, "a device root made by simdev; simdev may empty it\n", 0644) != 0)
    return -1;
  unique_fd tmp(rootfs_open(base, "/tmp", O_RDONLY | O_DIRECTORY));
  if (!tmp.valid() || fchmod(tmp.get(), 01777) != 0) return fail(base, "chmod", "/tmp");

  struct stat st;
  if (rootfs_lstat(base, kBusybox, &st) != 0) {
    std::string busybox, error;
    if (read_regular_file(kBusybox, kMaxBusybox, &busybox, &error) != 0) {
      fprintf(stderr, "simdev: %s\n", error.c_str());
      return -1;
    }
    if (rootfs_write(base, kBusybox, busybox, 0755) != 0) return fail(base, "write", kBusybox);
  }
  for (const char* applet : kApplets) {
    std::string link = std::string("/bin/") + applet;
    if (rootfs_lstat(base, link, &st) != 0 && rootfs_symlink(base, "busybox", link) != 0)
      return fail(base, "symlink", link);
  }
  // As on the phone, reboot is busybox's applet: it asks init (the boot's
  // PID 1) to reboot. The driver copies it to /tmp/reboot.
  if (rootfs_lstat(base, "/sbin/reboot", &st) != 0 && rootfs_symlink(base, kBusybox, "/sbin/reboot") != 0)
    return fail(base, "symlink", "/sbin/reboot");
  return write_new_file(base, "/app/scripts/killapps.sh", kKillappsScript, 0755);
}

int simroot_remove(const char* root) {
  struct stat st;
  if (lstat(root, &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) {
    fprintf(stderr, "simdev: %s is not a directory: nothing deleted\n", root);
    return -1;
  }
  if (empty_dir(root) == 0 && !has_marker(root)) return refuse_stranger(root, "deleted");
  if (rootfs_remove_tree(root, "/", true) != 0) {
    fprintf(stderr, "simdev: %s: cannot empty it: %s\n", root, strerror(errno));
    return -1;
  }
  return rmdir(root) == 0 || errno == ENOENT ? 0 : -1;
}

int simroot_check_path(const std::string& path, std::string* error) { return rootfs_check_path(path, error); }

int simroot_write(const std::string& root, const std::string& path, const std::string& data, mode_t mode,
                  std::string* error) {
  if (simroot_check_path(path, error) != 0) return -1;
  if (rootfs_write(root, path, data, mode) != 0) {
    *error = printable(path) + " in " + root + ": " + strerror(errno);
    return -1;
  }
  return 0;
}

// A mount point: the mount's root, or (kernels without that attribute) a
// directory on another device than its parent.
bool simroot_is_mount_point(const std::string& dir) {
  struct statx sx;
  if (statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
      (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  struct stat here, up;
  return stat(dir.c_str(), &here) == 0 && stat((dir + "/..").c_str(), &up) == 0 &&
         (here.st_dev != up.st_dev || here.st_ino == up.st_ino);
}

int simroot_private_mounts(const std::string& root) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return 0;
  int saved = errno;
  // A plain chroot: "/" is a directory of some mount outside our view. The
  // boot mounts only below the root, so the mount holding the root is enough.
  std::string dir = root;
  while (dir.size() > 1 && !simroot_is_mount_point(dir)) dir.resize(dir.rfind('/') ? dir.rfind('/') : 1);
  if (dir.size() > 1 && mount(nullptr, dir.c_str(), nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return 0;
  fprintf(stderr,
          "simdev: cannot keep the boot's mounts from the host: \"/\" cannot be made private (%s; not a mount "
          "point, as in a plain chroot?) and no mount point lies between / and %s. Give the root a mount of its "
          "own (mount --bind %s %s) or run simdev outside the chroot\n",
          strerror(saved), root.c_str(), root.c_str(), root.c_str());
  return -1;
}

}  // namespace sim
