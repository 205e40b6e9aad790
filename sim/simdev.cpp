// simdev: the device simulator's command line (docs/simulator.md).
//
//   simdev mkroot [--profile FILE] [--fresh] DIR
//   simdev run --root DIR [--fresh] [--keep] [--bind PATH]... [--env NAME=VALUE]...
//              [--workdir DIR] [--timeout SECONDS] -- COMMAND [ARGS...]
//   simdev boot --root DIR [--profile FILE] [--fresh] [--report DIR] [--program FILE]
//               [--install HOSTFILE:PATH]... [--shm PATH [--shm-state N] [--shm-fail]]
//               [--key SECONDS:CODE[:VALUE]]... [--key-wait] [--saver SECONDS] [--second-at SECONDS]
//               [--killapps-exit N] [--end idle|program] [--bind PATH]... [--env NAME=VALUE]...
//               [--timeout SECONDS] [--cut-erase N | --cut-write N | --cut-frame N | --cut-time S]
//               [-- COMMAND [ARGS...]]
//   simdev report --root DIR --report OUT
//
// `run` boots the device root: COMMAND runs inside DIR, the root of its fresh
// user, mount, IPC and PID namespaces. With --fresh the root is made anew and removed
// after the boot (unless --keep); without it the root persists between boots.
// `boot` starts the whole simulated phone around the program: the kernel's
// /proc files, syslog, the IPC listener, the configuration saver, the
// keypad, a second program; then writes a report.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "sim/boot.h"
#include "sim/chip.h"
#include "sim/device.h"
#include "sim/report.h"
#include "sim/rootfs.h"
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
          "                  [--key SECONDS:CODE[:VALUE]]... [--key-wait] [--saver SECONDS] [--second-at SECONDS]\n"
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

// A root argument: absolute, links and ".." resolved, so that what simdev
// empties and fills is the folder that carries its marker.
std::string root_arg(const std::string& path) { return sim::simroot_resolve(absolute(path)); }

// simdev's own options (before "--") hold no control character: a name
// that shows differently from what it is is refused, and named.
bool plain_options(int argc, char** argv) {
  for (int i = 0; i < argc && strcmp(argv[i], "--") != 0; ++i)
    if (sim::has_control(argv[i])) {
      fprintf(stderr, "simdev: argument \"%s\": a control character in an option or path\n",
              sim::printable(argv[i]).c_str());
      return false;
    }
  return true;
}

// Largest host file copied into a root (--program, --install).
constexpr unsigned long long kMaxInstall = 256ull * 1024 * 1024;
constexpr long long kMaxTimeoutSeconds = 86400;

// A refusal of the command line: names the option and the value.
bool refuse(const std::string& option, const std::string& value, const std::string& expected) {
  fprintf(stderr, "simdev: %s %s: expected %s\n", option.c_str(), value.c_str(), expected.c_str());
  return false;
}

int refused(const std::string& option, const std::string& value, const std::string& expected) {
  (void)refuse(option, value, expected);
  return 2;
}

bool timeout_arg(const std::string& value, int* out) {
  long long v = 0;
  if (!sim::parse_int(value, 1, kMaxTimeoutSeconds, &v))
    return refuse("--timeout", value, "whole seconds from 1 to 86400");
  *out = static_cast<int>(v);
  return true;
}

bool seconds_arg(const std::string& option, const std::string& value, double* out) {
  return sim::parse_seconds(value, out) || refuse(option, value, "seconds from 0 to 86400 (digits and a fraction)");
}

// Copies a regular host file to PATH inside the root, never outside it.
bool copy_into(const char* option, const std::string& from, const std::string& root, const std::string& to,
               mode_t mode) {
  std::string data, error;
  if (sim::read_regular_file(from, kMaxInstall, &data, &error) != 0 ||
      sim::simroot_write(root, to, data, mode, &error) != 0) {
    fprintf(stderr, "simdev: %s: %s\n", option, error.c_str());
    return false;
  }
  return true;
}

// The command must be where the boot will look for it: in a bound host
// directory, or inside the root (looked up inside it, so that links in the
// root resolve as the boot resolves them).
bool command_exists(const sim::BootOptions& o) {
  std::string cmd = o.argv[0];
  if (cmd.empty()) return false;
  if (cmd[0] != '/') cmd = o.workdir + "/" + cmd;
  for (const std::string& b : o.binds)
    if (cmd.rfind(b + "/", 0) == 0) return access(cmd.c_str(), X_OK) == 0;
  int fd = sim::rootfs_open(o.root, cmd, O_PATH);
  struct stat st;
  bool found = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111);
  if (fd >= 0) close(fd);
  if (found) return true;
  fprintf(stderr, "simdev: %s: no executable file of that name inside the root %s (nor in a --bind directory)\n",
          sim::printable(o.argv[0]).c_str(), o.root.c_str());
  return false;
}

// Host directories shown in the root at the same path: that path must stay inside the root.
bool binds_inside(const std::vector<std::string>& binds) {
  std::string error;
  for (const std::string& b : binds)
    if (sim::simroot_check_path(b, &error) != 0) return refuse("--bind", b, "an absolute path: " + error);
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
      o.root = root_arg(argv[++i]);
    } else if (a == "--bind" && has_value) {
      o.binds.push_back(argv[++i]);
    } else if (a == "--env" && has_value) {
      o.env.push_back(argv[++i]);
    } else if (a == "--workdir" && has_value) {
      o.workdir = argv[++i];
    } else if (a == "--timeout" && has_value) {
      if (!timeout_arg(argv[++i], &o.timeout_seconds)) return 2;
    } else {
      return usage();
    }
  }
  for (; i < argc; ++i) o.argv.push_back(argv[i]);
  if (o.root.empty() || o.argv.empty()) return usage();
  if (!binds_inside(o.binds)) return 2;
  if (fresh && sim::simroot_remove(o.root.c_str()) != 0) return 125;
  if (sim::simroot_populate(o.root.c_str()) != 0) return 125;
  if (!command_exists(o)) return 127;
  int status = sim::boot_run(o);
  if (fresh && !keep) sim::simroot_remove(o.root.c_str());
  return status < 0 ? 125 : status;
}

