// Keypad input: a reader thread leaves the code of the latest key press in a
// one-word mailbox that the screens poll.
#pragma once

#include <stdint.h>

#include <atomic>

// Key codes as the keypad driver delivers them.
enum {
  KEY_CODE_DIGIT_0 = 10,
  KEY_CODE_STAR = 11,
  KEY_CODE_HASH = 12,
  KEY_CODE_PREV_FIELD = 13,
  KEY_CODE_NEXT_FIELD = 14,
  KEY_CODE_LEFT = 15,
  KEY_CODE_RIGHT = 16,
  KEY_CODE_CONFIRM = 17,
  KEY_CODE_DELETE = 18,
  KEY_CODE_SOFT1 = 32,
  KEY_CODE_SOFT2 = 33,
  KEY_CODE_SOFT3 = 34,
  KEY_CODE_SOFT4 = 35,
};

// The input event as the kernel of the 32-bit target delivers it: seconds and
// microseconds as two 32-bit words, type u16, code u16, value s32.
constexpr int KPAD_EVENT_SIZE = 16;
constexpr int32_t KPAD_VALUE_PRESS = 1;

struct kpad_event {
  uint16_t type;
  uint16_t code;
  int32_t value;
};

// Decodes one little-endian event record of KPAD_EVENT_SIZE bytes.
kpad_event kpad_parse_event(const uint8_t* bytes);

// Code of the latest press, 0 when none is waiting.
extern std::atomic<int32_t> g_last_key;

// Takes the waiting key (0 when none) and empties the mailbox; the first call
// starts the reader.
int key_get_keypressed();

// Body of the reader thread.
void* kpad_thread(void* arg);
