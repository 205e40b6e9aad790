// The signature block reader and the key reader over arbitrary bytes, and
// the check against one fixed key: whatever the bytes, nothing is read past
// them, and a block is only accepted where the data area says it starts.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "log/rl_log.h"
#include "rom/release_sig.h"

namespace {

const char kKey[] =
    "-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEAWOSndn632BpW1obWZ+KurZUSsJg1Pn7TZe6PY0yQscA=\n-----END PUBLIC KEY-----\n";
release_keys g_keys;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);  // keep the host's syslog out of it
  g_keys.files = g_keys.count = 1;
  if (release_key_from_pem(kKey, sizeof kKey - 1, &g_keys.keys[0]) != 0) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Copies exactly as long as the input: a read past them is caught.
  std::vector<unsigned char> image(data, data + size);
  release_sig_block block;
  if (release_sig_read(image.data(), size, &block) == RELEASE_SIG_OK) {
    // What a block read must mean whatever the header's layout: it lies
    // inside the input, starts with its magic and holds the key id it gave.
    uint64_t at = block.signed_len;
    if (at + RELEASE_SIG_BLOCK_SIZE > size || memcmp(data + at, "RSIG", 4) != 0) __builtin_trap();
    if (memcmp(block.key_id, data + at + 12, RELEASE_KEY_ID_SIZE) != 0) __builtin_trap();
  }
  (void)release_sig_verify(image.data(), size, &g_keys);
  std::vector<char> text(data, data + size);
  release_key key;
  (void)release_key_from_pem(text.data(), size, &key);
  return 0;
}
