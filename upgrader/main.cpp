// upgrader: checks a ROM image, programs the flash and reboots the phone.
//
//   upgrader             the ROM is in the shared upgrade state
//   upgrader rom_file    the ROM is a file
//   upgrader rom_file x  direct mode: check and write only
#include <initializer_list>
#include <new>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "basicui/basicui.h"
#include "libipc/libipc.h"
#include "log/rl_log.h"
#include "semctrl/semctrl.h"
#include "upgrader/driver.h"
#include "sysrun/shell_runner.h"

namespace {

constexpr int kCopyAttempts = 5;

void signal_handler(int sig) {
  int tid = static_cast<int>(syscall(SYS_gettid));
  switch (sig) {
    case SIGINT: rl_log_err("Catch a signal SIGINT, thread id %d.", tid); break;
    case SIGQUIT: rl_log_err("Catch a signal SIGQUIT, thread id %d.", tid); break;
    case SIGILL: rl_log_err("Catch a signal SIGILL, thread id %d.", tid); break;
    case SIGABRT: rl_log_err("Catch a signal SIGABRT, thread id %d.", tid); break;
    case SIGBUS: rl_log_err("Catch a signal SIGBUS, thread id %d.", tid); break;
    case SIGSEGV: rl_log_err("Catch a signal SIGSEGV, thread id %d.", tid); break;
    default: rl_log_err("Catch a signal %d, thread id %d.", sig, tid); break;
  }
  _exit(0);  // nothing is released: locks taken without undo stay taken
}

void install_signal_handlers() {
  for (int sig : {SIGINT, SIGSEGV, SIGILL, SIGHUP, SIGQUIT, SIGABRT, SIGBUS}) signal(sig, signal_handler);
}

// The flash that holds /bin is about to be rewritten: every later tool runs
// from the copy in /tmp/bin.
int copy_bins() {
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    if (check_shell_status(system("cp /bin/ /tmp/ -rf")) == 0) return 0;
    sleep(1);
  }
  return -1;
}

}  // namespace

int exit_path(run_record* run, int code) {
  ipc_unregister();
  rl_log_deinit();
  delete run->ui;
  run->ui = nullptr;
  return code;
}

int main(int argc, char** argv) {
  static run_record run;  // lives for the whole run, also while a screen holds the phone
  run.ui = new (std::nothrow) CBasicUI();
  run.program_path = argv[0] ? argv[0] : "";
  rl_log_init("upgrader", 7);
  rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", "upgrader", "1.0.0.81", "Apr 20 2023", "03:19:27");
  install_signal_handlers();
  memset(run.env_table, 0, sizeof run.env_table);
  ipc_register(UPGRADER_IPC_ID);

  // The shared-memory and file modes run under the process lock; one that
  // will stop at it leaves the copies in /tmp to the driver that holds it.
  const bool stops_at_the_lock = argc - 1 <= 1 && claim_process_lock(&run) != 0;
  if (!stops_at_the_lock) {
    run.reboot_fallback = check_shell_status(system("cp /sbin/reboot /tmp/")) != 0 ? 1 : 0;
    if (copy_bins() != 0) {
      rl_log_err("copy_bins failed!\n");
      unclaim_process_lock(&run);
      return exit_path(&run, STEP_COPY_BINS);
    }
  }
  if (argc - 1 >= 3) {
    rl_log_info("\nusage: %s  or  %s rom_file\n", run.program_path, run.program_path);
    return exit_path(&run, STEP_USAGE);
  }
  run.cfg_semid = binary_sem_create_key(SEM_KEY_SAVE_FILE);
  if (run.cfg_semid < 0) rl_log_err("SEM_KEY_SAVE_FILE get failed! Is save mode?\n");
  rl_log_debug("cfg_semid:%x\n", static_cast<unsigned>(run.cfg_semid));

  if (!run.ui) {
    unclaim_process_lock(&run);
    return exit_path(&run, -1);
  }
  switch (argc - 1) {
    case 0: return run_shared_memory_mode(&run);
    case 1: return run_file_mode(&run, argv[1]);
    default: return run_direct_mode(&run, argv[1]);
  }
}
