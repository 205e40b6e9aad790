// The dialog engine: a full-screen object with a background and twelve
// controls, built from a screen description.
#pragma once

#include <stdint.h>

#include "basicui/controls.h"

constexpr int DLG_LINES = 12;
constexpr uint8_t DLG_NO_FOCUS = 255;
constexpr uint16_t DLG_WIDTH = 480;
constexpr uint16_t DLG_HEIGHT = 272;

// Background codes; any other value is the address of a 480 x 272 one-bit
// picture in canvas layout.
constexpr uintptr_t DLG_BACKGROUND_LIGHT = 0;
constexpr uintptr_t DLG_BACKGROUND_DARK = 1;

struct display_line {
  uint32_t x;  // only the low 16 bits are used
  uint32_t y;
  uint32_t width;   // 0: not drawn
  uint32_t height;  // 0: not drawn
  uint32_t input_width;
  uint8_t align;
  uint8_t font;
  uint8_t border;
  uint8_t reverse;
  uint8_t type;
  char label[CTRL_TEXT_SIZE];
  char input_text[CTRL_TEXT_SIZE];  // initial text; the entered text after a confirm
};

struct display_info {
  uint8_t start_focus;  // 12 or more: no focus
  uint8_t first_focus;
  uint8_t last_focus;
  // 0 light, 1 dark, else the address of a picture: wide enough for a
  // pointer on every build.
  uintptr_t background;
  display_line lines[DLG_LINES];
};

struct dlg_display;
typedef void (*dlg_load_fn)(dlg_display* dlg, display_info* info);
typedef void (*dlg_show_fn)(dlg_display* dlg, int full);
typedef int (*dlg_key_fn)(dlg_display* dlg, int key);
typedef void (*dlg_close_fn)(dlg_display* dlg);
typedef void (*dlg_tick_fn)(dlg_display* dlg);

struct dlg_display {
  dlg_load_fn load;
  dlg_show_fn show;
  dlg_key_fn key;
  dlg_close_fn close;
  dlg_tick_fn tick;
  uint16_t x, y, width, height;
  uint8_t number;
  uint8_t repaint_background;
  uint8_t count;
  uint8_t focus;
  uint8_t first, last;
  uintptr_t background;
  ctrl_data controls[DLG_LINES];
  display_info* description;
};

// Answers of dlg_key.
enum {
  DLG_KEY_NO_FOCUS = -1,
  DLG_KEY_HANDLED = 0,
  DLG_KEY_CONFIRMED = 1,
  DLG_KEY_CANCELLED = 2,
};

// The one dialog object of the run (null when it could not be allocated).
extern dlg_display* gp_dlgdisplay;

dlg_display* dlg_init();
void open_dlg(dlg_display* dlg, display_info* info);
void dlg_load(dlg_display* dlg, display_info* info);
void dlg_show(dlg_display* dlg, int full);
int dlg_key(dlg_display* dlg, int key);
void dlg_close(dlg_display* dlg);
void dlg_tick(dlg_display* dlg);
void dlg_next_item(dlg_display* dlg);
void dlg_prev_item(dlg_display* dlg);
