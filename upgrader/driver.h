// The upgrade driver: one run, from start-up to the reboot.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "devenv/env_store.h"
#include "rom/rom_format.h"

class CBasicUI;

#define UPGRADER_PATH "/basic/bin/upgrader"
#define UPGRADER_TOOL_PATH "/tmp/upgrader_tool"
#define UPGRADER_TOOL_PATH_COMPARED 18

// Step codes: which step failed. Exit codes of main that never reach a screen
// are -189, -194, -195, -196 and -200.
enum upgrader_step {
  STEP_CONFIG_UNMOUNT = -187,
  STEP_MTD_LAYOUT = -188,
  STEP_COPY_BINS = -189,
  STEP_WATCHDOG = -190,
  STEP_BURN_FLASH = -191,
  STEP_KILLAPPS = -192,
  STEP_ROM_CHECK = -193,
  STEP_DIRECT_FAILED = -194,
  STEP_MAP_FAILED = -195,
  STEP_OPEN_FAILED = -196,
  STEP_NO_SHARED_STATE = -198,
  STEP_STATE_FAILED = -199,
  STEP_USAGE = -200,
};

// IPC messages the driver broadcasts: (type, code).
#define IPC_TYPE_UPGRADE 4
#define IPC_UPGRADE_ROM_CHECK_FAILED 1
#define IPC_UPGRADE_BEGINS 2
#define IPC_UPGRADE_KILLAPPS_FAILED 3
#define IPC_UPGRADE_BURN_FAILED 4
#define IPC_TYPE_FAILURE_SCREEN 3
#define UPGRADER_IPC_ID 6

struct run_record {
  CBasicUI* ui = nullptr;
  const char* program_path = "";
  env_info env_table[ENV_TABLE_SIZE];
  rom_header header;
  partition_header partitions[ROM_MAX_PARTITIONS];
  uint32_t upgrade_flags[ROM_MAX_PARTITIONS];
  const unsigned char* rom = nullptr;  // the image, mapped or attached; a private copy once a release key checks it
  size_t rom_len = 0;
  int reboot_fallback = 0;
  int same_version = 0;
  int upgrader_state = 0;
  int cfg_semid = -1;
  int cfg_locked = 0;
  int process_semid = -1;
  int process_locked = 0;  // claimed at start-up, see claim_process_lock
  int memory_semid = -1;
  void* shm_addr = nullptr;
  int step_code = 0;
  int detail_code = 0;
};

// Takes this path's process lock before start-up copies the tools into /tmp:
// a second driver must not rewrite the copies a running one executes (it
// would run a half-written /tmp/bin/cat, or copy /bin while it is being
// burnt). The mode's entry logs the outcome where it always has. -1 when the
// lock is another's (or cannot be had), 0 when taken or the path has none.
int claim_process_lock(run_record* run);
// Gives back a lock claimed at start-up when the run ends before the mode's
// entry would have taken it.
void unclaim_process_lock(run_record* run);

// Modes, entered from main after start-up.
int run_shared_memory_mode(run_record* run);
int run_file_mode(run_record* run, const char* rom_file);
int run_direct_mode(run_record* run, const char* rom_file);

// Direct mode after the ROM file is mapped: check, stop applications, burn.
int run_direct_sequence(run_record* run, int rom_fd);
// The sequence from the ROM check on, then the outcome handling; returns
// main's result unless the run ends in a reboot screen.
int run_upgrade_sequence(run_record* run, bool shared_memory_mode);
// Outcome handling for a step code already set (releases already done).
int handle_outcome(run_record* run);
// The exit path of start-up failures: unregister, stop logging, free the UI.
int exit_path(run_record* run, int code);
