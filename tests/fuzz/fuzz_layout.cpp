// The layout step's reading of /tmp/mtd.conf, which comes out of the ROM:
// ten "start,end" pairs in hexadecimal. The input's bytes are mapped onto
// the characters such values hold and split into the ten values; the step's
// answer is checked against a plain reading of the rules: each number as
// "%x" reads it but within 32 bits, both numbers there, inside the flash
// window, 64 KiB aligned, start below end. The device's table holds a fixed
// layout and the kernel cannot re-map, so nothing is written. Runs inside a
// simulated root (scripts/fuzz.sh), whose /tmp is its own.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/process_flags.h"
#include "devenv/mtd_layout.h"
#include "log/rl_log.h"
#include "tests/support/files.h"

namespace {

const char kAlphabet[] = "0123456789abcdefABCDEFxX,, \t+-9";
const std::string kHexDigits = "0123456789abcdefABCDEF";
constexpr uint32_t kPartition = 0x80000;

uint32_t fixed_start(int i) { return MTD_WINDOW_START + static_cast<uint32_t>(i) * kPartition; }

// One number from `at`: blanks, an optional 0x before a digit, the hex
// digits; at most 32 bits (eight digits after leading zeros).
bool read_number(const std::string& s, size_t* at, uint32_t* out) {
  size_t p = s.find_first_not_of(" \t", *at);
  if (p == std::string::npos) return false;
  if (s[p] == '0' && p + 2 < s.size() && (s[p + 1] | 0x20) == 'x' && kHexDigits.find(s[p + 2]) != std::string::npos)
    p += 2;
  const size_t end = std::min(s.find_first_not_of(kHexDigits, p), s.size());
  if (end == p) return false;
  std::string digits = s.substr(p, end - p);
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));  // leading zeros
  if (digits.size() > 8) return false;
  *out = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
  *at = end;
  return true;
}

bool valid_value(const std::string& s, uint32_t* start, uint32_t* end) {
  size_t at = 0;
  if (!read_number(s, &at, start) || at >= s.size() || s[at] != ',') return false;
  ++at;
  return read_number(s, &at, end) && *start < *end && *start >= MTD_WINDOW_START && *end <= MTD_WINDOW_END &&
         *start % 0x10000 == 0 && *end % 0x10000 == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> values(MTD_LAYOUT_COUNT);
  for (size_t i = 0, v = 0; i < size && v < values.size(); ++i) {
    if (data[i] == '\n')
      ++v;
    else if (values[v].size() < 60)
      values[v] += kAlphabet[data[i] % (sizeof kAlphabet - 1)];
  }
  std::string text = "[mtd]\n";
  std::vector<env_info> table(ENV_TABLE_SIZE);
  bool all_valid = true, differs = false;
  for (int i = 0; i < MTD_LAYOUT_COUNT; ++i) {
    text += "mtd" + std::to_string(i) + " = " + values[i] + "\n";
    snprintf(table[i].name, sizeof table[i].name, "mtd%d", i);
    table[i].start_addr = fixed_start(i);
    table[i].end_addr = fixed_start(i) + kPartition;
    uint32_t start = 0, end = 0;
    all_valid = all_valid && valid_value(values[i], &start, &end);
    differs = differs || (all_valid && (start != fixed_start(i) || end != fixed_start(i) + kPartition));
  }
  if (!write_file(MTD_LAYOUT_FILE, text)) __builtin_trap();
  kernel_support = 0;
  upgrader_kernel_only = 0;
  int rc = mtd_config_deal(table.data());
  if (rc != (all_valid ? 0 : -1)) __builtin_trap();
  if (upgrader_kernel_only != (all_valid && differs ? 1 : 0)) __builtin_trap();
  for (int i = 0; i < MTD_LAYOUT_COUNT; ++i)
    if (table[i].start_addr != fixed_start(i) || table[i].end_addr != fixed_start(i) + kPartition) __builtin_trap();
  return 0;
}
