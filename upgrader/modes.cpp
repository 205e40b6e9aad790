// The three modes: how the ROM image is obtained and which locks guard it.
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "basicui/basicui.h"
#include "common/process_flags.h"
#include "devenv/mtd_layout.h"
#include "libipc/libipc.h"
#include "libupgrader/libupgrader.h"
#include "log/rl_log.h"
#include "semctrl/semctrl.h"
#include "upgrader/driver.h"
#include "sysrun/system_actions.h"

namespace {

constexpr int kWatchdogAttempts = 3;

unsigned addr_word(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

int watchdog_off() {
  for (int attempt = 0; attempt < kWatchdogAttempts; ++attempt)
    if (set_watchdog(0) == 0) return 0;
  return -1;
}

struct process_lock_kind {
  const char* name;
  int key;
};

const process_lock_kind* process_lock_for(const char* path) {
  static const process_lock_kind driver = {"upgrader_process", SEM_KEY_UPGRADER_PROCESS};
  static const process_lock_kind tool = {"upgrader_tool_process", SEM_KEY_UPGRADER_TOOL_PROCESS};
  if (strcmp(path, UPGRADER_PATH) == 0) return &driver;
  if (strncmp(path, UPGRADER_TOOL_PATH, UPGRADER_TOOL_PATH_COMPARED) == 0) return &tool;
  return nullptr;
}

// 1: the process lock is held, 0: main returns 0 at once (wrong path, or
// another driver under the same path holds the lock).
int take_process_lock(const run_record* run) {
  const process_lock_kind* kind = process_lock_for(run->program_path);
  if (!kind) {
    rl_log_debug("upgrader path error\n");
    return 0;
  }
  if (run->process_semid < 0) rl_log_err("get %s failed!\n", kind->name);
  rl_log_debug("wait lock %s\n", kind->name);
  if (!run->process_locked) {
    rl_log_err("lock %s failed\n", kind->name);
    return 0;
  }
  rl_log_debug("locked %s\n", kind->name);
  return 1;
}

enum common_entry_result { ENTRY_CONTINUE, ENTRY_RETURN_ZERO, ENTRY_OUTCOME };

common_entry_result common_entry(run_record* run) {
  (void)run->ui->Init();
  run->ui->ShowVersion();
  if (watchdog_off() != 0) {
    unclaim_process_lock(run);
    run->step_code = run->detail_code = STEP_WATCHDOG;
    return ENTRY_OUTCOME;
  }
  if (!take_process_lock(run)) return ENTRY_RETURN_ZERO;
  kernel_support = kernel_support_mtd_repair_check();
  rl_log_info("kernel_support is :%d \n", kernel_support);
  return ENTRY_CONTINUE;
}

// Maps the ROM file read-only; the file stays open for the run. 0, or the
// exit code after logging (logging and the IPC id are already released then).
int map_rom_file(run_record* run, const char* rom_file, int* fd_out) {
  // Not blocking: a FIFO in the ROM's place must not hold the program in
  // open; anything but a regular file is refused as unmappable.
  int fd = open(rom_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    rl_log_err("%s File open failed!\n", rom_file);
    rl_log_deinit();
    ipc_unregister();
    return STEP_OPEN_FAILED;
  }
  struct stat st;
  void* addr = MAP_FAILED;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    addr = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (addr == MAP_FAILED) {
    rl_log_err("memory map failed!\n");
    rl_log_deinit();
    ipc_unregister();
    close(fd);
    return STEP_MAP_FAILED;
  }
  run->rom = static_cast<const unsigned char*>(addr);
  run->rom_len = static_cast<size_t>(st.st_size);
  *fd_out = fd;
  return 0;
}

}  // namespace

int claim_process_lock(run_record* run) {
  const process_lock_kind* kind = process_lock_for(run->program_path);
  if (!kind) return 0;
  run->process_semid = binary_sem_create_key(kind->key);
  run->process_locked = run->process_semid >= 0 && try_lock_binary_sem(run->process_semid) != -1;
  return run->process_locked ? 0 : -1;
}

void unclaim_process_lock(run_record* run) {
  if (!run->process_locked) return;
  (void)release_binary_sem(run->process_semid);
  run->process_locked = 0;
}

int run_file_mode(run_record* run, const char* rom_file) {
  switch (common_entry(run)) {
    case ENTRY_RETURN_ZERO: return 0;
    case ENTRY_OUTCOME: return handle_outcome(run);
    case ENTRY_CONTINUE: break;
  }
  int fd = -1;
  int rc = map_rom_file(run, rom_file, &fd);
  if (rc != 0) return rc;
  rl_log_debug("start:%x \n", addr_word(run->rom));
  return run_upgrade_sequence(run, false);
}

int run_shared_memory_mode(run_record* run) {
  switch (common_entry(run)) {
    case ENTRY_RETURN_ZERO: return 0;
    case ENTRY_OUTCOME: return handle_outcome(run);
    case ENTRY_CONTINUE: break;
  }
  run->shm_addr = get_share_memory();
  if (!run->shm_addr) {
    run->step_code = run->detail_code = STEP_NO_SHARED_STATE;
    return handle_outcome(run);
  }
  rl_log_debug("mem_addr:0x%x\n", addr_word(run->shm_addr));
  run->memory_semid = binary_sem_create_key(SEM_KEY_MEMORY);
  if (run->memory_semid < 0) rl_log_err("get memory_semid failed!\n");
  rl_log_debug("wait lock memory_semid\n");
  (void)lock_binary_sem(run->memory_semid);
  rl_log_debug("locked memory_semid");
  run->upgrader_state = libupd_get_state(run->shm_addr);
  if (run->upgrader_state == -1 || run->upgrader_state == -2) {
    rl_log_info("upgrader_state is failed\n");
    run->step_code = run->detail_code = STEP_STATE_FAILED;
    return handle_outcome(run);
  }
  run->rom = static_cast<const unsigned char*>(libupd_get_rom_start_addr(run->shm_addr));
  run->rom_len = libupd_get_rom_capacity(run->shm_addr);
  rl_log_debug("rom_addr:%x\n", addr_word(run->rom));
  return run_upgrade_sequence(run, true);
}

int run_direct_mode(run_record* run, const char* rom_file) {
  int fd = -1;
  int rc = map_rom_file(run, rom_file, &fd);
  if (rc != 0) return rc;
  rl_log_debug("start:%x \n", addr_word(run->rom));
  return run_direct_sequence(run, fd);
}
