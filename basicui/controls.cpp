#include "basicui/controls.h"

#include <string.h>

#include "lcd/lcd_device.h"
#include "lcd/lcd_draw.h"

const char g_input_text[CTRL_INPUT_MODES][5] = {"ABC", "abc", "123", "1Ab"};

#define STAR_LIST "*.!@$^-_+{}[]():;\"/,'<>~#"

const char g_input_char_list[CTRL_INPUT_MODES][CTRL_TAP_KEYS][CTRL_TAP_LIST_SIZE] = {
    {" 0", "1", "ABC", "DEF", "GHI", "JKL", "MNO", "PQRS", "TUV", "WXYZ", STAR_LIST, "#"},
    {" 0", "1", "abc", "def", "ghi", "jkl", "mno", "pqrs", "tuv", "wxyz", STAR_LIST, "#"},
    {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "*.:@-/", "#"},
    {"0 ", "1", "2abcABC", "3defDEF", "4ghiGHI", "5jklJKL", "6mnoMNO", "7pqrsPQRS", "8tuvTUV",
     "9wxyzWXYZ", STAR_LIST, "#"},
};

namespace {

constexpr uint16_t kFontSize = 24;
constexpr int kScreenRight = 479;
constexpr int kScreenBottom = 271;

int tap_key_index(char key) {
  if (key >= '0' && key <= '9') return key - '0';
  if (key == '*') return 10;
  if (key == '#') return 11;
  return -1;
}

bool is_entry(const ctrl_data* ctrl) {
  return ctrl->type == CTRL_TYPE_TEXT || ctrl->type == CTRL_TYPE_PASSWORD;
}

size_t input_length(const ctrl_data* ctrl) { return strnlen(ctrl->input_text, CTRL_MAX_INPUT); }

// A cursor can never stand beyond the text it edits.
uint8_t clamped_cursor(const ctrl_data* ctrl) {
  size_t len = input_length(ctrl);
  return ctrl->cursor > len ? static_cast<uint8_t>(len) : ctrl->cursor;
}

// Puts one character at the cursor; a full field refuses it.
bool insert_at_cursor(ctrl_data* ctrl, char c) {
  size_t len = input_length(ctrl);
  if (len >= static_cast<size_t>(CTRL_MAX_INPUT)) return false;
  uint8_t at = clamped_cursor(ctrl);
  memmove(ctrl->input_text + at + 1, ctrl->input_text + at, len - at + 1);
  ctrl->input_text[at] = c;
  ctrl->cursor = static_cast<uint8_t>(at + 1);
  ctrl->redraw = 1;
  return true;
}

// Removes the character before the cursor; false at the start.
bool remove_before_cursor(ctrl_data* ctrl) {
  uint8_t at = clamped_cursor(ctrl);
  if (at == 0) return false;
  size_t len = input_length(ctrl);
  memmove(ctrl->input_text + at - 1, ctrl->input_text + at, len - at + 1);
  ctrl->cursor = static_cast<uint8_t>(at - 1);
  ctrl->redraw = 1;
  return true;
}

void end_composing(ctrl_data* ctrl) {
  ctrl->tap_counter = CTRL_TAP_SETTLED;
  ctrl->highlight = 0;
  ctrl->redraw = 1;
}

// What a password field shows: one star per character, except the character
// being composed, which stays readable until it settles.
void mask_password(const ctrl_data* ctrl, char* out) {
  memset(out, 0, CTRL_TEXT_SIZE);
  size_t len = input_length(ctrl);
  memset(out, '*', len);
  uint8_t at = clamped_cursor(ctrl);
  if (at > 0 && ctrl->tap_counter < CTRL_TAP_SETTLED) out[at - 1] = ctrl->input_text[at - 1];
}

uint16_t clamp_u16(int v) { return static_cast<uint16_t>(v > 0xFFFF ? 0xFFFF : v); }

void draw_texts(ctrl_data* ctrl, uint8_t fg) {
  int label_width = ctrl->width > ctrl->input_width ? ctrl->width - ctrl->input_width : 0;
  text_state state = {};
  state.align = ctrl->align;
  state.cursor = CTRL_NO_CURSOR;
  lcd_show_text(&state, ctrl->x, ctrl->y, static_cast<uint16_t>(label_width), ctrl->height, ctrl->label,
                ctrl->font, fg);
  if (!is_entry(ctrl)) return;

  state.cursor = clamped_cursor(ctrl);
  state.cursor_bar = ctrl->cursor_shown;
  state.highlight = ctrl->highlight;
  uint16_t input_x = clamp_u16(ctrl->x + label_width);
  uint16_t input_width = static_cast<uint16_t>(ctrl->width - label_width);
  if (ctrl->type == CTRL_TYPE_TEXT) {
    lcd_show_text(&state, input_x, ctrl->y, input_width, ctrl->height, ctrl->input_text, ctrl->font, fg);
    return;
  }
  char masked[CTRL_TEXT_SIZE];
  mask_password(ctrl, masked);
  lcd_show_text(&state, input_x, ctrl->y, input_width, ctrl->height, masked, ctrl->font, fg);
}

}  // namespace

void ctrl_copy_text(char* field, const char* text) {
  size_t len = text ? strnlen(text, CTRL_MAX_INPUT) : 0;
  if (len) memcpy(field, text, len);
  field[len] = '\0';
}

