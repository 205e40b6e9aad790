#include "sim/simroot.h"

#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/unique_fd.h"

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

const char kKillappsScript[] =
    "#!/bin/sh\n"
    "# Stops the phone's applications; the simulated phone runs none.\n"
    "exit 0\n";

int make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return 0;
  fprintf(stderr, "simdev: mkdir %s: %s\n", path.c_str(), strerror(errno));
  return -1;
}

int copy_file(const char* from, const std::string& to, mode_t mode) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    fprintf(stderr, "simdev: open %s: %s\n", from, strerror(errno));
    return -1;
  }
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (out < 0) {
    fprintf(stderr, "simdev: create %s: %s\n", to.c_str(), strerror(errno));
    close(in);
    return -1;
  }
  char buf[65536];
  ssize_t n;
  int rc = 0;
  while ((n = read(in, buf, sizeof buf)) > 0) {
    if (write(out, buf, static_cast<size_t>(n)) != n) {
      rc = -1;
      break;
    }
  }
  if (n < 0) rc = -1;
  close(in);
  if (close(out) != 0) rc = -1;
  if (rc != 0) fprintf(stderr, "simdev: copy %s to %s failed\n", from, to.c_str());
  return rc;
}

int write_new_file(const std::string& path, const char* text, mode_t mode) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) return 0;  // keep what a profile or a test put there
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  size_t len = strlen(text);
  bool ok = write(fd, text, len) == static_cast<ssize_t>(len);
  return (close(fd) == 0 && ok) ? 0 : -1;
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
  return lstat((root + kRootMarker).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int refuse_stranger(const std::string& root, const char* what) {
  fprintf(stderr,
          "simdev: %s holds files but is not a device root made by simdev (no %s%s): nothing %s; "
          "choose an empty or new directory\n",
          root.c_str(), root.c_str(), kRootMarker, what);
  return -1;
}

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
  int rc = (type == FTW_DP) ? rmdir(path) : unlink(path);
  if (rc != 0 && errno != ENOENT) fprintf(stderr, "simdev: remove %s: %s\n", path, strerror(errno));
  return 0;
}

}  // namespace

int simroot_populate(const char* root) {
  std::string base(root);
  for (size_t i = 1; i < base.size(); ++i)
    if (base[i] == '/' && make_dir(base.substr(0, i)) != 0) return -1;
  if (make_dir(base) != 0) return -1;
  int empty = empty_dir(root);
  if (empty < 0) {
    fprintf(stderr, "simdev: %s: not a directory\n", root);
    return -1;
  }
  if (!empty && !has_marker(base)) return refuse_stranger(base, "changed");
  for (const char* d : kDirs)
    if (make_dir(base + "/" + d) != 0) return -1;
  if (empty && write_new_file(base + kRootMarker, "a device root made by simdev; simdev may empty it\n", 0644) != 0) {
    fprintf(stderr, "simdev: cannot write %s%s\n", root, kRootMarker);
    return -1;
  }
  chmod((base + "/tmp").c_str(), 01777);

  std::string busybox = base + kBusybox;
  struct stat st;
  if (stat(busybox.c_str(), &st) != 0 && copy_file(kBusybox, busybox, 0755) != 0) return -1;
  for (const char* applet : kApplets) {
    std::string link = base + "/bin/" + applet;
    if (lstat(link.c_str(), &st) != 0 && symlink("busybox", link.c_str()) != 0) {
      fprintf(stderr, "simdev: symlink %s: %s\n", link.c_str(), strerror(errno));
      return -1;
    }
  }
  // As on the phone, reboot is busybox's applet: it asks init (the boot's
  // PID 1) to reboot. The driver copies it to /tmp/reboot.
  std::string reboot = base + "/sbin/reboot";
  if (lstat(reboot.c_str(), &st) != 0 && symlink("/bin/busybox", reboot.c_str()) != 0) return -1;
  if (write_new_file(base + "/app/scripts/killapps.sh", kKillappsScript, 0755) != 0) return -1;
  return 0;
}

