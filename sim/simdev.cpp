// simdev: the device simulator's command line (docs/simulator.md).
//
//   simdev mkroot [--profile FILE] [--fresh] DIR
//   simdev run --root DIR [--fresh] [--keep] [--bind PATH]... [--env NAME=VALUE]...
//              [--workdir DIR] [--timeout SECONDS] -- COMMAND [ARGS...]
//   simdev boot --root DIR [--profile FILE] [--fresh] [--report DIR] [--program FILE]
//               [--install HOSTFILE:PATH]... [--shm PATH [--shm-state N] [--shm-fail]]
//               [--key SECONDS:CODE[:VALUE]]... [--saver SECONDS] [--second-at SECONDS]
//               [--killapps-exit N] [--end idle|program] [--bind PATH]... [--env NAME=VALUE]...
//               [--timeout SECONDS] [--cut-erase N | --cut-write N | --cut-frame N | --cut-time S]
//               [-- COMMAND [ARGS...]]
//   simdev report --root DIR --report OUT
//
// `run` boots the device root: COMMAND runs chrooted into DIR in fresh mount,
// IPC and PID namespaces. With --fresh the root is made anew and removed
// after the boot (unless --keep); without it the root persists between boots.
// `boot` starts the whole simulated phone around the program: the kernel's
// /proc files, syslog, the IPC listener, the configuration saver, the
// keypad, a second program; then writes a report.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "sim/boot.h"
#include "sim/chip.h"
#include "sim/device.h"
#include "sim/report.h"
#include "sim/simroot.h"

#ifndef SIMDEV_SHMWRITER
#define SIMDEV_SHMWRITER ""
#endif

namespace {

int usage() {
  fprintf(stderr,
          "usage: simdev mkroot [--profile FILE] [--fresh] DIR\n"
          "       simdev run --root DIR [--fresh] [--keep] [--bind PATH]... [--env NAME=VALUE]...\n"
          "                  [--workdir DIR] [--timeout SECONDS] -- COMMAND [ARGS...]\n"
          "       simdev boot --root DIR [--profile FILE] [--fresh] [--report DIR] [--program FILE]\n"
          "                  [--install HOSTFILE:PATH]... [--shm PATH [--shm-state N] [--shm-fail]]\n"
          "                  [--key SECONDS:CODE[:VALUE]]... [--saver SECONDS] [--second-at SECONDS]\n"
          "                  [--killapps-exit N] [--end idle|program] [--bind PATH]... [--env NAME=VALUE]...\n"
          "                  [--timeout SECONDS] [--cut-erase N | --cut-write N | --cut-frame N | --cut-time S]\n"
          "                  [-- COMMAND [ARGS...]]\n"
          "       simdev report --root DIR --report OUT\n");
  return 2;
}

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

bool copy_into(const std::string& from, const std::string& to, mode_t mode) {
  std::ifstream in(from, std::ios::binary);
  if (!in) {
    fprintf(stderr, "simdev: cannot read %s\n", from.c_str());
    return false;
  }
  for (size_t i = 1; i < to.size(); ++i)
    if (to[i] == '/') mkdir(to.substr(0, i).c_str(), 0755);
  std::string tmp = to + ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    // Streaming an empty file sets the output's failbit: an empty file is fine.
    if (in.peek() != std::ifstream::traits_type::eof()) out << in.rdbuf();
    if (!out) {
      fprintf(stderr, "simdev: cannot write %s\n", to.c_str());
      return false;
    }
  }
  if (chmod(tmp.c_str(), mode) != 0 || rename(tmp.c_str(), to.c_str()) != 0) {
    fprintf(stderr, "simdev: cannot write %s: %s\n", to.c_str(), strerror(errno));
    return false;
  }
  return true;
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
  o.root = absolute(o.root);
  if (fresh && sim::simroot_remove(o.root.c_str()) != 0) return 125;
  if (sim::simroot_populate(o.root.c_str()) != 0) return 125;
  int status = sim::boot_run(o);
  if (fresh && !keep) sim::simroot_remove(o.root.c_str());
  return status < 0 ? 125 : status;
}

