#include "upgrader/failure_screens.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "basicui/basicui.h"
#include "libipc/libipc.h"
#include "log/rl_log.h"
#include "upgrader/driver.h"
#include "sysrun/system_actions.h"

namespace {

constexpr int kEventSize = 16;
constexpr int kReadyAfterRebootSeconds = 10;

// The display stack has no lock of its own; the countdown thread and the
// reboot-key wait both draw, so their screen calls take turns here.
pthread_mutex_t g_screen_lock = PTHREAD_MUTEX_INITIALIZER;

void show_notice(CBasicUI* ui, const char* text) {
  pthread_mutex_lock(&g_screen_lock);
  ui->DispNoticeInfo(text);
  pthread_mutex_unlock(&g_screen_lock);
}

void show_countdown(CBasicUI* ui, int detail_code, int count) {
  pthread_mutex_lock(&g_screen_lock);
  ui->ShowUpgradingAutop2FailedInfoWithID(detail_code, count);
  pthread_mutex_unlock(&g_screen_lock);
}

void reboot_and_rearm_watchdog(int reboot_fallback) {
  (void)upgrader_reboot(reboot_fallback);
  sleep(kReadyAfterRebootSeconds);
  (void)set_watchdog(1);
}

// One whole 16-byte event of the 32-bit target: time (8), type (2), code (2),
// value (4). A pipe may deliver it in pieces.
int read_event(int fd, unsigned char event[kEventSize]) {
  int got = 0;
  while (got < kEventSize) {
    ssize_t n = read(fd, event + got, static_cast<size_t>(kEventSize - got));
    if (n <= 0) return -1;
    got += static_cast<int>(n);
  }
  return 0;
}

}  // namespace

const char* failure_text(int step_code, int detail_code) {
  if (detail_code == -74) return "Upgrade Failed!";
  switch (step_code) {
    case STEP_STATE_FAILED: return "Load Rom Failed!";
    case STEP_NO_SHARED_STATE: return "Get shm Failed!";
    case STEP_ROM_CHECK: return "Rom check Failed!";
    case STEP_KILLAPPS: return "Killapps Failed!";
    case STEP_BURN_FLASH: return "Burn Flash Failed!";
    default: return "Upgrade Failed!";
  }
}

void show_failure_and_wait(CBasicUI* ui, int step_code, int reboot_fallback, int detail_code) {
  if (step_code == 0) return;
  (void)ipc_broadcast(IPC_TYPE_FAILURE_SCREEN, 0, 0, nullptr, 0);
  char text[20];
  snprintf(text, sizeof text, "%s", failure_text(step_code, detail_code));
  rl_log_err("%s", text);
  pthread_mutex_lock(&g_screen_lock);
  ui->ShowUpgradingFailedInfoWithID(text, detail_code);
  pthread_mutex_unlock(&g_screen_lock);
  reboot_key_wait(ui, reboot_fallback, false);
}

void reboot_key_wait(CBasicUI* ui, int reboot_fallback, bool countdown_running) {
  int fd = open(INPUT_DEVICE_PATH, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror("failed to open \n");
    // Ending the process would end the countdown with it, and with it the
    // only reboot left: wait for the countdown's instead.
    if (countdown_running) {
      for (;;) pause();
    }
    exit(-1);
  }
  for (;;) {
    unsigned char event[kEventSize];
    if (read_event(fd, event) != 0) {
      sleep(1);  // a broken input device: keep the screen, poll again
      continue;
    }
    uint16_t code;
    int32_t value;
    memcpy(&code, event + 10, sizeof code);
    memcpy(&value, event + 12, sizeof value);
    if (value != 1 || code != REBOOT_KEY_CODE) continue;
    show_notice(ui, "Rebooting...");
    reboot_and_rearm_watchdog(reboot_fallback);
  }
}

void* autop_countdown_thread(void* arg) {
  const countdown_record* record = static_cast<const countdown_record*>(arg);
  int count = AUTOP_COUNTDOWN_SECONDS;
  for (;;) {
    show_countdown(record->ui, record->detail_code, count);
    --count;
    sleep(1);
    if (count > 0) continue;
    show_notice(record->ui, "Rebooting...");
    reboot_and_rearm_watchdog(1);
  }
  return nullptr;
}
