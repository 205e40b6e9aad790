// Text controls: one rectangular element of a dialog (a line of text, a
// soft-key label, a bar, or a text entry field fed by multi-tap).
#pragma once

#include <stdint.h>

enum {
  CTRL_TYPE_PLAIN = 0,
  CTRL_TYPE_TEXT = 1,
  CTRL_TYPE_PASSWORD = 2,
};

enum {
  CTRL_ALIGN_LEFT = 0,
  CTRL_ALIGN_CENTER = 1,
  CTRL_ALIGN_RIGHT = 2,
};

constexpr int CTRL_TEXT_SIZE = 64;              // label and input text, terminator included
constexpr int CTRL_MAX_INPUT = CTRL_TEXT_SIZE - 1;
constexpr int CTRL_INPUT_MODES = 4;
constexpr int CTRL_TAP_KEYS = 12;                // "0" to "9", "*", "#"
constexpr int CTRL_TAP_LIST_SIZE = 30;
constexpr uint8_t CTRL_TAP_SETTLED = 2;          // tap counter value: nothing being composed
constexpr uint8_t CTRL_NO_CURSOR = 255;

struct ctrl_data {
  uint16_t x, y, width, height;
  uint16_t input_width;  // input area at the right end; the label gets the rest
  uint8_t type;
  uint8_t redraw;
  uint8_t hidden;
  uint8_t focus;
  uint16_t font;
  uint16_t bg_color;
  uint16_t fg_color;
  uint8_t align;
  uint8_t reverse;
  uint8_t border;
  uint8_t cursor;        // characters before the cursor
  uint8_t cursor_shown;
  uint8_t input_mode;    // 0 "ABC", 1 "abc", 2 "123", 3 "1Ab"
  uint8_t tap_counter;   // blinks since the last multi-tap key; 2 = settled
  uint8_t last_key;
  uint8_t tap_index;
  uint8_t highlight;
  char label[CTRL_TEXT_SIZE];
  char input_text[CTRL_TEXT_SIZE];
};

extern const char g_input_text[CTRL_INPUT_MODES][5];
extern const char g_input_char_list[CTRL_INPUT_MODES][CTRL_TAP_KEYS][CTRL_TAP_LIST_SIZE];

// Copies a text into a 64-byte field, cutting what does not fit. The source
// is read no further than the field's length, so an unterminated field of a
// screen description is safe too. A null text gives an empty field.
void ctrl_copy_text(char* field, const char* text);

void ctrl_init(ctrl_data* ctrl, uint8_t type, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
               uint16_t input_width, const char* label, const char* input_text);
void ctrl_show(ctrl_data* ctrl, int full);

void ctrl_set_align(ctrl_data* ctrl, uint8_t align);
void ctrl_set_reverse(ctrl_data* ctrl, uint8_t reverse);
void ctrl_set_bg_color(ctrl_data* ctrl, uint16_t color);
void ctrl_set_rect(ctrl_data* ctrl, uint16_t x, uint16_t y, uint16_t width, uint16_t height);
void ctrl_set_hidden(ctrl_data* ctrl, uint8_t hidden);

void ctrl_switch_input(ctrl_data* ctrl);
const char* ctrl_get_input_text(int mode);

// Multi-tap entry of a key character ("0".."9", "*", "#"): 0, or -1.
int ctrl_add_char(ctrl_data* ctrl, char key);
// Removes the character before the cursor: 0, or -1 at the start.
int ctrl_del_char(ctrl_data* ctrl);
void ctrl_move_left(ctrl_data* ctrl);
void ctrl_move_right(ctrl_data* ctrl);
// The blink: stores the cursor-shown flag and counts the composing time.
void ctrl_show_cursor(ctrl_data* ctrl, uint8_t shown);
