// The simulated device's root file system: a directory laid out like the
// phone's, with busybox for the shell tools the program runs.
#pragma once

#include <sys/types.h>

#include <string>

namespace sim {

// The file simdev leaves in every root it makes: only such a root (or an
// empty directory) is ever emptied.
extern const char kRootMarker[];

// Creates (or completes) a device root at `root`. Existing files are kept,
// so a root persists between boots like the phone's flash does. A directory
// that holds files but no marker is not taken over. Returns 0, or -1 with a
// message on stderr.
int simroot_populate(const char* root);

// Empties and removes a device root: only a directory that is empty or
// carries the marker; anything else is refused with a message and left
// whole. Never follows links or crosses into a mount point, so a bind mount
// left behind by a crashed boot cannot take host files with it; folders the
// phone made unwritable or too deep to walk are removed all the same.
int simroot_remove(const char* root);

// The directory a root argument names, links and ".." resolved (as given
// when nothing is there yet): what --fresh empties is the directory that
// carries the marker, never a name that leads elsewhere.
std::string simroot_resolve(const std::string& given);

// Writes `data` to the absolute path `path` inside the root (rootfs_write),
// creating the directories on the way; the path is checked first
// (simroot_check_path). 0, or -1 with a message naming the path in *error.
int simroot_write(const std::string& root, const std::string& path, const std::string& data, mode_t mode,
                  std::string* error);

// Checks a path given for the inside of a root (rootfs_check_path): absolute,
// no "..", no zero byte or control character, bounded. 0, or -1 with *error.
int simroot_check_path(const std::string& path, std::string* error);

// Before a boot's mounts: the mount that holds the root must not pass them
// on to the host. Usually that is "/", made private; under a plain chroot,
// whose "/" is no mount point, the nearest mount point above the root is.
// 0, or -1 with a message saying why on stderr.
int simroot_private_mounts(const std::string& root);

// Whether `dir` is the root of a mount.
bool simroot_is_mount_point(const std::string& dir);

}  // namespace sim