int make_device(const std::string& root, const std::string& profile_path, bool fresh, sim::Profile* profile) {
  std::string error;
  if (sim::device_profile(root, profile_path, profile, &error) != 0) {
    fprintf(stderr, "simdev: %s\n", error.c_str());
    return -1;
  }
  if (fresh && sim::simroot_remove(root.c_str()) != 0) return -1;
  struct stat st;
  bool is_new = stat((root + "/sim/state/env").c_str(), &st) != 0;
  if (sim::simroot_populate(root.c_str()) != 0) return -1;
  if ((is_new || !profile_path.empty()) &&
      sim::device_create(root, *profile, fresh || is_new, &error) != 0) {
    fprintf(stderr, "simdev: %s\n", error.c_str());
    return -1;
  }
  return 0;
}

int cmd_mkroot(int argc, char** argv) {
  std::string profile, root;
  bool fresh = false;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--profile" && i + 1 < argc) profile = absolute(argv[++i]);
    else if (a == "--fresh") fresh = true;
    else if (root.empty() && a[0] != '-') root = absolute(a);
    else return usage();
  }
  if (root.empty()) return usage();
  // Without a profile, only the bare layout (as `run` makes it).
  if (profile.empty() && !fresh) return sim::simroot_populate(root.c_str()) == 0 ? 0 : 1;
  sim::Profile p;
  return make_device(root, profile, fresh, &p) == 0 ? 0 : 1;
}

// --cut-erase N, --cut-write N, --cut-frame N, --cut-time SECONDS: where
// the power goes, as the profile's [cut] keys (checked there). Answers the
// count of arguments taken: 2, or 0 when `a` is none of them.
int cut_option(const std::string& a, const char* value, std::vector<std::pair<std::string, std::string>>* cuts) {
  for (const char* what : {"erase", "write", "frame", "time"}) {
    if (a != std::string("--cut-") + what || !value) continue;
    cuts->emplace_back(what, value);
    return 2;
  }
  return 0;
}

