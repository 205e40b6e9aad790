// The environment-copy and software-version parsers over arbitrary text:
// nothing is written past the 30 entries and every stored text stays
// terminated inside its field.
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
  // Exactly 30 entries on the heap, so a write past the table is caught.
  std::vector<env_info> table(ENV_TABLE_SIZE);
  const char* text = reinterpret_cast<const char*>(data);
  int stored = env_parse_text(table.data(), text, size);
  if (stored < 0 || stored > ENV_TABLE_SIZE) __builtin_trap();
  (void)env_parse_software_version(table.data(), text, size);

  for (int i = 0; i < ENV_TABLE_SIZE; i++) {
    const env_info& e = table[i];
    if (!e.name[0]) {
      // Filled from the start without gaps.
      if (i + 1 < ENV_TABLE_SIZE && table[i + 1].name[0]) __builtin_trap();
      continue;
    }
    if (strnlen(e.name, ENV_NAME_SIZE) == ENV_NAME_SIZE) __builtin_trap();
    // Partitions (mtd0..mtd9) hold addresses in place of a text.
    bool mtd = strncmp(e.name, "mtd", 3) == 0 && e.name[3] && !e.name[4];
    if (!mtd && strnlen(e.value, ENV_VALUE_SIZE) == ENV_VALUE_SIZE) __builtin_trap();
    int index = -1;
    if (env_find(table.data(), e.name, &index) != 0 || index > i) __builtin_trap();
  }
  return 0;
}
