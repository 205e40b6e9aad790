// The screens that hold the phone after a failed upgrade until it reboots.
#pragma once

class CBasicUI;

#define INPUT_DEVICE_PATH "/dev/input/event0"
#define REBOOT_KEY_CODE 35
#define AUTOP_COUNTDOWN_SECONDS 60

struct countdown_record {
  int detail_code;
  CBasicUI* ui;
};

// Returns only when step_code is 0.
void show_failure_and_wait(CBasicUI* ui, int step_code, int reboot_fallback, int detail_code);
// Reboots on the Reboot key. Without an input device it ends the process,
// unless a countdown is running: that one reboots the phone then.
[[noreturn]] void reboot_key_wait(CBasicUI* ui, int reboot_fallback, bool countdown_running);
void* autop_countdown_thread(void* record);
// The failure text of a step code, detail -74 overriding.
const char* failure_text(int step_code, int detail_code);
