// The hardware-version parser over arbitrary bytes (no terminator needed:
// the size bounds it), checked against a plain count of the dot-separated
// pieces.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "devenv/env_store.h"
#include "log/rl_log.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

int count_pieces(const std::string& text) {
  int pieces = 0;
  bool in_piece = false;
  for (char c : text) {
    if (c == '\0') break;
    if (c == '.') {
      in_piece = false;
    } else if (!in_piece) {
      in_piece = true;
      pieces++;
    }
  }
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);  // keep the host's syslog out of it
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  // A copy exactly as long as the input: a read past it is caught.
  std::unique_ptr<char[]> exact(new char[size ? size : 1]);
  memcpy(exact.get(), data, size);
  unsigned char hw[8];
  memset(hw, 0x5A, sizeof hw);
  int rc = hwver_parse_text(exact.get(), size, hw);
  int pieces = count_pieces(bytes);
  check(rc == (pieces == 8 ? 0 : -1));
  if (rc != 0) {
    for (unsigned char b : hw) check(b == 0x5A);
  }
  return 0;
}
