// Device profile: an INI file that describes a simulated phone (what it is
// when made) and what happens around the program during a boot.
// docs/device-profile.md and docs/simulator.md describe the sections.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sim {

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

// Reads a profile. 0, or -1 with a message naming the file and line in `error`.
int profile_load(const std::string& path, Profile* out, std::string* error);
// Parses profile text (base_dir is left empty). 0 or -1 as above.
int profile_parse(const std::string& text, Profile* out, std::string* error);

// Number parsing shared by the simulator: decimal, 0x hex, with an optional
// K or M suffix (KiB, MiB). false when the text is not a number.
bool parse_size(const std::string& text, unsigned long long* out);
bool parse_seconds(const std::string& text, double* out);
bool parse_bool(const std::string& text, bool* out);
std::string trim(const std::string& s);
std::vector<std::string> split_words(const std::string& s);

}  // namespace sim
