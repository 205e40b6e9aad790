// The shared upgrade state: a SysV segment holding a request kind and a ROM
// image, filled by another process of the phone and read in place.
//
//   offset 0: head word (unused)   4: upgrader_state   8: ROM image (8 MiB)
#pragma once

#define LIBUPD_SHM_KEY 0xA130
#define LIBUPD_SHM_KEY_ALT 0x1079B
#define LIBUPD_ROM_CAPACITY 0x800000
#define LIBUPD_SHM_SIZE (LIBUPD_ROM_CAPACITY + 8)
#define LIBUPD_STATE_OFFSET 4
#define LIBUPD_ROM_OFFSET 8

void* libupd_create_share_memory();
void* get_share_memory();
int libupd_get_state(void* addr);
int libupd_set_state(void* addr, int state);
void* libupd_get_rom_start_addr(void* addr);
void libupd_delete_share_memory(void* addr);
// Bytes of ROM room behind the state word of a segment attached by this
// process (its size less the 8-byte head), never more than the 8 MiB
// capacity; 0 for an address this process did not attach.
unsigned long libupd_get_rom_capacity(void* addr);
void libupd_show_version();
