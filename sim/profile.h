// Device profile: an INI file that describes a simulated phone (what it is
// when made) and what happens around the program during a boot.
// docs/device-profile.md and docs/simulator.md describe the sections.
// Profiles are read with the host programs' INI reader and numbers
// (hostlib/ini.h), which the simulator uses under its own names.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "hostlib/ini.h"

namespace sim {

using hostlib::IniSection;
using hostlib::ini_parse;
using hostlib::ini_unescape;
using hostlib::kMaxIniBytes;
using hostlib::kMaxSeconds;
using hostlib::parse_bool;
using hostlib::parse_decimal;
using hostlib::parse_int;
using hostlib::parse_seconds;
using hostlib::parse_size;
using hostlib::parse_size_max;
using hostlib::read_regular_file;
using hostlib::split_words;
using hostlib::trim;

// A file the simulator itself keeps in the root (at most 256 MiB): true when read whole.
bool read_root_file(const std::string& path, std::string* out);

struct ProfileSection {
  std::string name;
  // In file order; a key may appear more than once (keypad presses).
  std::vector<std::pair<std::string, std::string>> entries;
};

struct Profile {
  std::string path;       // file it was read from ("" when built in code)
  std::string base_dir;   // directory of that file, for relative file names
  std::vector<ProfileSection> sections;

  const ProfileSection* section(const std::string& name) const;
  bool has_section(const std::string& name) const { return section(name) != nullptr; }
  // Last value of the key in the section, or `fallback`.
  std::string get(const std::string& sec, const std::string& key, const std::string& fallback = "") const;
  bool has(const std::string& sec, const std::string& key) const;
  // Every value of the key, in order.
  std::vector<std::string> all(const std::string& sec, const std::string& key) const;
  // A file name of the profile, made absolute against base_dir.
  std::string file(const std::string& name) const;
};

// Reads a profile (sections of the same name are merged, in order).
// 0, or -1 with a message naming the file and line in `error`.
int profile_load(const std::string& path, Profile* out, std::string* error);
// Parses profile text (base_dir is left empty). 0 or -1 as above.
int profile_parse(const std::string& text, Profile* out, std::string* error);

// Whether a text holds a zero byte or a control character.
bool has_control(const std::string& text);
// The text for a message: zero bytes and control characters as \xNN.
std::string printable(const std::string& text);

}  // namespace sim
