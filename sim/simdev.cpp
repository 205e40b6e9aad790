// simdev: the device simulator's command line.
//
//   simdev mkroot DIR
//   simdev run --root DIR [--fresh] [--keep] [--bind PATH]... [--env NAME=VALUE]...
//              [--workdir DIR] [--timeout SECONDS] -- COMMAND [ARGS...]
//
// `run` boots the device root: COMMAND runs chrooted into DIR in fresh mount,
// IPC and PID namespaces. With --fresh the root is made anew and removed
// after the boot (unless --keep); without it the root persists between boots.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "sim/boot.h"
#include "sim/simroot.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: simdev mkroot DIR\n"
          "       simdev run --root DIR [--fresh] [--keep] [--bind PATH]... [--env NAME=VALUE]...\n"
          "                  [--workdir DIR] [--timeout SECONDS] -- COMMAND [ARGS...]\n");
  return 2;
}

int cmd_run(int argc, char** argv) {
  sim::BootOptions o;
  bool fresh = false, keep = false;
  int i = 0;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--") {
      ++i;
      break;
    } else if (a == "--fresh") {
      fresh = true;
    } else if (a == "--keep") {
      keep = true;
    } else if (a == "--root" && has_value) {
      o.root = argv[++i];
    } else if (a == "--bind" && has_value) {
      o.binds.push_back(argv[++i]);
    } else if (a == "--env" && has_value) {
      o.env.push_back(argv[++i]);
    } else if (a == "--workdir" && has_value) {
      o.workdir = argv[++i];
    } else if (a == "--timeout" && has_value) {
      o.timeout_seconds = atoi(argv[++i]);
    } else {
      return usage();
    }
  }
  for (; i < argc; ++i) o.argv.push_back(argv[i]);
  if (o.root.empty() || o.argv.empty()) return usage();
  if (o.root[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return 125;
    o.root = std::string(cwd) + "/" + o.root;
  }
  if (fresh && sim::simroot_remove(o.root.c_str()) != 0) return 125;
  if (sim::simroot_populate(o.root.c_str()) != 0) return 125;
  int status = sim::boot_run(o);
  if (fresh && !keep) sim::simroot_remove(o.root.c_str());
  return status < 0 ? 125 : status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  if (strcmp(argv[1], "mkroot") == 0 && argc == 3) return sim::simroot_populate(argv[2]) == 0 ? 0 : 1;
  if (strcmp(argv[1], "run") == 0) return cmd_run(argc - 2, argv + 2);
  return usage();
}