int cmd_boot(int argc, char** argv) {
  sim::BootOptions o;
  std::string profile_path, report_dir, program, shm, shmwriter = SIMDEV_SHMWRITER, end;
  std::vector<std::string> installs, keys;
  std::vector<std::pair<std::string, std::string>> cuts;
  bool fresh = false, shm_fail = false;
  int shm_state = 0, killapps_exit = -1;
  double saver = -1, second_at = -1;
  int i = 0;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    bool v = i + 1 < argc;
    if (a == "--") {
      ++i;
      break;
    } else if (a == "--fresh") {
      fresh = true;
    } else if (a == "--shm-fail") {
      shm_fail = true;
    } else if (a == "--root" && v) {
      o.root = absolute(argv[++i]);
    } else if (a == "--profile" && v) {
      profile_path = absolute(argv[++i]);
    } else if (a == "--report" && v) {
      report_dir = absolute(argv[++i]);
    } else if (a == "--program" && v) {
      program = absolute(argv[++i]);
    } else if (a == "--install" && v) {
      installs.push_back(argv[++i]);
    } else if (a == "--shm" && v) {
      shm = argv[++i];
    } else if (a == "--shm-state" && v) {
      shm_state = atoi(argv[++i]);
    } else if (a == "--shmwriter" && v) {
      shmwriter = absolute(argv[++i]);
    } else if (a == "--key" && v) {
      keys.push_back(argv[++i]);
    } else if (a == "--saver" && v) {
      saver = atof(argv[++i]);
    } else if (a == "--second-at" && v) {
      second_at = atof(argv[++i]);
    } else if (a == "--killapps-exit" && v) {
      killapps_exit = atoi(argv[++i]);
    } else if (a == "--end" && v) {
      end = argv[++i];
    } else if (a == "--bind" && v) {
      o.binds.push_back(argv[++i]);
    } else if (a == "--env" && v) {
      o.env.push_back(argv[++i]);
    } else if (a == "--timeout" && v) {
      o.timeout_seconds = atoi(argv[++i]);
    } else if (int taken = cut_option(a, v ? argv[i + 1] : nullptr, &cuts)) {
      i += taken - 1;
    } else {
      return usage();
    }
  }
  for (; i < argc; ++i) o.argv.push_back(argv[i]);
  if (o.root.empty()) return usage();
  if (o.argv.empty()) o.argv.push_back("/basic/bin/upgrader");

  sim::Profile profile;
  if (make_device(o.root, profile_path, fresh, &profile) != 0) return 125;
  // Command-line settings add to (or replace) the profile's, for this boot.
  auto set = [&](const std::string& sec, const std::string& key, const std::string& value) {
    for (sim::ProfileSection& s : profile.sections)
      if (s.name == sec) {
        s.entries.emplace_back(key, value);
        return;
      }
    profile.sections.push_back(sim::ProfileSection{sec, {{key, value}}});
  };
  for (std::string k : keys) {
    for (char& c : k)
      if (c == ':') c = ' ';
    set("keypad", "key", k);
  }
  if (saver >= 0) set("saver", "hold", std::to_string(saver));
  if (killapps_exit >= 0) set("apps", "killapps_exit", std::to_string(killapps_exit));
  if (!end.empty()) set("boot", "end", end);
  for (const auto& [key, value] : cuts) set("cut", key, value);
  if (program.size() && !copy_into(program, o.root + "/basic/bin/upgrader", 0755)) return 125;
  for (const std::string& spec : installs) {
    size_t colon = spec.rfind(':');
    if (colon == std::string::npos || colon + 1 >= spec.size() || spec[colon + 1] != '/') return usage();
    if (!copy_into(absolute(spec.substr(0, colon)), o.root + spec.substr(colon + 1), 0755)) return 125;
  }
  const std::vector<std::string> program_argv = o.argv;
  if (!shm.empty()) {
    if (shmwriter.empty() || !copy_into(shmwriter, o.root + "/sim/bin/shmwriter", 0755)) {
      fprintf(stderr, "simdev: the shared-memory writer is not available (--shmwriter PATH)\n");
      return 125;
    }
    std::vector<std::string> argv2 = {"/sim/bin/shmwriter", "--state", std::to_string(shm_state)};
    if (shm_fail) argv2.push_back("--fail-load");
    argv2.push_back(shm);
    argv2.push_back("--");
    argv2.insert(argv2.end(), o.argv.begin(), o.argv.end());
    o.argv = argv2;
  }
  std::string error;
  int command_line_timeout = o.timeout_seconds;
  if (sim::device_prepare_boot(o.root, profile, &o.device, &o.timeout_seconds, &error) != 0) {
    fprintf(stderr, "simdev: %s\n", error.c_str());
    return 125;
  }
  if (command_line_timeout > 0) o.timeout_seconds = command_line_timeout;  // the command line wins
  if (second_at >= 0) {
    o.device.second = true;
    o.device.second_at = second_at;
    o.device.second_argv = program_argv;  // the program itself, without the writer
  }
  if (sim::report_boot_begin(o.root, o.argv, &error) != 0) {
    fprintf(stderr, "simdev: report: %s\n", error.c_str());
    return 125;
  }
  int status = sim::boot_run(o);
  if (sim::chip_boot_end(o.root) != 0) fprintf(stderr, "simdev: %s: cannot record the flash windows\n", o.root.c_str());
  if (sim::report_boot_end(o.root, status, &error) != 0 ||
      (!report_dir.empty() && sim::report_of_root(o.root, report_dir, &error) != 0)) {
    fprintf(stderr, "simdev: report: %s\n", error.c_str());
    return 125;
  }
  return status < 0 ? 125 : status;
}

// simdev report --root DIR --report OUT: the report of the root's last boot,
// made afterwards from what the root holds.
int cmd_report(int argc, char** argv) {
  std::string root, dir, error;
  for (int i = 0; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--root") == 0) root = absolute(argv[i + 1]);
    else if (strcmp(argv[i], "--report") == 0) dir = absolute(argv[i + 1]);
    else return usage();
  }
  if (argc % 2 != 0 || root.empty() || dir.empty()) return usage();
  if (sim::report_of_root(root, dir, &error) != 0) {
    fprintf(stderr, "simdev: report: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  if (strcmp(argv[1], "mkroot") == 0) return cmd_mkroot(argc - 2, argv + 2);
  if (strcmp(argv[1], "run") == 0) return cmd_run(argc - 2, argv + 2);
  if (strcmp(argv[1], "boot") == 0) return cmd_boot(argc - 2, argv + 2);
  if (strcmp(argv[1], "report") == 0) return cmd_report(argc - 2, argv + 2);
  return usage();
}
