// romtool's parts: the description reader, the builder, the inspector and
// the check on a described device.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "rom/rom_format.h"
#include "hostlib/ini.h"

namespace romtool {

// Descriptions are read with the host programs' INI reader.
using hostlib::IniSection;
using hostlib::ini_parse;

// Largest image romtool builds or reads, and largest file a partition takes.
constexpr uint64_t kMaxImageSize = 256ull * 1024 * 1024;
// Largest partition count of an image: the program's partition table.
constexpr uint64_t kMaxPartitions = ROM_MAX_PARTITIONS;

// Reads a regular file of at most `max_bytes` (anything else is refused
// before it is read). 0, or -1 with *error.
int read_whole_file(const std::string& path, uint64_t max_bytes, std::string* out, std::string* error);
int write_whole_file(const std::string& path, const std::string& data, std::string* error);

// Numbers: decimal or 0x hex, an optional K or M suffix (no sign, no
// overflow); versions a.b.c.d (a in the most significant byte) are numbers too.
bool parse_number(const std::string& text, uint64_t* out);

// The XOR of `words` little-endian words from p (any alignment): romtool's
// own checksum, written apart from the program's so that an error in one
// shows against the other.
uint32_t xor_words(const unsigned char* p, uint64_t words);

struct BuildOptions {
  std::vector<std::string> sets;      // "rom.KEY=VALUE" or "partN.KEY=VALUE"
  std::vector<std::pair<uint64_t, uint32_t>> pokes;  // offset, little-endian word, after the checksums
  std::vector<std::pair<uint64_t, uint8_t>> flips;  // offset, XOR mask, applied last
  uint64_t size = 0;                  // pad with 0xFF to this size (0: no padding)
  int64_t truncate = -1;              // cut the output to this length (-1: no cut)
};

// Builds an image from a description (text) whose relative file names are
// taken from base_dir. 0, or -1 with *error.
int build_image(const std::string& description, const std::string& base_dir, const BuildOptions& options,
                std::string* image, std::string* error);

// Prints the decoded image to stdout. 0 when every check of the format
// holds, 1 when something is broken.
int print_info(const std::string& image);

// Signs an image with an Ed25519 private key (PEM): the image up to the end
// of its data area, then the signature block. 0, or -1 with *error.
int sign_image(const std::string& image, const std::string& key_path, std::string* out, std::string* error);
// Checks the image's signature against one public key (PEM): kExitAccepted
// when it holds, kExitRefused or kExitUsage otherwise; *verdict says why.
int verify_image(const std::string& image, const std::string& public_path, std::string* verdict);
// One line on the image's signature block; *broken when a block is there
// but cannot be read.
std::string signature_summary(const std::string& image, bool* broken);

// Runs the program's ROM check on a simulated device made from the profile.
// Returns the process exit code of `romtool check`.
int run_check(const std::string& image_path, const std::string& profile_path, bool verbose, bool keep);
// The part that runs inside the simulated root.
int run_check_in_root(const std::string& image_path, bool verbose);

// Exit codes of `romtool check`.
constexpr int kExitAccepted = 0;   // 0 or 11: the run goes on
constexpr int kExitRefused = 1;    // a refusal
constexpr int kExitUsage = 2;      // bad arguments, unreadable files, no simulated root
constexpr int kExitSameVersion = 3;  // -86: this ROM is already installed

}  // namespace romtool
