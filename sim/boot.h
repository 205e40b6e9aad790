// Running a command on the simulated device: fresh mount, IPC and PID
// namespaces, chrooted into the device root.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct BootOptions {
  std::string root;                     // device root directory
  std::vector<std::string> binds;       // host paths made visible read-only at the same path
  std::vector<std::string> argv;        // command, run inside the root
  std::vector<std::string> env;         // NAME=value added to the command's environment
  std::string workdir = "/";            // working directory inside the root
  int timeout_seconds = 0;              // 0: none; else the boot is killed after it
};

// Runs the command and returns its status as a shell reports it: the exit
// code, or 128 + signal number. -1 when the boot could not be set up.
// Every process of the boot ends with it; no mount survives it.
int boot_run(const BootOptions& options);

}  // namespace sim
