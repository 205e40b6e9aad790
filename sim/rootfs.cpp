#include "sim/rootfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

#include "common/unique_fd.h"
#include "sim/profile.h"

namespace sim {
namespace {

constexpr int kTreeDepthMax = 64;

int openat2_in(int anchor, const std::string& path, int flags, mode_t mode) {
  struct open_how how;
  memset(&how, 0, sizeof how);
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  std::string rel = path.empty() ? "." : path;
  long fd;
  do fd = syscall(SYS_openat2, anchor, rel.c_str(), &how, sizeof how);
  while (fd < 0 && errno == EAGAIN);  // a rename raced the lookup: retry
  return static_cast<int>(fd);
}

// The directory that holds the last component of `path`, and that component.
// A path that names no entry (the root itself, ".", "..") is EINVAL.
int open_parent(const std::string& root, const std::string& path, std::string* leaf, bool make) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  *leaf = slash == std::string::npos ? p : p.substr(slash + 1);
  if (leaf->empty() || *leaf == "." || *leaf == "..") {
    errno = EINVAL;
    return -1;
  }
  std::string dir = slash == std::string::npos ? "/" : p.substr(0, slash + 1);
  if (make && rootfs_mkdirs(root, dir) != 0) return -1;
  unique_fd anchor(rootfs_anchor(root));
  if (!anchor.valid()) return -1;
  return openat2_in(anchor.get(), dir, O_PATH | O_DIRECTORY, 0);
}

int write_all(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// The entries of a directory (a descriptor the caller keeps), "." and ".."
// left out; closed on every path.
struct Listing {
  DIR* d = nullptr;
  explicit Listing(int dir) {
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && !(d = fdopendir(fd))) (void)close(fd);
  }
  ~Listing() {
    if (d) (void)closedir(d);
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
  const struct dirent* next() {
    while (const struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) return e;
    return nullptr;
  }
};

// Empties the directory `dir` (a descriptor opened without following links),
// never leaving the device `dev`. A directory the phone made unwritable is
// made writable first: a root stays removable by whoever made it. A folder
// deeper than kTreeDepthMax is moved up into `top` (*moved set) to be
// emptied by the next pass, so no depth runs out of descriptors.
int empty_dir_at(int top, int dir, dev_t dev, int depth, bool* moved) {
  Listing listing(dir);
  if (!listing.d) return -1;
  int rc = 0;
  (void)fchmod(dir, 0700);
  while (const struct dirent* e = listing.next()) {
    struct stat st;
    if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (st.st_dev != dev) {  // a mount left behind: not the root's to delete
        rc = -1;
        errno = EBUSY;
        continue;
      }
      if (depth >= kTreeDepthMax) {
        static unsigned long serial = 0;
        std::string up = ".simdev-deep-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        if (renameat(dir, e->d_name, top, up.c_str()) != 0) rc = -1;
        *moved = true;
        continue;
      }
      unique_fd sub(openat(dir, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub.valid() || empty_dir_at(top, sub.get(), dev, depth + 1, moved) != 0) rc = -1;
      if (unlinkat(dir, e->d_name, AT_REMOVEDIR) != 0 && errno != ENOENT) rc = -1;
    } else if (unlinkat(dir, e->d_name, 0) != 0 && errno != ENOENT) {
      rc = -1;
    }
  }
  return rc;
}

// An id of the phone's (below `count`) as the host sees it.
unsigned shifted(unsigned id, uid_t base, unsigned count) { return id < count ? id + base : id; }

int shift_at(int dir, dev_t dev, uid_t base, unsigned count, int depth) {
  if (depth > kTreeDepthMax) return 0;
  Listing listing(dir);
  if (!listing.d) return -1;
  int rc = 0;
  while (const struct dirent* e = listing.next()) {
    struct stat st;
    if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != dev) continue;
    if (st.st_uid < count || st.st_gid < count) {
      if (fchownat(dir, e->d_name, shifted(st.st_uid, base, count), shifted(st.st_gid, base, count),
                   AT_SYMLINK_NOFOLLOW) != 0)
        rc = -1;
      // chown drops set-id bits; the root's files carry none worth keeping.
    }
    if (S_ISDIR(st.st_mode)) {
      unique_fd sub(openat(dir, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub.valid() || shift_at(sub.get(), dev, base, count, depth + 1) != 0) rc = -1;
    }
  }
  return rc;
}

}  // namespace

int rootfs_check_path(const std::string& path, std::string* error) {
  std::string shown = printable(path.substr(0, kRootPathMax));
  if (has_control(path)) {
    *error = shown + ": a zero byte or control character in a path inside the device root";
    return -1;
  }
  if (path.empty() || path[0] != '/') {
    *error = shown + ": not an absolute path inside the device root";
    return -1;
  }
  if (path.size() > kRootPathMax) {
    *error = shown + "...: longer than " + std::to_string(kRootPathMax) + " bytes";
    return -1;
  }
  if (("/" + path + "/").find("/../") != std::string::npos) {
    *error = shown + ": \"..\" would leave the device root";
    return -1;
  }
  size_t depth = 0;
  for (size_t i = 0; i < path.size(); ++i)
    if (path[i] != '/' && (i == 0 || path[i - 1] == '/')) ++depth;
  if (depth > kRootDepthMax) {
    *error = shown + ": deeper than " + std::to_string(kRootDepthMax) + " folders";
    return -1;
  }
  return 0;
}

int rootfs_anchor(const std::string& root) {
  // "": the process's own root (code that runs inside the phone's root).
  return open(root.empty() ? "/" : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int rootfs_open(const std::string& root, const std::string& path, int flags, mode_t mode) {
  if (flags & O_CREAT) {
    // Create the last step in its directory without following a link there.
    std::string leaf;
    unique_fd dir(open_parent(root, path, &leaf, false));
    if (!dir.valid()) return -1;
    return openat(dir.get(), leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  }
  unique_fd anchor(rootfs_anchor(root));
  if (!anchor.valid()) return -1;
  return openat2_in(anchor.get(), path, flags, mode);
}

int rootfs_read(const std::string& root, const std::string& path, size_t max, std::string* out) {
  unique_fd fd(rootfs_open(root, path, O_RDONLY | O_NONBLOCK));
  if (!fd.valid()) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    if (out->size() + static_cast<size_t>(n) > max) {
      errno = EFBIG;
      return -1;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

int rootfs_write(const std::string& root, const std::string& path, const std::string& data, mode_t mode) {
  std::string leaf;
  unique_fd parent(open_parent(root, path, &leaf, true));
  if (!parent.valid()) return -1;
  std::string tmp = leaf + ".simdev-new";
  (void)unlinkat(parent.get(), tmp.c_str(), 0);
  unique_fd fd(openat(parent.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return -1;
  if (write_all(fd.get(), data.data(), data.size()) != 0 || fchmod(fd.get(), mode) != 0 || close(fd.release()) != 0) {
    int saved = errno;
    (void)unlinkat(parent.get(), tmp.c_str(), 0);
    errno = saved;
    return -1;
  }
  // The rename replaces whatever the name was, a link included, without following it.
  return renameat(parent.get(), tmp.c_str(), parent.get(), leaf.c_str());
}

int rootfs_append(const std::string& root, const std::string& path, const std::string& text) {
  unique_fd fd(rootfs_open(root, path, O_WRONLY | O_APPEND | O_CREAT, 0644));
  if (!fd.valid()) return -1;
  return write_all(fd.get(), text.data(), text.size());
}

int rootfs_mkdirs(const std::string& root, const std::string& path, mode_t mode) {
  unique_fd anchor(rootfs_anchor(root));
  if (!anchor.valid()) return -1;
  std::string walked;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      errno = EINVAL;
      return -1;
    }
    unique_fd dir(openat2_in(anchor.get(), walked.empty() ? "/" : walked, O_PATH | O_DIRECTORY, 0));
    if (!dir.valid()) return -1;
    walked += "/" + part;
    if (mkdirat(dir.get(), part.c_str(), mode) != 0 && errno != EEXIST) return -1;
  }
  unique_fd last(openat2_in(anchor.get(), walked.empty() ? "/" : walked, O_PATH | O_DIRECTORY, 0));
  return last.valid() ? 0 : -1;
}

int rootfs_unlink(const std::string& root, const std::string& path) {
  std::string leaf;
  unique_fd parent(open_parent(root, path, &leaf, false));
  if (!parent.valid()) return errno == ENOENT ? 0 : -1;
  if (unlinkat(parent.get(), leaf.c_str(), 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return -1;
  return unlinkat(parent.get(), leaf.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : -1;
}

int rootfs_remove_tree(const std::string& root, const std::string& path, bool keep_dir) {
  unique_fd anchor(rootfs_anchor(root));
  if (!anchor.valid()) return errno == ENOENT ? 0 : -1;
  struct stat st;
  if (rootfs_lstat(root, path, &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(st.st_mode)) return keep_dir ? 0 : rootfs_unlink(root, path);
  struct stat top;
  if (fstat(anchor.get(), &top) != 0) return -1;
  if (st.st_dev != top.st_dev) {
    errno = EBUSY;
    return -1;
  }
  unique_fd dir(openat2_in(anchor.get(), path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0));
  if (!dir.valid()) return -1;
  for (bool moved = true; moved;) {
    moved = false;
    if (empty_dir_at(dir.get(), dir.get(), top.st_dev, 0, &moved) != 0 && !moved) return -1;
  }
  bool is_root = path.find_first_not_of('/') == std::string::npos;
  return keep_dir || is_root ? 0 : rootfs_unlink(root, path);
}

int rootfs_lstat(const std::string& root, const std::string& path, struct stat* st) {
  if (path.find_first_not_of("/.") == std::string::npos) {
    unique_fd anchor(rootfs_anchor(root));
    return anchor.valid() ? fstat(anchor.get(), st) : -1;
  }
  std::string leaf;
  unique_fd parent(open_parent(root, path, &leaf, false));
  if (!parent.valid()) return -1;
  return fstatat(parent.get(), leaf.c_str(), st, AT_SYMLINK_NOFOLLOW);
}

int rootfs_symlink(const std::string& root, const std::string& target, const std::string& path) {
  std::string leaf;
  unique_fd parent(open_parent(root, path, &leaf, true));
  if (!parent.valid()) return -1;
  return symlinkat(target.c_str(), parent.get(), leaf.c_str());
}

int rootfs_mkfifo(const std::string& root, const std::string& path, mode_t mode) {
  std::string leaf;
  unique_fd parent(open_parent(root, path, &leaf, true));
  if (!parent.valid()) return -1;
  if (mkfifoat(parent.get(), leaf.c_str(), mode) != 0) return -1;
  return fchmodat(parent.get(), leaf.c_str(), mode, 0);
}

int rootfs_mount_target(const std::string& root, const std::string& path, bool file) {
  if (!file) {
    if (rootfs_mkdirs(root, path) != 0) return -1;
    unique_fd anchor(rootfs_anchor(root));
    return anchor.valid() ? openat2_in(anchor.get(), path, O_PATH | O_DIRECTORY, 0) : -1;
  }
  std::string leaf;
  unique_fd parent(open_parent(root, path, &leaf, true));
  if (!parent.valid()) return -1;
  unique_fd made(openat(parent.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!made.valid() && errno != EISDIR) return -1;
  return openat(parent.get(), leaf.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

int rootfs_shift_owner(const std::string& root, uid_t base, unsigned count) {
  unique_fd top(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (!top.valid() || fstat(top.get(), &st) != 0) return -1;
  if ((st.st_uid < count || st.st_gid < count) &&
      fchown(top.get(), shifted(st.st_uid, base, count), shifted(st.st_gid, base, count)) != 0)
    return -1;
  return shift_at(top.get(), st.st_dev, base, count, 0);
}

}  // namespace sim
