#include "sim/device.h"

#include <limits.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "sim/chip.h"
#include "sim/rootfs.h"
#include "sim/simroot.h"

namespace sim {

const char kTypicalProfile[] =
    "[device]\n"
    "hwver = 59.0.0.1.0.0.0.0\n"
    "software = 59.1.2.3,Jan 1 2026\n"
    "[env]\n"
    "mtd0 = 0x90130000,0x90330000\n"
    "mtd1 = 0x90030000,0x90130000\n"
    "mtd2 = 0x90000000,0x90020000\n"
    "mtd3 = 0x90020000,0x90030000\n"
    "mtd4 = 0x90330000,0x903b0000\n"
    "mtd5 = 0x903b0000,0x904b0000\n"
    "mtd6 = 0x904b0000,0x907b0000\n"
    "mtd7 = 0x907b0000,0x907d0000\n"
    "mtd8 = 0x907d0000,0x907f0000\n"
    "mtd9 = 0x907f0000,0x90800000\n"
    "SW_OEM = 0\n"
    "SW_protect = 0\n"
    "MID_VERSION = 0\n"
    "Mtd2Version = 59.1.0.1\n"
    "[app_version]\n"
    "RomVersion = 59.1.2.3\n"
    "Mtd6Version = 59.1.2.3\n"
    "[basic_version]\n"
    "Mtd5Version = 59.1.2.3\n"
    "[root_version]\n"
    "Mtd0Version = 59.1.2.3\n"
    "[flash]\n"
    "size = 8M\n"
    "base = 0x90000000\n"
    "erase_size = 65536\n"
    "remap = yes\n"
    "[ipc]\n"
    "sem_sets = 3\n"
    "shm_segments = 2\n";

namespace {

constexpr unsigned long long kGtypeFramebuffer = 480 * 272 * 2;  // 16 bits a pixel
constexpr unsigned long long kMonoFramebuffer = 480 * 272 / 2;   // 4 bits a pixel
// Bounds of what a profile may ask for, checked before anything is allocated.
constexpr unsigned long long kMaxPartitionSize = 256ull * 1024 * 1024;
constexpr unsigned long long kMaxEraseSize = 16ull * 1024 * 1024;
constexpr unsigned long long kMaxFramebuffer = 16ull * 1024 * 1024;
constexpr unsigned long long kMaxRootFile = 256ull * 1024 * 1024;
constexpr unsigned long long kMaxKeptProfile = 1024 * 1024;
constexpr long long kMaxTimeoutSeconds = 86400;
const char kDefaultHwver[] = "59.0.0.1.0.0.0.0";

bool fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

// A refusal that names the key and the value.
bool bad_value(std::string* error, const std::string& section, const std::string& key, const std::string& value,
               const std::string& expected) {
  return fail(error, "[" + section + "] " + key + " = " + value + ": expected " + expected);
}

bool seconds_of(const Profile& p, const char* section, const char* key, const char* fallback, double* out,
                std::string* error) {
  std::string value = p.get(section, key, fallback);
  if (parse_seconds(value, out)) return true;
  return bad_value(error, section, key, value, "seconds from 0 to 86400 (digits and a fraction)");
}

bool int_of(const Profile& p, const char* section, const char* key, const char* fallback, long long min,
            long long max, long long* out, std::string* error) {
  std::string value = p.get(section, key, fallback);
  if (parse_int(value, min, max, out)) return true;
  return bad_value(error, section, key, value,
                   "a whole number from " + std::to_string(min) + " to " + std::to_string(max));
}

// Files of the root, looked up inside it (sim/rootfs.h).
bool write_text(const std::string& root, const std::string& path, const std::string& text, std::string* error,
                mode_t mode = 0644) {
  if (rootfs_write(root, path, text, mode) == 0) return true;
  return fail(error, root + path + ": " + strerror(errno));
}

bool exists(const std::string& root, const std::string& path) {
  struct stat st;
  return rootfs_lstat(root, path, &st) == 0;
}

bool make_dirs(const std::string& root, const std::string& path, std::string* error) {
  if (rootfs_mkdirs(root, path) == 0) return true;
  return fail(error, root + path + ": " + strerror(errno));
}

bool read_text(const std::string& root, const std::string& path, std::string* out) {
  return rootfs_read(root, path, kMaxRootFile, out) == 0;
}

// Panel fitted: from the profile, else as the program decides it: from the
// first line of /proc/misc/hwver read as eight numbers (fields that do not
// parse stay 0), G-type when the last is odd, or the first is 59 and the low
// four bits of the fourth are 1. A hardware version the program cannot read
// leaves every field 0: the 4-bit panel.
bool gtype_panel(const std::string& root, const Profile& p) {
  std::string type = p.get("panel", "type", "auto");
  if (type == "gtype") return true;
  if (type == "mono") return false;
  std::string hwver;
  for (const std::string& f : p.all("faults", "procfs"))
    if (f == "hwver_read") return false;
  if (!read_text(root, "/sim/state/hwver", &hwver)) return false;
  hwver = hwver.substr(0, hwver.find('\n'));
  int f[8] = {};
  if (sscanf(hwver.c_str(), "%d.%d.%d.%d.%d.%d.%d.%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7]) < 0)
    return false;
  return (f[7] & 1) || (f[0] == 59 && (f[3] & 0xF) == 1);
}

bool make_version_file(const std::string& root, const std::string& path, const Profile& p, const char* section,
                       std::string* error) {
  return !p.has_section(section) || write_text(root, path, device_version_text(p, section), error);
}

// Control files of the emulated flash: erase size and re-map support from
// [flash], fault lines from [faults] mtdN = "fail erase 3" and the like.
bool write_flash_controls(const std::string& root, const Profile& p, std::string* error) {
  std::string erase = p.get("flash", "erase_size", "65536");
  unsigned long long erase_size = 0;
  if (!parse_size_max(erase, kMaxEraseSize, &erase_size) || erase_size == 0 || (erase_size & (erase_size - 1)))
    return bad_value(error, "flash", "erase_size", erase, "a power of two up to " + std::to_string(kMaxEraseSize));
  bool remap = true;
  if (!parse_bool(p.get("flash", "remap", "yes"), &remap))
    return bad_value(error, "flash", "remap", p.get("flash", "remap"), "yes or no");
  for (int i = 0; i <= 9; ++i) {
    std::string name = "mtd" + std::to_string(i);
    std::string dev = "/dev/" + name;
    if (!exists(root, dev)) continue;
    std::string text = "erasesize " + erase + "\nremap " + (remap ? "1" : "0") + "\n";
    for (const std::string& line : p.all("faults", name)) text += line + "\n";
    if (!write_text(root, dev + ".sim", text, error)) return false;
  }
  return true;
}

// The values go into a shell script: both are checked numbers.
bool killapps_script(const Profile& p, std::string* script, std::string* error) {
  double seconds_value = 0;
  long long code_value = 0;
  if (!seconds_of(p, "apps", "killapps_seconds", "0", &seconds_value, error) ||
      !int_of(p, "apps", "killapps_exit", "0", 0, 255, &code_value, error))
    return false;
  std::string seconds = p.get("apps", "killapps_seconds", "0"), code = std::to_string(code_value);
  *script = "#!/bin/sh\n"
         "# Stops the phone's applications (simulated: takes " + seconds + " s, ends with " + code + ").\n"
         "echo killapps >> /sim/boot/killapps\n"
         "sleep " + seconds + "\n"
         "exit " + code + "\n";
  return true;
}

// [cut] erase/write/frame = N, time = SECONDS: where the power goes.
bool cut_count(const Profile& p, const char* key, long* out, std::string* error) {
  if (!p.has("cut", key)) return true;
  std::string v = trim(p.get("cut", key));
  long long n = 0;
  if (!parse_int(v, 1, LONG_MAX, &n)) return fail(error, std::string("[cut] ") + key + " = \"" + v + "\": expected a count from 1");
  *out = static_cast<long>(n);
  return true;
}

bool read_cut(const Profile& p, PowerCut* cut, std::string* error) {
  if (!cut_count(p, "erase", &cut->erase, error) || !cut_count(p, "write", &cut->write, error) ||
      !cut_count(p, "frame", &cut->frame, error))
    return false;
  if (!p.has("cut", "time")) return true;
  std::string v = trim(p.get("cut", "time"));
  double t = 0;
  if (!parse_seconds(v, &t) || t <= 0) return fail(error, "[cut] time = \"" + v + "\": expected seconds above 0");
  cut->time = t;
  return true;
}

// The chip for this boot: timing, the windows, the power cut.
bool prepare_flash(const std::string& root, const Profile& p, DeviceBoot* boot, std::string* error) {
  bool persists = false;
  if (chip_boot_settings(p, &boot->timing, &persists, error) != 0 || !read_cut(p, &boot->cut, error)) return false;
  if (chip_boot_begin(root, persists, error) != 0) return false;
  boot->flash = true;
  return true;
}

}  // namespace

std::string device_version_text(const Profile& p, const char* section) {
  std::string text = "[Version]\n";
  if (const ProfileSection* s = p.section(section))
    for (const auto& kv : s->entries) text += kv.first + "=" + kv.second + "\n";
  return text;
}

int device_create(const std::string& root, const Profile& p, bool fresh, std::string* error) {
  std::string state = "/sim/state";
  if (!make_dirs(root, state, error)) return -1;
  if (!write_text(root, state + "/hwver", p.get("device", "hwver", kDefaultHwver) + "\n", error)) return -1;
  if (!write_text(root, state + "/software", p.get("device", "software", "59.1.2.3,Jan 1 2026") + "\n", error)) return -1;
  if (fresh || !exists(root, state + "/env")) {
    std::string env;
    if (const ProfileSection* s = p.section("env"))
      for (const auto& kv : s->entries) env += kv.first + " " + kv.second + "\n";
    if (!write_text(root, state + "/env", env, error)) return -1;
  }
  if (!make_version_file(root, "/app/version.conf", p, "app_version", error)) return -1;
  if (!make_version_file(root, "/basic/version.conf", p, "basic_version", error)) return -1;
  if (!make_version_file(root, "/version.conf", p, "root_version", error)) return -1;
  if (chip_create(root, p, fresh, error) != 0) return -1;
  if (!write_flash_controls(root, p, error)) return -1;
  if (const ProfileSection* s = p.section("files")) {
    for (const auto& kv : s->entries) {
      std::string content, why;
      if (simroot_check_path(kv.first, &why) != 0) {
        if (error) *error = "[files] " + why;
        return -1;
      }
      if (kv.second.rfind("@", 0) == 0) {
        if (read_regular_file(p.file(kv.second.substr(1)), kMaxRootFile, &content, &why) != 0) {
          if (error) *error = "[files] " + kv.first + " = " + kv.second + ": " + why;
          return -1;
        }
      } else {
        content = ini_unescape(kv.second);
      }
      if ((fresh || !exists(root, kv.first)) && simroot_write(root, kv.first, content, 0644, &why) != 0) {
        if (error) *error = "[files] " + kv.first + ": " + why;
        return -1;
      }
    }
  }
  std::vector<std::pair<std::string, std::string>> keys;
  if (device_release_keys(p, &keys, error) != 0) return -1;
  for (const auto& [path, text] : keys) {
    std::string why;
    if (simroot_write(root, path, text, 0644, &why) != 0) {
      if (error) *error = "[keys] " + path + ": " + why;
      return -1;
    }
  }
  // Keep the profile with the phone, so that later boots follow it.
  std::string text;
  if (!p.path.empty() && read_root_file(p.path, &text)) {
    if (!write_text(root, "/sim/profile.ini", text, error)) return -1;
  } else if (!exists(root, "/sim/profile.ini") && p.path.empty()) {
    if (!write_text(root, "/sim/profile.ini", kTypicalProfile, error)) return -1;
  }
  return 0;
}

int device_release_keys(const Profile& p, std::vector<std::pair<std::string, std::string>>* keys,
                        std::string* error) {
  const ProfileSection* s = p.section("keys");
  for (size_t i = 0; s && i < s->entries.size(); ++i) {
    const auto& [name, file] = s->entries[i];
    std::string text, why;
    if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") != std::string::npos) {
      why = "a key's name is lower-case letters, digits, '-' and '_'";
    } else if (read_regular_file(p.file(file), 4096, &text, &why) == 0) {
      keys->emplace_back("/basic/keys/" + name + ".pem", text);
      continue;
    }
    if (error) *error = "[keys] " + name + " = " + file + ": " + why;
    return -1;
  }
  return 0;
}

int device_kept_profile_safe(const std::string& root, const Profile& p, std::string* error) {
  for (const ProfileSection& sec : p.sections)
    for (const auto& kv : sec.entries)
      if ((sec.name == "flash" && kv.second.find("file=") != std::string::npos) ||
          (sec.name == "files" && kv.second.rfind("@", 0) == 0) || sec.name == "keys") {
        if (error)
          *error = root + "/sim/profile.ini: [" + sec.name + "] " + printable(kv.first) +
                   " names a host file, which a profile kept in the root may not: give --profile";
        return -1;
      }
  return 0;
}

int device_profile(const std::string& root, const std::string& given, Profile* out, std::string* error) {
  if (!given.empty()) return profile_load(given, out, error);
  std::string text;
  if (!exists(root, "/sim/profile.ini")) return profile_parse(kTypicalProfile, out, error);
  if (rootfs_read(root, "/sim/profile.ini", kMaxKeptProfile, &text) != 0) {
    if (error) *error = root + "/sim/profile.ini: " + strerror(errno);
    return -1;
  }
  Profile p;
  if (profile_parse(text, &p, error) != 0) return -1;
  p.base_dir = root + "/sim";
  *out = p;
  return 0;
}

int device_prepare_boot(const std::string& root, const Profile& p, DeviceBoot* boot, int* timeout_seconds,
                        std::string* error) {
  // What a restart wipes: this boot's records, the screen, the keypad queue.
  if (rootfs_remove_tree(root, "/sim/boot", false) != 0 && errno != ENOENT)
    return fail(error, root + "/sim/boot: " + strerror(errno)), -1;
  if (!make_dirs(root, "/sim/boot/frames", error)) return -1;
  unsigned long long fb_size = gtype_panel(root, p) ? kGtypeFramebuffer : kMonoFramebuffer;
  std::string type = p.get("panel", "type", "auto");
  if (type != "auto" && type != "gtype" && type != "mono") {
    bad_value(error, "panel", "type", type, "auto, gtype or mono");
    return -1;
  }
  if (p.has("panel", "fb_size") &&
      (!parse_size_max(p.get("panel", "fb_size"), kMaxFramebuffer, &fb_size) || fb_size == 0)) {
    bad_value(error, "panel", "fb_size", p.get("panel", "fb_size"),
              "a size from 1 to " + std::to_string(kMaxFramebuffer) + " bytes");
    return -1;
  }
  if (!write_text(root, "/dev/fb0", std::string(fb_size, '\xff'), error)) return -1;
  std::string fb_fail;
  for (const std::string& line : p.all("faults", "fb0")) fb_fail += line + "\n";
  (void)rootfs_unlink(root, "/dev/fb0.fail");
  if (!fb_fail.empty() && !write_text(root, "/dev/fb0.fail", fb_fail, error)) return -1;

  if (rootfs_unlink(root, "/dev/input/event0") != 0 || rootfs_mkfifo(root, "/dev/input/event0", 0666) != 0) {
    if (error) *error = root + "/dev/input/event0: " + strerror(errno);
    return -1;
  }
  // The board-control record starts empty at each boot; its fault lines stay.
  std::string misc_old, misc;
  (void)read_text(root, "/dev/misc0", &misc_old);
  std::istringstream lines(misc_old);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind("fail ", 0) == 0) misc += line + "\n";
  for (const std::string& f : p.all("faults", "misc0")) misc += f + "\n";
  if (!write_text(root, "/dev/misc0", misc, error)) return -1;
  // Sockets of the last boot's processes are gone with them.
  if (rootfs_remove_tree(root, "/var/ipc", true) != 0 && errno != ENOENT)
    return fail(error, root + "/var/ipc: " + strerror(errno)), -1;
  if (!make_dirs(root, "/var/ipc", error)) return -1;
  (void)rootfs_unlink(root, "/sim/reboot-requests");

