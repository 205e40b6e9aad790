// The simulator's FUSE servers (the kernel's /proc files, the flash windows)
// mount and serve the same way.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <string>

namespace sim {

// Mounts a file system of `ops` named `name` at `mountpoint`, writes one byte
// to ready_fd once it is there, and serves until it is unmounted. 0, or -1
// after a message on stderr.
int fuse_serve_at(const char* name, const fuse_operations& ops, const std::string& mountpoint, int ready_fd);

}  // namespace sim
