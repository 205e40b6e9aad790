// Paths of a device root, resolved inside it. A root may hold anything a
// phone (or a faulty program on it) left there: links to host files,
// absolute or through "..", at any place. Every lookup here starts at a
// descriptor of the root and resolves as if the root were "/"
// (openat2 with RESOLVE_IN_ROOT): an absolute link restarts at the root,
// ".." stops there, /proc's magic links are refused. So whatever simdev does
// to a root from the host side stays inside it. Nothing else in sim/ joins
// a root and a path into a string and opens it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace sim {

// Bounds of a path inside a root, checked before anything is made.
constexpr size_t kRootPathMax = 1024;
constexpr size_t kRootDepthMax = 32;

// A path given for the inside of a root (a profile key, an option): absolute,
// no "..", no zero byte or control character, at most kRootDepthMax
// components and kRootPathMax bytes. 0, or -1 with *error naming the path
// (control characters shown escaped).
int rootfs_check_path(const std::string& path, std::string* error);

// Opens `path` of the root (flags and mode as open(2); O_CLOEXEC added).
// A descriptor, or -1 with errno set (ELOOP/EXDEV where a lookup would leave).
int rootfs_open(const std::string& root, const std::string& path, int flags, mode_t mode = 0);

// Reads a file of the root, at most `max` bytes (more is an error: EFBIG).
// 0, or -1 with errno.
int rootfs_read(const std::string& root, const std::string& path, size_t max, std::string* out);

// Replaces a file of the root with `data`: written to a new file beside it
// and renamed over it, so a link at that name is replaced, never followed.
// Directories on the way are made. 0, or -1 with errno.
int rootfs_write(const std::string& root, const std::string& path, const std::string& data, mode_t mode);

// Appends a line of text; the file is made when missing. 0, or -1 with errno.
int rootfs_append(const std::string& root, const std::string& path, const std::string& text);

// Makes the directory and those on the way (as mkdir -p). 0, or -1 with errno.
int rootfs_mkdirs(const std::string& root, const std::string& path, mode_t mode = 0755);

// Removes one name (a file, a link or an empty directory); a missing name is
// not an error. 0, or -1 with errno.
int rootfs_unlink(const std::string& root, const std::string& path);

// Removes what the directory holds, and the directory itself unless
// `keep_dir`. Never follows a link and never enters another mount. 0, or -1.
int rootfs_remove_tree(const std::string& root, const std::string& path, bool keep_dir);

// lstat of a name of the root (a link at the last step is not followed).
int rootfs_lstat(const std::string& root, const std::string& path, struct stat* st);

int rootfs_symlink(const std::string& root, const std::string& target, const std::string& path);
int rootfs_mkfifo(const std::string& root, const std::string& path, mode_t mode);

// Opens the root itself (O_PATH): the anchor of every lookup. -1 with errno.
int rootfs_anchor(const std::string& root);

// A descriptor (O_PATH) of the directory the kernel mounts onto: a mount
// target of the root, made when missing (`file`: a regular file). -1 with errno.
int rootfs_mount_target(const std::string& root, const std::string& path, bool file);

// Gives every file of the root whose owner or group is below `count` to the
// same id plus `base` (the ids the phone's user namespace maps), without
// following links or entering mounts. 0, or -1 with errno.
int rootfs_shift_owner(const std::string& root, uid_t base, unsigned count);

}  // namespace sim