  if (p.has_section("faults") && !write_flash_controls(root, p, error)) return -1;
  std::string killapps;
  if (!killapps_script(p, &killapps, error) || !write_text(root, "/app/scripts/killapps.sh", killapps, error, 0755))
    return -1;

  boot->enabled = true;
  if (!prepare_flash(root, p, boot, error)) return -1;
  for (const std::string& f : p.all("faults", "procfs")) {
    if (f == "env_read") boot->procfs.env_read_fails = true;
    else if (f == "env_write") boot->procfs.env_write_fails = true;
    else if (f == "hwver_read") boot->procfs.hwver_read_fails = true;
    else if (f == "refresh") boot->procfs.refresh_fails = true;
    else {
      bad_value(error, "faults", "procfs", f, "env_read, env_write, hwver_read or refresh");
      return -1;
    }
  }
  if (p.has("saver", "hold")) {
    boot->saver = true;
    if (!seconds_of(p, "saver", "hold", "0", &boot->saver_hold, error) ||
        !seconds_of(p, "saver", "start", "0", &boot->saver_start, error))
      return -1;
  }
  for (const std::string& k : p.all("keypad", "key")) {
    KeyPress press;
    if (!parse_key(k, &press)) {
      bad_value(error, "keypad", "key", k, "SECONDS CODE [VALUE]: seconds from 0 to 86400, a code up to 65535");
      return -1;
    }
    boot->keys.push_back(press);
  }
  if (!parse_bool(p.get("keypad", "wait_for_reader", "no"), &boot->keys_wait_for_reader)) {
    bad_value(error, "keypad", "wait_for_reader", p.get("keypad", "wait_for_reader"), "yes or no");
    return -1;
  }
  if (p.has("second", "command")) {
    boot->second = true;
    boot->second_argv = {"/bin/sh", "-c", p.get("second", "command")};
    if (!seconds_of(p, "second", "at", "0", &boot->second_at, error)) return -1;
  }
  bool works = true;
  if (!parse_bool(p.get("reboot", "works", "yes"), &works)) {
    bad_value(error, "reboot", "works", p.get("reboot", "works"), "yes or no");
    return -1;
  }
  boot->reboot_fails = !works;
  std::string end = p.get("boot", "end", "idle");
  if (end != "idle" && end != "program") {
    bad_value(error, "boot", "end", end, "idle or program");
    return -1;
  }
  boot->end_when_idle = end == "idle";
  long long timeout = 0;
  if (p.has("boot", "timeout")) {
    if (!int_of(p, "boot", "timeout", "", 1, kMaxTimeoutSeconds, &timeout, error)) return -1;
    *timeout_seconds = static_cast<int>(timeout);
  }
  if (p.has("boot", "hostname")) boot->hostname = p.get("boot", "hostname");
  // The kernel's bound, checked here so that the refusal names the key.
  if (boot->hostname.size() > HOST_NAME_MAX) {
    bad_value(error, "boot", "hostname", boot->hostname, "at most " + std::to_string(HOST_NAME_MAX) + " bytes");
    return -1;
  }
  if (sysv_profile(p, &boot->sysv_objects, error) != 0) return -1;
  return 0;
}

}  // namespace sim