int simroot_remove(const char* root) {
  struct stat st;
  if (lstat(root, &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) {
    fprintf(stderr, "simdev: %s is not a directory: nothing deleted\n", root);
    return -1;
  }
  if (empty_dir(root) == 0 && !has_marker(root)) return refuse_stranger(root, "deleted");
  return nftw(root, remove_entry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0 ? 0 : -1;
}

int simroot_check_path(const std::string& path, std::string* error) {
  if (path.empty() || path[0] != '/') {
    *error = path + ": not an absolute path inside the device root";
    return -1;
  }
  if (("/" + path + "/").find("/../") != std::string::npos) {
    *error = path + ": \"..\" would leave the device root";
    return -1;
  }
  return 0;
}

namespace {

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string c = path.substr(pos, slash - pos);
    if (!c.empty() && c != ".") out.push_back(c);
    pos = slash + 1;
  }
  return out;
}

int write_at(int dir, const std::string& leaf, const std::string& data, mode_t mode) {
  std::string tmp = leaf + ".simdev-new";
  (void)unlinkat(dir, tmp.c_str(), 0);
  unique_fd fd(openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return -1;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  if (fchmod(fd.get(), mode) != 0 || close(fd.release()) != 0) return -1;
  // The rename replaces whatever the name was, a link included, without following it.
  return renameat(dir, tmp.c_str(), dir, leaf.c_str());
}

}  // namespace

int simroot_write(const std::string& root, const std::string& path, const std::string& data, mode_t mode,
                  std::string* error) {
  if (simroot_check_path(path, error) != 0) return -1;
  std::vector<std::string> parts = components(path);
  if (parts.empty()) {
    *error = path + ": names no file";
    return -1;
  }
  unique_fd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string walked;
  for (size_t i = 0; dir.valid() && i + 1 < parts.size(); ++i) {
    walked += "/" + parts[i];
    if (mkdirat(dir.get(), parts[i].c_str(), 0755) != 0 && errno != EEXIST) break;
    dir = unique_fd(openat(dir.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid() && (errno == ELOOP || errno == ENOTDIR)) {
      *error = path + ": " + walked +
               " is a symbolic link or no directory: refused, it may lead out of the device root";
      return -1;
    }
  }
  if (!dir.valid() || write_at(dir.get(), parts.back(), data, mode) != 0) {
    *error = path + " in " + root + ": " + strerror(errno);
    return -1;
  }
  return 0;
}

namespace {

// A mount point: the mount's root, or (kernels without that attribute) a
// directory on another device than its parent.
bool mount_point(const std::string& dir) {
  struct statx sx;
  if (statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
      (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  struct stat here, up;
  return stat(dir.c_str(), &here) == 0 && stat((dir + "/..").c_str(), &up) == 0 &&
         (here.st_dev != up.st_dev || here.st_ino == up.st_ino);
}

}  // namespace

int simroot_private_mounts(const std::string& root) {
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return 0;
  int saved = errno;
  // A plain chroot: "/" is a directory of some mount outside our view. The
  // boot mounts only below the root, so the mount holding the root is enough.
  std::string dir = root;
  while (dir.size() > 1 && !mount_point(dir)) dir.resize(dir.rfind('/') ? dir.rfind('/') : 1);
  if (dir.size() > 1 && mount(nullptr, dir.c_str(), nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return 0;
  fprintf(stderr,
          "simdev: cannot keep the boot's mounts from the host: \"/\" cannot be made private (%s; not a mount "
          "point, as in a plain chroot?) and no mount point lies between / and %s. Give the root a mount of its "
          "own (mount --bind %s %s) or run simdev outside the chroot\n",
          strerror(saved), root.c_str(), root.c_str(), root.c_str());
  return -1;
}

}  // namespace sim
