// The environment-copy and software-version parsers over arbitrary text:
// nothing is written past the 30 entries and every stored text stays
// terminated inside its field.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>

#include "devenv/env_store.h"
#include "log/rl_log.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool is_mtd(const char* name) { return strncmp(name, "mtd", 3) == 0 && name[3] && !name[4]; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);  // keep the host's syslog out of it
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly 30 entries on the heap, so a write past the table is caught.
  std::unique_ptr<env_info[]> table(new env_info[ENV_TABLE_SIZE]());
  const char* text = reinterpret_cast<const char*>(data);
  int stored = env_parse_text(table.get(), text, size);
  check(stored >= 0 && stored <= ENV_TABLE_SIZE);
  (void)env_parse_software_version(table.get(), text, size);

  int used = 0;
  for (int i = 0; i < ENV_TABLE_SIZE; i++) {
    const env_info& e = table[i];
    if (!e.name[0]) break;
    used++;
    check(strnlen(e.name, ENV_NAME_SIZE) < ENV_NAME_SIZE);
    if (!is_mtd(e.name)) check(strnlen(e.value, ENV_VALUE_SIZE) < ENV_VALUE_SIZE);
    int index = -1;
    check(env_find(table.get(), e.name, &index) == 0 && index <= i);
  }
  // Filled from the start without gaps.
  for (int i = used; i < ENV_TABLE_SIZE; i++) check(table[i].name[0] == '\0');
  return 0;
}
