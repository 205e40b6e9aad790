#include "sim/fuse_serve.h"

#include <stdio.h>
#include <unistd.h>

namespace sim {

int fuse_serve_at(const char* name, const fuse_operations& ops, const std::string& mountpoint, int ready_fd) {
  std::string prog = std::string("simdev-") + name;
  std::string options = std::string("fsname=sim") + name + ",subtype=sim" + name + ",allow_other";
  char opt[] = "-o";
  char* argv[] = {prog.data(), opt, options.data(), nullptr};
  struct fuse_args args = FUSE_ARGS_INIT(3, argv);
  struct fuse* f = fuse_new(&args, &ops, sizeof ops, nullptr);
  if (!f || fuse_mount(f, mountpoint.c_str()) != 0) {
    fprintf(stderr, "simdev: FUSE is not available: cannot mount %s at %s%s\n", name, mountpoint.c_str(),
            access("/dev/fuse", R_OK | W_OK) != 0
                ? " (/dev/fuse is not open to the phone's ids: run scripts/setup.sh as root, or chmod 0666 /dev/fuse)"
                : "");
    if (f) fuse_destroy(f);
    return -1;
  }
  char one = 1;
  if (write(ready_fd, &one, 1) != 1) {
    fuse_unmount(f);
    fuse_destroy(f);
    return -1;
  }
  close(ready_fd);
  fuse_loop(f);
  fuse_unmount(f);
  fuse_destroy(f);
  return 0;
}

}  // namespace sim
