// The upgrade sequence, the releases of its locks and the outcome handling.
#include <new>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "basicui/basicui.h"
#include "common/process_flags.h"
#include "devenv/config_maint.h"
#include "devenv/mtd_layout.h"
#include "libipc/libipc.h"
#include "libupgrader/libupgrader.h"
#include "log/rl_log.h"
#include "rom/flash.h"
#include "rom/rom_check.h"
#include "rom/release_sig.h"
#include "semctrl/semctrl.h"
#include "upgrader/driver.h"
#include "upgrader/failure_screens.h"
#include "upgrader/run_locks.h"
#include "sysrun/shell_runner.h"
#include "sysrun/system_actions.h"

namespace {

constexpr int kCfgLockAttempts = 10;
constexpr int kConfigPartition = 4;
constexpr int kConfigPartitionSize = 524288;
constexpr int kEnvPartition = 3;
constexpr int kEnvPartitionSize = 65536;

void broadcast(int type, int code) { (void)ipc_broadcast(type, code, 0, nullptr, 0); }

bool file_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

void reboot_and_rearm_watchdog(const run_record* run) {
  (void)upgrader_reboot(run->reboot_fallback);
  sleep(10);
  (void)set_watchdog(1);
}

// Same version installed: show the bar climbing to 100 and reboot; the
// sequence then goes on, in case the reboot did not happen.
void same_version_reboot(run_record* run) {
  for (int percent = 15; percent <= 95; percent += 10) {
    run->ui->SetUpgradingProgressBar(percent);
    sleep(1);
  }
  run->ui->SetUpgradingProgressBar(100);
  (void)system_ex("rm -f /config/upgrader_autop", 3, 3);
  // Nothing is written back before this reboot: moved windows go back.
  (void)mtd_layout_move_back();
  reboot_and_rearm_watchdog(run);
}

// R2: the shared state's lock, and the state itself after a failure.
int release_r2(run_record* run) {
  memory_lock_give_back(run->memory_semid);
  if (run->step_code != 0 && run->shm_addr) libupd_delete_share_memory(run->shm_addr);
  return handle_outcome(run);
}

// R1: the configuration lock, only when this run took it, then R2.
int release_r1(run_record* run) {
  if (run->cfg_locked) cfg_lock_give_back(run->cfg_semid);
  return release_r2(run);
}

void fail(run_record* run, int step, int detail) {
  run->step_code = step;
  run->detail_code = detail;
}

// The hand-over to a newer driver carried in the ROM (shared-memory mode).
bool hand_over(run_record* run) {
  if (!file_exists(UPGRADER_TOOL_PATH) || strcmp(run->program_path, UPGRADER_TOOL_PATH) == 0) return false;
  (void)system(UPGRADER_TOOL_PATH " &");
  rl_log_debug("upgrader_tool_check /tmp/upgrader_tool exist\n");
  return true;
}

// -1 when the flash lock is taken by someone else: main returns 0 at once.
int take_flash_lock() {
  int id = binary_sem_create_key(SEM_KEY_BURN_FLASH);
  if (id < 0) rl_log_err("get burn_flash_semid failed!\n");
  rl_log_debug("wait lock burn_flash_semid\n");
  if (try_lock_binary_sem(id) == -1) {
    rl_log_err("lock burn_flash_semid failed\n");
    return -1;
  }
  rl_log_debug("locked burn_flash_semid\n");
  return 0;
}

// Write-back of the partitions saved before their re-map. False after a
// failure, with the step code set.
bool write_back_moved_partitions(run_record* run) {
  if (config_mtd_moved == 1) {
    if (umount_config_mtd() < 0) {
      rl_log_debug("config unmount failed!\n");
      fail(run, STEP_CONFIG_UNMOUNT, STEP_CONFIG_UNMOUNT);
      return false;
    }
    if (mtd_write(kConfigPartition, kConfigPartitionSize, "/tmp/mtdblock4") < 0) {
      rl_log_debug("config mtd_write failed!\n");
      fail(run, STEP_BURN_FLASH, STEP_BURN_FLASH);
      return false;
    }
    mtd_layout_written_back(kConfigPartition);
  }
  if (env_mtd_moved == 1) {
    if (mtd_write(kEnvPartition, kEnvPartitionSize, "/tmp/mtdblock3") < 0) {
      rl_log_debug("env mtd_write failed!\n");
      fail(run, STEP_BURN_FLASH, STEP_BURN_FLASH);
      return false;
    }
    mtd_layout_written_back(kEnvPartition);
  }
  return true;
}

int check_rom(run_record* run) {
  // The release signature comes first: the check extracts files and writes
  // the environment, and an image it refuses must have done neither.
  int refused = rom_release_gate(RELEASE_KEYS_DIR, &run->rom, &run->rom_len);
  if (refused < 0) return refused;
  return rom_upgrade_check(run->rom, run->rom_len, run->env_table, &run->header, run->partitions,
                           run->upgrade_flags);
}

int burn(run_record* run, CBasicUI* ui) {
  return burn_flash(run->rom, run->rom_len, run->env_table, run->header.partition_num, run->partitions,
                    run->upgrade_flags, ui);
}

[[noreturn]] void wait_for_reboot() {
  for (;;) {
    sleep(5);
    rl_log_err("wait reboot");
  }
}

}  // namespace

