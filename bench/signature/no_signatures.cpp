// The program as it was before signed releases, for measuring what they
// add: a gate that never checks, so that neither the check nor nettle and
// GMP are linked.
#include "rom/release_sig.h"

int rom_release_gate(const char*, const unsigned char**, size_t*) { return 0; }
