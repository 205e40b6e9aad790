// The simulated device's root file system: a directory laid out like the
// phone's, with busybox for the shell tools the program runs.
#pragma once

namespace sim {

// Creates (or completes) a device root at `root`. Existing files are kept,
// so a root persists between boots like the phone's flash does.
// Returns 0, or -1 with a message on stderr.
int simroot_populate(const char* root);

// Removes a device root. Never crosses into a mount point, so a bind mount
// left behind by a crashed boot cannot take host files with it.
int simroot_remove(const char* root);

}  // namespace sim