int run_upgrade_sequence(run_record* run, bool shm) {
  int answer = check_rom(run);
  if (answer == UPD_MSG_ROM_VERSION_SAME) {
    run->same_version = 1;
  } else if (answer < 0) {
    rl_log_err("rom pack check failed! ID:%d\n", answer);
    broadcast(IPC_TYPE_UPGRADE, IPC_UPGRADE_ROM_CHECK_FAILED);
    sleep(3);
    fail(run, STEP_ROM_CHECK, answer);
    return release_r2(run);
  }
  if (shm) {
    (void)system_ex("rm -rf /config/etc/", 5, 3);
    if (hand_over(run)) return release_r2(run);  // step code 0: the state stays for the new driver
  }
  if (mtd_config_present == 1) {
    rl_log_debug("mtd_config\n");
    if (mtd_config_deal(run->env_table) < 0) {
      rl_log_debug("mtd_config failed!\n");
      fail(run, STEP_MTD_LAYOUT, STEP_MTD_LAYOUT);
      return release_r2(run);
    }
  }
  broadcast(IPC_TYPE_UPGRADE, IPC_UPGRADE_BEGINS);
  sleep(3);
  run->cfg_locked = cfg_lock_take(run->cfg_semid, kCfgLockAttempts);
  int killed = killapps(run->upgrader_state);
  if (run->same_version) same_version_reboot(run);
  if (killed < 0) {
    rl_log_err("killapps failed!\n");
    broadcast(IPC_TYPE_UPGRADE, IPC_UPGRADE_KILLAPPS_FAILED);
    fail(run, STEP_KILLAPPS, STEP_KILLAPPS);
    return release_r1(run);
  }
  if (take_flash_lock() != 0) return 0;  // nothing released, no screen
  if (!write_back_moved_partitions(run)) return release_r1(run);
  int burnt = burn(run, run->ui);
  if (burnt < 0) {
    rl_log_err("burn flash failed!\n");
    broadcast(IPC_TYPE_UPGRADE, IPC_UPGRADE_BURN_FAILED);
    fail(run, STEP_BURN_FLASH, burnt);
    return release_r1(run);
  }

  if (!shm) {
    (void)system_ex("rm -f /config/upgrader_autop", 3, 3);
    (void)system_ex("rm -rf /config/etc", 3, 3);
    sleep(1);
    reboot_and_rearm_watchdog(run);
    if (run->cfg_locked) cfg_lock_give_back(run->cfg_semid);
    run->ui->Deinit();
    ipc_unregister();
    rl_log_info("upgrader-1 completed!\n");
    rl_log_deinit();
    return 0;
  }
  config_autop(run->env_table);
  config_deleteLineKey8(run->env_table);
  (void)system_ex("rm -f /config/upgrader_autop", 3, 3);
  sleep(1);
  reboot_and_rearm_watchdog(run);
  wait_for_reboot();
}

int handle_outcome(run_record* run) {
  // The run ends here without writing back what the layout step saved:
  // windows it moved go back to where their contents are.
  (void)mtd_layout_move_back();
  rl_log_debug("upgrader_state:%x\n", static_cast<unsigned>(run->upgrader_state));
  int state = run->upgrader_state;
  if (state == 0 || state == -1 || state == 2 || state == -3) {
    show_failure_and_wait(run->ui, run->step_code, run->reboot_fallback, run->detail_code);
  } else if ((state == 1 || state == -2) && run->step_code != 0) {
    broadcast(IPC_TYPE_FAILURE_SCREEN, 0);
    static countdown_record record;
    record.detail_code = run->detail_code;
    record.ui = run->ui;
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, autop_countdown_thread, &record);
    if (rc != 0) {
      // The countdown is what reboots the phone for sure: without its thread
      // it runs here, instead of the key wait.
      rl_log_err("countdown thread failed: %s\n", strerror(rc));
      (void)autop_countdown_thread(&record);
    }
    reboot_key_wait(run->ui, run->reboot_fallback, true);
  }
  run->ui->Deinit();
  return exit_path(run, run->step_code);
}

int run_direct_sequence(run_record* run, int rom_fd) {
  // A second UI object and a separate set of tables serve this mode.
  CBasicUI* ui = new (std::nothrow) CBasicUI();
  static run_record direct;
  direct.rom = run->rom;
  direct.rom_len = run->rom_len;
  int code = 0;
  if (ui) {
    (void)ui->Init();
    ui->ShowVersion();
  }
  int answer = check_rom(&direct);
  if (answer < 0 && answer != UPD_MSG_ROM_VERSION_SAME) {
    rl_log_err("rom pack check failed!\n");
    code = STEP_DIRECT_FAILED;
  } else if (killapps(0) < 0) {
    rl_log_err("killapps failed!\n");
    code = STEP_DIRECT_FAILED;
  } else if (burn(&direct, ui) < 0) {
    rl_log_err("burn flash failed!\n");
    code = STEP_DIRECT_FAILED;
  }
  if (code != 0) {
    delete ui;
    rl_log_deinit();
    ipc_unregister();
    munmap(const_cast<unsigned char*>(run->rom), run->rom_len);
    close(rom_fd);
    return code;
  }
  ui->Deinit();
  rl_log_info("rom upgrader completed!\n");
  delete ui;
  sleep(2);
  (void)upgrader_reboot(run->reboot_fallback);
  sleep(10);
  (void)set_watchdog(1);
  return 0;
}
