#include "devenv/env_store.h"

#include <string.h>

int env_find(const env_info* table, const char* name, int* index) {
  if (!table || !name || !index) return -1;
  size_t wanted = strlen(name);
  for (int i = 0; i < ENV_TABLE_SIZE; i++) {
    // Names are bounded by their field, whatever the table holds.
    const char* candidate = table[i].name;
    if (strnlen(candidate, ENV_NAME_SIZE) == wanted && memcmp(candidate, name, wanted) == 0) {
      *index = i;
      return 0;
    }
  }
  return -1;
}
