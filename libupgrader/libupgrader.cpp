#include "libupgrader/libupgrader.h"

#include <stdint.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "log/rl_log.h"

namespace {

constexpr int kMode = 0666;

// The last segment this process attached, so that a reader of the ROM knows
// how far it may read, whatever size the writer created it with.
void* g_attached_addr = nullptr;
unsigned long g_attached_size = 0;

void* attach(int shmid) {
  struct shmid_ds ds;
  unsigned long size = 0;
  if (shmctl(shmid, IPC_STAT, &ds) == 0) {
    size = static_cast<unsigned long>(ds.shm_segsz);
    rl_log_info("Size of memory segment is %d\n", static_cast<int>(ds.shm_segsz));
    rl_log_info("Numbre of attaches %d\n", static_cast<int>(ds.shm_nattch));
  } else {
    rl_log_info("shmctl() call failed\n");
  }
  void* addr = shmat(shmid, nullptr, 0);
  if (addr == reinterpret_cast<void*>(-1)) {
    rl_log_info("shmat failed\n");
    return nullptr;
  }
  rl_log_info("Memory attached at %X\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(addr)));
  // A segment too short for the state word holds no state: as if missing.
  if (size != 0 && size < LIBUPD_ROM_OFFSET) {
    rl_log_err("memory segment of %lu bytes holds no state\n", size);
    (void)shmdt(addr);
    return nullptr;
  }
  g_attached_addr = addr;
  g_attached_size = size;
  return addr;
}

}  // namespace

void* libupd_create_share_memory() {
  int id = shmget(LIBUPD_SHM_KEY, 0, kMode);
  if (id < 0) id = shmget(LIBUPD_SHM_KEY, LIBUPD_SHM_SIZE, IPC_CREAT | kMode);
  if (id < 0) return nullptr;
  return attach(id);
}

void* get_share_memory() {
  int id = shmget(LIBUPD_SHM_KEY_ALT, 0, kMode);
  if (id < 0) id = shmget(LIBUPD_SHM_KEY, 0, kMode);
  if (id < 0) return nullptr;
  return attach(id);
}

// The state word sits at offset 4 of a page-aligned segment, so a word access is aligned.
int libupd_get_state(void* addr) {
  int32_t state;
  memcpy(&state, static_cast<char*>(addr) + LIBUPD_STATE_OFFSET, sizeof state);
  return state;
}

int libupd_set_state(void* addr, int state) {
  int32_t value = state;
  memcpy(static_cast<char*>(addr) + LIBUPD_STATE_OFFSET, &value, sizeof value);
  return state;
}

void* libupd_get_rom_start_addr(void* addr) { return static_cast<char*>(addr) + LIBUPD_ROM_OFFSET; }

void libupd_delete_share_memory(void* addr) {
  if (!addr) return;
  // The segment is always named by its main key, whichever segment was attached.
  int id = shmget(LIBUPD_SHM_KEY, 0, kMode);
  if (id < 0) return;
  if (shmdt(addr) != 0) {
    rl_log_err("detach the shared memory failed");
    return;
  }
  rl_log_info("detach the shared memory");
  if (shmctl(id, IPC_RMID, nullptr) != 0) rl_log_err("Failed to delete shared memory");
}

unsigned long libupd_get_rom_capacity(void* addr) {
  if (!addr || addr != g_attached_addr || g_attached_size <= LIBUPD_ROM_OFFSET) return 0;
  unsigned long room = g_attached_size - LIBUPD_ROM_OFFSET;
  return room < LIBUPD_ROM_CAPACITY ? room : LIBUPD_ROM_CAPACITY;
}

void libupd_show_version() {
  rl_log_info("\nInit %s, Version %s, Build at %s %s\n", "libupgrader", "1.0.0.12", "Apr 20 2023", "03:19:24");
}
