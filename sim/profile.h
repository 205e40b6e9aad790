// Device profile: an INI file that describes a simulated phone (what it is
// when made) and what happens around the program during a boot.
// docs/device-profile.md and docs/simulator.md describe the sections.
// The INI reader and the strict number parsers here are the host tools'
// only ones: romtool reads its descriptions with them too.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sim {

// Largest INI text (profile, ROM description) a host tool reads.
constexpr unsigned long long kMaxIniBytes = 1024 * 1024;
// Largest time in seconds a profile or a command line may give.
constexpr double kMaxSeconds = 86400;

// One section as it stands in the file; a section may appear more than once.
struct IniSection {
  std::string name;
  int line = 0;
  std::vector<std::pair<std::string, std::string>> entries;  // file order; keys may repeat
};

// Comments start with ';' or '#' at the start of a line or after a blank;
// "[name]" opens a section; "key = value" with blanks around both dropped.
// 0, or -1 with a message naming the line in *error.
int ini_parse(const std::string& text, std::vector<IniSection>* out, std::string* error);
// Reads a whole regular file of at most `max_bytes`. 0, or -1 with a
// message naming the file in *error (a directory, a device, a FIFO, a file
// too large are refused before anything is read into memory).
int read_regular_file(const std::string& path, unsigned long long max_bytes, std::string* out, std::string* error);
// A file the simulator itself keeps in the root (at most 256 MiB): true when read whole.
bool read_root_file(const std::string& path, std::string* out);
// "\n", "\t", "\0" and "\\" escapes of INI values.
std::string ini_unescape(const std::string& text);

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

// Strict numbers: decimal or 0x hex digits only, with an optional K or M
// suffix (KiB, MiB); no sign, no blank inside, no overflow. false otherwise.
bool parse_size(const std::string& text, unsigned long long* out);
// parse_size, and at most `max`.
bool parse_size_max(const std::string& text, unsigned long long max, unsigned long long* out);
// Decimal integer with an optional '-', from `min` to `max`.
bool parse_int(const std::string& text, long long min, long long max, long long* out);
// Seconds: decimal digits with an optional fraction, at most kMaxSeconds
// (no sign, exponent, nan or inf).
bool parse_seconds(const std::string& text, double* out);
bool parse_bool(const std::string& text, bool* out);
std::string trim(const std::string& s);
// Whether a text holds a zero byte or a control character.
bool has_control(const std::string& text);
// The text for a message: zero bytes and control characters as \xNN.
std::string printable(const std::string& text);
std::vector<std::string> split_words(const std::string& s);

}  // namespace sim
