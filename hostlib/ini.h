// The host programs' one INI reader and one rule for numbers: simdev's device
// profiles and romtool's image descriptions are read with them (the
// simulator's own names for them are in sim/profile.h).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hostlib {

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
// "\n", "\t", "\0" and "\\" escapes of INI values.
std::string ini_unescape(const std::string& text);

// Strict numbers: decimal or 0x hex digits only, with an optional K or M
// suffix (KiB, MiB); no sign, no blank inside, no overflow. false otherwise.
bool parse_size(const std::string& text, unsigned long long* out);
// parse_size, and at most `max`.
bool parse_size_max(const std::string& text, unsigned long long max, unsigned long long* out);
// Decimal integer with an optional '-', from `min` to `max`.
bool parse_int(const std::string& text, long long min, long long max, long long* out);
// Decimal digits with an optional fraction, at most `max` (no sign, hex,
// exponent, nan or inf): times and rates.
bool parse_decimal(const std::string& text, double max, double* out);
// Seconds: parse_decimal up to kMaxSeconds.
bool parse_seconds(const std::string& text, double* out);
bool parse_bool(const std::string& text, bool* out);
std::string trim(const std::string& s);
std::vector<std::string> split_words(const std::string& s);

}  // namespace hostlib
