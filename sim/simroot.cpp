#include "sim/simroot.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace sim {
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
  for (const char* d : kDirs)
    if (make_dir(base + "/" + d) != 0) return -1;
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
  return nftw(root, remove_entry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0 ? 0 : -1;
}

}  // namespace sim
