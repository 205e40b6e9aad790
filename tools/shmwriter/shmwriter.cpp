// shmwriter: plays the process of the phone that downloads a firmware and
// hands it to the upgrader through the shared upgrade state.
//
//   shmwriter [--state KIND] [--fail-load] ROM_FILE [-- PROGRAM [ARGS...]]
//
// It creates (or reuses) the segment with key 0xA130, takes the semaphore
// 0xA130 (memory_semid) while it writes, copies the ROM to offset 8, stores
// the request kind at offset 4 (0 ordinary, 1 autoprovision, 2 without
// stopping the applications, -3 as 2; when the ROM cannot be loaded, or
// with --fail-load, the complement of the kind), releases the semaphore and
// starts the program (default /basic/bin/upgrader) with no argument, in
// its own place (exec).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <stdint.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "libupgrader/libupgrader.h"
#include "log/rl_log.h"
#include "semctrl/semctrl.h"

namespace {

int usage() {
  fprintf(stderr, "usage: shmwriter [--state KIND] [--fail-load] ROM_FILE [-- PROGRAM [ARGS...]]\n");
  return 2;
}

// Reads the whole ROM into the segment; false when it cannot be read, is no
// regular file or does not fit (the room is filled then). O_NONBLOCK: a FIFO is refused at once
// instead of waiting for a writer.
bool load_rom(const char* path, unsigned char* dest, size_t capacity, size_t* loaded) {
  *loaded = 0;
  unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    fprintf(stderr, "shmwriter: %s: %s\n", path, strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    fprintf(stderr, "shmwriter: %s: not a regular file (%s): nothing loaded\n", path,
            S_ISDIR(st.st_mode) ? "a directory" : S_ISFIFO(st.st_mode) ? "a FIFO" : "a device or socket");
    return false;
  }
  // Read to the end of the file or of the room, whichever comes first.
  for (;;) {
    unsigned char extra;
    bool full = *loaded == capacity;
    ssize_t n = full ? read(fd.get(), &extra, 1) : read(fd.get(), dest + *loaded, capacity - *loaded);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fprintf(stderr, "shmwriter: %s: %s\n", path, strerror(errno));
      return false;
    }
    if (n == 0) return true;
    if (full) {
      fprintf(stderr, "shmwriter: %s is larger than %zu bytes\n", path, capacity);
      return false;
    }
    *loaded += static_cast<size_t>(n);
  }
}

// A request kind: a decimal number, optionally negative, that fits the state word.
bool parse_kind(const char* text, int* out) {
  const char* digits = text[0] == '-' ? text + 1 : text;
  if (!*digits || strspn(digits, "0123456789") != strlen(digits)) return false;
  errno = 0;
  long v = strtol(text, nullptr, 10);
  if (errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

// Room for the ROM in the segment as it exists: a segment made smaller by
// someone else is never written past its end. -1 when it has no room at all.
long rom_room() {
  struct shmid_ds ds;
  int id = shmget(LIBUPD_SHM_KEY, 0, 0);
  if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) return -1;
  if (ds.shm_segsz < LIBUPD_ROM_OFFSET) {
    fprintf(stderr, "shmwriter: the segment 0x%x holds %zu bytes, fewer than the %d of its header\n",
            LIBUPD_SHM_KEY, static_cast<size_t>(ds.shm_segsz), LIBUPD_ROM_OFFSET);
    return -1;
  }
  size_t room = ds.shm_segsz - LIBUPD_ROM_OFFSET;
  return static_cast<long>(room < LIBUPD_ROM_CAPACITY ? room : LIBUPD_ROM_CAPACITY);
}

}  // namespace

int main(int argc, char** argv) {
  int kind = 0;
  bool fail_load = false;
  const char* rom = nullptr;
  std::vector<char*> program;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      for (++i; i < argc; ++i) program.push_back(argv[i]);
      break;
    }
    if (strcmp(argv[i], "--state") == 0 && i + 1 < argc) {
      if (!parse_kind(argv[++i], &kind)) {
        fprintf(stderr, "shmwriter: --state %s: expected a whole number\n", argv[i]);
        return usage();
      }
    } else if (strcmp(argv[i], "--fail-load") == 0) {
      fail_load = true;
    } else if (!rom && argv[i][0] != '-') {
      rom = argv[i];
    } else {
      return usage();
    }
  }
  if (!rom) return usage();
  static char default_program[] = "/basic/bin/upgrader";
  if (program.empty()) program.push_back(default_program);
  program.push_back(nullptr);

  rl_log_init("shmwriter", 7);
  void* shm = libupd_create_share_memory();
  if (!shm) {
    fprintf(stderr, "shmwriter: cannot create the shared upgrade state\n");
    return 1;
  }
  int semid = binary_sem_create_key(SEM_KEY_MEMORY);
  if (semid < 0 || lock_binary_sem(semid) != 0) {
    fprintf(stderr, "shmwriter: cannot take memory_semid: %s\n", strerror(errno));
    return 1;
  }
  size_t loaded = 0;
  long room = rom_room();
  if (room < 0) {
    fprintf(stderr, "shmwriter: the shared upgrade state 0x%x cannot take a ROM: nothing written\n", LIBUPD_SHM_KEY);
    unlock_binary_sem(semid);
    shmdt(shm);
    return 1;
  }
  bool ok = load_rom(rom, static_cast<unsigned char*>(libupd_get_rom_start_addr(shm)), static_cast<size_t>(room),
                     &loaded);
  int state = (ok && !fail_load) ? kind : ~kind;
  libupd_set_state(shm, state);
  rl_log_info("loaded %zu bytes of %s, upgrader_state %d\n", loaded, rom, state);
  unlock_binary_sem(semid);
  shmdt(shm);
  rl_log_deinit();
  execv(program[0], program.data());
  fprintf(stderr, "shmwriter: cannot start %s: %s\n", program[0], strerror(errno));
  return 127;
}
