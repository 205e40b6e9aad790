// Little-endian loads and stores that need no alignment (an unaligned word
// access traps on MIPS).
#pragma once

#include <stdint.h>
#include <string.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the image formats are little-endian");

inline uint32_t load_le32(const void* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline void store_le32(void* p, uint32_t v) { memcpy(p, &v, sizeof v); }
