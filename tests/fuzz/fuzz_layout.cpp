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
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/process_flags.h"
#include "devenv/mtd_layout.h"
#include "log/rl_log.h"
#include "tests/support/files.h"

namespace {

const char kAlphabet[] = "0123456789abcdefABCDEFxX,, \t+-9";
constexpr uint32_t kBlock = 0x10000;

uint32_t fixed_start(int i) { return MTD_WINDOW_START + static_cast<uint32_t>(i) * 8 * kBlock; }

// One number: blanks, an optional 0x, at least one hex digit, at most 32 bits.
bool read_number(const std::string& s, size_t* at, uint32_t* out) {
  while (*at < s.size() && (s[*at] == ' ' || s[*at] == '\t')) ++*at;
  size_t p = *at;
  if (p + 2 < s.size() && s[p] == '0' && (s[p + 1] == 'x' || s[p + 1] == 'X') &&
      isxdigit(static_cast<unsigned char>(s[p + 2])))
    p += 2;
  uint64_t v = 0;
  size_t digits = 0;
  for (; p < s.size() && isxdigit(static_cast<unsigned char>(s[p])); ++p, ++digits) {
    v = v * 16 + static_cast<uint64_t>(isdigit(static_cast<unsigned char>(s[p])) ? s[p] - '0' : (s[p] | 0x20) - 'a' + 10);
    if (v > 0xFFFFFFFFull) return false;
  }
  if (digits == 0) return false;
  *out = static_cast<uint32_t>(v);
  *at = p;
  return true;
}

bool valid_value(const std::string& s, uint32_t* start, uint32_t* end) {
  size_t at = 0;
  if (!read_number(s, &at, start) || at >= s.size() || s[at] != ',') return false;
  ++at;
  if (!read_number(s, &at, end)) return false;
  return *start < *end && *start >= MTD_WINDOW_START && *end <= MTD_WINDOW_END && *start % kBlock == 0 &&
         *end % kBlock == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> values(MTD_LAYOUT_COUNT);
  size_t v = 0;
  for (size_t i = 0; i < size && v < values.size(); ++i) {
    if (data[i] == '\n') {
      ++v;
    } else if (values[v].size() < 60) {
      values[v] += kAlphabet[data[i] % (sizeof kAlphabet - 1)];
    }
  }
  std::string text = "[mtd]\n";
  for (int i = 0; i < MTD_LAYOUT_COUNT; ++i) text += "mtd" + std::to_string(i) + " = " + values[i] + "\n";
  if (!write_file(MTD_LAYOUT_FILE, text)) __builtin_trap();

  std::vector<env_info> table(ENV_TABLE_SIZE);
  memset(table.data(), 0, table.size() * sizeof(env_info));
  for (int i = 0; i < MTD_LAYOUT_COUNT; ++i) {
    snprintf(table[i].name, sizeof table[i].name, "mtd%d", i);
    table[i].start_addr = fixed_start(i);
    table[i].end_addr = fixed_start(i) + 8 * kBlock;
  }
  bool all_valid = true, differs = false;
  for (int i = 0; i < MTD_LAYOUT_COUNT && all_valid; ++i) {
    uint32_t start = 0, end = 0;
    all_valid = valid_value(values[i], &start, &end);
    differs = differs || start != fixed_start(i) || end != fixed_start(i) + 8 * kBlock;
  }
  kernel_support = 0;
  upgrader_kernel_only = 0;
  int rc = mtd_config_deal(table.data());
  if (rc != (all_valid ? 0 : -1)) __builtin_trap();
  if (upgrader_kernel_only != (all_valid && differs ? 1 : 0)) __builtin_trap();
  for (int i = 0; i < MTD_LAYOUT_COUNT; ++i)
    if (table[i].start_addr != fixed_start(i) || table[i].end_addr != fixed_start(i) + 8 * kBlock) __builtin_trap();
  return 0;
}