void ctrl_init(ctrl_data* ctrl, uint8_t type, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
               uint16_t input_width, const char* label, const char* input_text) {
  if (!ctrl) return;
  memset(ctrl, 0, sizeof *ctrl);
  ctrl->x = x;
  ctrl->y = y;
  ctrl->width = width;
  ctrl->height = height;
  ctrl->input_width = input_width;
  ctrl->type = type;
  ctrl->font = kFontSize;
  ctrl->bg_color = 0;
  ctrl->fg_color = 1;
  ctrl->input_mode = 1;
  ctrl->redraw = 1;
  ctrl_copy_text(ctrl->label, label);
  ctrl_copy_text(ctrl->input_text, input_text);
  if (is_entry(ctrl)) {
    ctrl->cursor_shown = 1;
    ctrl->cursor = static_cast<uint8_t>(input_length(ctrl));
  }
}

void ctrl_show(ctrl_data* ctrl, int full) {
  if (!ctrl || ctrl->width == 0 || ctrl->height == 0) return;
  if (!full && !ctrl->redraw) return;

  int right = ctrl->x + ctrl->width - 1;
  int bottom = ctrl->y + ctrl->height - 1;
  if (right > kScreenRight) right = kScreenRight;
  if (bottom > kScreenBottom) bottom = kScreenBottom;
  lcd_set_redraw(ctrl->x, ctrl->y, static_cast<uint16_t>(right), static_cast<uint16_t>(bottom));
  ctrl->redraw = 0;

  uint8_t fg = ctrl->fg_color & 1;
  uint8_t bg = ctrl->bg_color & 1;
  if (ctrl->reverse) {
    fg ^= 1;
    bg ^= 1;
  }
  lcd_fill_color(ctrl->x, ctrl->y, ctrl->width, ctrl->height, bg);
  if (ctrl->border || ctrl->focus)
    lcd_draw_rect(ctrl->x, ctrl->y, static_cast<uint16_t>(right), static_cast<uint16_t>(bottom), fg);
  if (!ctrl->hidden) draw_texts(ctrl, fg);
}

void ctrl_set_align(ctrl_data* ctrl, uint8_t align) {
  if (!ctrl) return;
  ctrl->align = align;
  ctrl->redraw = 1;
}

void ctrl_set_reverse(ctrl_data* ctrl, uint8_t reverse) {
  if (!ctrl) return;
  ctrl->reverse = reverse;
  ctrl->redraw = 1;
}

void ctrl_set_bg_color(ctrl_data* ctrl, uint16_t color) {
  if (!ctrl) return;
  ctrl->bg_color = color;
  ctrl->redraw = 1;
}

void ctrl_set_rect(ctrl_data* ctrl, uint16_t x, uint16_t y, uint16_t width, uint16_t height) {
  if (!ctrl) return;
  ctrl->x = x;
  ctrl->y = y;
  ctrl->width = width;
  ctrl->height = height;
  ctrl->redraw = 1;
}

void ctrl_set_hidden(ctrl_data* ctrl, uint8_t hidden) {
  if (!ctrl) return;
  ctrl->hidden = hidden;
  ctrl->redraw = 1;
}

void ctrl_switch_input(ctrl_data* ctrl) {
  if (!ctrl) return;
  ctrl->input_mode = static_cast<uint8_t>((ctrl->input_mode + 1) % CTRL_INPUT_MODES);
}

const char* ctrl_get_input_text(int mode) {
  if (mode < 0 || mode >= CTRL_INPUT_MODES) mode = 1;
  return g_input_text[mode];
}

int ctrl_add_char(ctrl_data* ctrl, char key) {
  if (!ctrl || !is_entry(ctrl)) return -1;
  int key_index = tap_key_index(key);
  if (key_index < 0) return -1;
  int mode = ctrl->input_mode < CTRL_INPUT_MODES ? ctrl->input_mode : 1;
  const char* list = g_input_char_list[mode][key_index];
  size_t list_len = strlen(list);

  bool composing = ctrl->last_key == static_cast<uint8_t>(key) && ctrl->tap_counter < CTRL_TAP_SETTLED;
  bool placed;
  if (composing && list_len >= 2) {
    ctrl->tap_index = static_cast<uint8_t>((ctrl->tap_index + 1) % list_len);
    remove_before_cursor(ctrl);
    placed = insert_at_cursor(ctrl, list[ctrl->tap_index]);
  } else {
    ctrl->tap_index = 0;
    placed = insert_at_cursor(ctrl, list[0]);
  }

  ctrl->last_key = static_cast<uint8_t>(key);
  if (!placed) {
    // A full field took nothing: composing must not start, or the next
    // press of the same key would overwrite a settled character (and a
    // password field would show it in clear).
    end_composing(ctrl);
    return 0;
  }
  ctrl->highlight = list_len >= 2 ? 1 : 0;
  ctrl->tap_counter = 0;
  return 0;
}

int ctrl_del_char(ctrl_data* ctrl) {
  if (!ctrl) return -1;
  if (!remove_before_cursor(ctrl)) return -1;
  end_composing(ctrl);
  return 0;
}

void ctrl_move_left(ctrl_data* ctrl) {
  if (!ctrl) return;
  uint8_t at = clamped_cursor(ctrl);
  ctrl->cursor = at > 0 ? static_cast<uint8_t>(at - 1) : 0;
  end_composing(ctrl);
}

void ctrl_move_right(ctrl_data* ctrl) {
  if (!ctrl) return;
  uint8_t at = clamped_cursor(ctrl);
  if (at < input_length(ctrl)) ++at;
  ctrl->cursor = at;
  end_composing(ctrl);
}

void ctrl_show_cursor(ctrl_data* ctrl, uint8_t shown) {
  if (!ctrl) return;
  ctrl->cursor_shown = shown;
  if (ctrl->tap_counter < CTRL_TAP_SETTLED)
    ++ctrl->tap_counter;
  else
    ctrl->highlight = 0;
  ctrl->redraw = 1;
}
