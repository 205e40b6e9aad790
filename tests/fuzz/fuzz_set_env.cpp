// set_env_value is the only code that builds a shell command from data. The
// callers' names are fixed texts, the values come from images and files: the
// first byte picks a name, the rest (to a NUL) is the value. Whatever it accepts
// must reach the kernel's environment file as exactly "name value" (or the
// name alone), and whatever the shell would expand must be refused. Runs
// inside a simulated root (scripts/fuzz.sh), where the file is a plain one.
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "devenv/env_store.h"
#include "log/rl_log.h"
#include "tests/support/files.h"

const char kEnvFile[] = "/proc/avalanche/env";
const char* const kNames[] = {"RomVersion", "Mtd0Version", "SW_OEM", "upgrader_kernel_only", "HWVersion"};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);
  (void)mkdir("/proc/avalanche", 0755);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
  std::string value(reinterpret_cast<const char*>(data + 1), size - 1);
  value = value.substr(0, value.find('\0'));
  (void)write_file(kEnvFile, "untouched\n");
  int rc = set_env_value(name.c_str(), value.c_str());
  // What the shell expands inside double quotes, and control characters.
  bool unsafe = std::any_of(value.begin(), value.end(), [](unsigned char c) {
    return c == '"' || c == '\\' || c == '$' || c == '`' || c < 0x20 || c == 0x7F;
  });
  std::string want = rc != 0 ? "untouched\n" : (value.empty() ? name : name + " " + value) + "\n";
  if ((unsafe && rc == 0) || read_file(kEnvFile) != want) __builtin_trap();
  return 0;
}