int make_device(const std::string& root, const std::string& profile_path, bool fresh, sim::Profile* profile) {
  std::string error;
  if (sim::device_profile(root, profile_path, profile, &error) != 0) {
    fprintf(stderr, "simdev: %s%s\n", profile_path.empty() ? "" : "--profile ", error.c_str());
    return -1;
  }
  struct stat st;
  bool is_new = sim::rootfs_lstat(root, "/sim/state/env", &st) != 0;
  if (profile_path.empty() && (fresh || is_new) && sim::device_kept_profile_safe(root, *profile, &error) != 0) {
    fprintf(stderr, "simdev: %s\n", error.c_str());
    return -1;
  }
  if (fresh && sim::simroot_remove(root.c_str()) != 0) return -1;
  is_new = is_new || fresh;
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
    else if (root.empty() && a[0] != '-') root = root_arg(a);
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
  bool fresh = false, shm_fail = false, key_wait = false;
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
    } else if (a == "--key-wait") {
      key_wait = true;
    } else if (a == "--root" && v) {
      o.root = root_arg(argv[++i]);
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
      long long n = 0;
      std::string value = argv[++i];
      if (!sim::parse_int(value, INT32_MIN, INT32_MAX, &n)) return refused(a, value, "a whole number");
      shm_state = static_cast<int>(n);
    } else if (a == "--shmwriter" && v) {
      shmwriter = absolute(argv[++i]);
    } else if (a == "--key" && v) {
      keys.push_back(argv[++i]);
    } else if (a == "--saver" && v) {
      if (!seconds_arg(a, argv[++i], &saver)) return 2;
    } else if (a == "--second-at" && v) {
      if (!seconds_arg(a, argv[++i], &second_at)) return 2;
    } else if (a == "--killapps-exit" && v) {
      long long n = 0;
      std::string value = argv[++i];
      if (!sim::parse_int(value, 0, 255, &n)) return refused(a, value, "an exit code from 0 to 255");
      killapps_exit = static_cast<int>(n);
    } else if (a == "--end" && v) {
      end = argv[++i];
    } else if (a == "--bind" && v) {
      o.binds.push_back(argv[++i]);
    } else if (a == "--env" && v) {
      o.env.push_back(argv[++i]);
    } else if (a == "--timeout" && v) {
      if (!timeout_arg(argv[++i], &o.timeout_seconds)) return 2;
    } else if (int taken = cut_option(a, v ? argv[i + 1] : nullptr, &cuts)) {
      i += taken - 1;
    } else {
      return usage();
    }
  }
  for (; i < argc; ++i) o.argv.push_back(argv[i]);
  if (o.root.empty()) return usage();
  if (o.argv.empty()) o.argv.push_back("/basic/bin/upgrader");
  if (!binds_inside(o.binds)) return 2;
  if (!end.empty() && end != "idle" && end != "program") return refused("--end", end, "idle or program");
  std::string path_error;
  if (!shm.empty() && sim::simroot_check_path(shm, &path_error) != 0) return refused("--shm", shm, path_error);
  for (const std::string& given : keys) {
    std::string k = given;
    for (char& c : k)
      if (c == ':') c = ' ';
    sim::KeyPress press;
    if (!sim::parse_key(k, &press))
      return refused("--key", given, "SECONDS:CODE[:VALUE], seconds from 0 to 86400, a code up to 65535");
  }

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
  if (key_wait) set("keypad", "wait_for_reader", "yes");
  if (saver >= 0) set("saver", "hold", std::to_string(saver));
  if (killapps_exit >= 0) set("apps", "killapps_exit", std::to_string(killapps_exit));
  if (!end.empty()) set("boot", "end", end);
  for (const auto& [key, value] : cuts) set("cut", key, value);
  if (program.size() && !copy_into("--program", program, o.root, "/basic/bin/upgrader", 0755)) return 125;
  for (const std::string& spec : installs) {
    size_t colon = spec.rfind(':');
    if (colon == std::string::npos || colon + 1 >= spec.size() || spec[colon + 1] != '/')
      return refused("--install", spec, "HOSTFILE:/PATH");
    if (!copy_into("--install", absolute(spec.substr(0, colon)), o.root, spec.substr(colon + 1), 0755)) return 125;
  }
  if (!command_exists(o)) return 127;
  const std::vector<std::string> program_argv = o.argv;
  if (!shm.empty()) {
    if (shmwriter.empty() || !copy_into("--shmwriter", shmwriter, o.root, "/sim/bin/shmwriter", 0755)) {
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
    if (strcmp(argv[i], "--root") == 0) root = root_arg(argv[i + 1]);
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
  if (!plain_options(argc - 1, argv + 1)) return 2;
  if (strcmp(argv[1], "mkroot") == 0) return cmd_mkroot(argc - 2, argv + 2);
  if (strcmp(argv[1], "run") == 0) return cmd_run(argc - 2, argv + 2);
  if (strcmp(argv[1], "boot") == 0) return cmd_boot(argc - 2, argv + 2);
  if (strcmp(argv[1], "report") == 0) return cmd_report(argc - 2, argv + 2);
  return usage();
}
