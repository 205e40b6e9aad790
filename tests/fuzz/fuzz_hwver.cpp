// The hardware-version parser over arbitrary bytes (no terminator needed:
// the size bounds it), checked against a plain count of the dot-separated
// pieces before the first NUL.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "devenv/env_store.h"
#include "log/rl_log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);  // keep the host's syslog out of it
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int pieces = 0;
  for (size_t i = 0; i < size && data[i]; ++i) pieces += data[i] != '.' && (i == 0 || data[i - 1] == '.');
  // A copy exactly as long as the input: a read past it is caught.
  std::vector<char> exact(data, data + size);
  unsigned char hw[8];
  memset(hw, 0x5A, sizeof hw);
  int rc = hwver_parse_text(exact.data(), size, hw);
  if (rc != (pieces == 8 ? 0 : -1)) __builtin_trap();
  // A refused text leaves the bytes as they were.
  for (unsigned char b : hw)
    if (rc != 0 && b != 0x5A) __builtin_trap();
  return 0;
}
