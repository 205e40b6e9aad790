#include "basicui/dialog.h"

#include <stdlib.h>
#include <string.h>

#include "lcd/lcd_device.h"
#include "lcd/lcd_draw.h"
#include "log/rl_log.h"

dlg_display* gp_dlgdisplay = nullptr;

namespace {

constexpr int kBandRows = 8;
constexpr int kModeKeyControl = 9;  // soft key 2 shows the input mode's name

ctrl_data* focused_control(dlg_display* dlg) {
  if (!dlg || dlg->focus >= DLG_LINES) return nullptr;
  return &dlg->controls[dlg->focus];
}

// Focus moves only between valid, focusable controls; a description whose
// bounds reach past the twelve controls moves nothing.
bool focus_movable(const dlg_display* dlg) {
  return dlg && dlg->last < DLG_LINES && dlg->first <= dlg->focus && dlg->focus <= dlg->last;
}

void lose_focus(ctrl_data* ctrl) {
  ctrl->focus = 0;
  ctrl->highlight = 0;
  ctrl->cursor_shown = 0;
  ctrl->tap_counter = CTRL_TAP_SETTLED;
  ctrl->redraw = 1;
}

void gain_focus(ctrl_data* ctrl) {
  ctrl->focus = 1;
  ctrl->redraw = 1;
}

void paint_background(dlg_display* dlg) {
  if (dlg->background == DLG_BACKGROUND_LIGHT || dlg->background == DLG_BACKGROUND_DARK) {
    uint8_t colour = dlg->background == DLG_BACKGROUND_DARK ? 1 : 0;
    for (int band = 0; band < dlg->height / kBandRows; ++band)
      lcd_fill_color(0, static_cast<uint16_t>(kBandRows * band), dlg->width, kBandRows, colour);
    return;
  }
  const auto* picture = reinterpret_cast<const unsigned char*>(dlg->background);
  lcd_draw_icon(0, 0, dlg->width, dlg->height, picture, dlg->width * dlg->height / 8);
}

// Moving the focus carries the input mode over to the new field.
void hand_over_input_mode(dlg_display* dlg, uint8_t old_focus) {
  if (old_focus >= DLG_LINES || dlg->focus >= DLG_LINES) return;
  dlg->controls[dlg->focus].input_mode = dlg->controls[old_focus].input_mode;
}

void write_back_inputs(dlg_display* dlg) {
  if (!dlg->description) return;
  for (int i = 0; i < DLG_LINES; ++i)
    ctrl_copy_text(dlg->description->lines[i].input_text, dlg->controls[i].input_text);
}

void show_input_mode(dlg_display* dlg, const ctrl_data* ctrl) {
  ctrl_data* mode_key = &dlg->controls[kModeKeyControl];
  ctrl_copy_text(mode_key->label, ctrl_get_input_text(ctrl->input_mode));
  mode_key->redraw = 1;
}

}  // namespace

dlg_display* dlg_init() {
  auto* dlg = static_cast<dlg_display*>(calloc(1, sizeof(dlg_display)));
  if (!dlg) return nullptr;
  dlg->load = dlg_load;
  dlg->show = dlg_show;
  dlg->key = dlg_key;
  dlg->close = dlg_close;
  dlg->tick = dlg_tick;
  dlg->x = 0;
  dlg->y = 0;
  dlg->width = DLG_WIDTH;
  dlg->height = DLG_HEIGHT;
  dlg->number = 0;
  dlg->repaint_background = 1;
  return dlg;
}

void open_dlg(dlg_display* dlg, display_info* info) {
  if (!dlg) return;
  rl_log_debug("Opened Dialog 0x%X.", dlg->number);
  dlg->load(dlg, info);
  dlg->show(dlg, 1);
}

void dlg_load(dlg_display* dlg, display_info* info) {
  if (!dlg || !info) return;
  dlg->description = info;
  dlg->background = info->background;
  for (int i = 0; i < DLG_LINES; ++i) {
    const display_line& line = info->lines[i];
    ctrl_data* ctrl = &dlg->controls[i];
    // The type is set after the init, so an entry field starts with its
    // cursor at 0 and hidden.
    ctrl_init(ctrl, CTRL_TYPE_PLAIN, static_cast<uint16_t>(line.x), static_cast<uint16_t>(line.y),
              static_cast<uint16_t>(line.width), static_cast<uint16_t>(line.height),
              static_cast<uint16_t>(line.input_width), line.label, line.input_text);
    ctrl_set_align(ctrl, line.align);
    ctrl_set_reverse(ctrl, line.reverse);
    ctrl->border = line.border;
    ctrl->type = line.type;
  }
  if (info->start_focus < DLG_LINES) dlg->controls[info->start_focus].focus = 1;
  dlg->focus = info->start_focus;
  dlg->first = info->first_focus;
  dlg->last = info->last_focus;
  dlg->count = DLG_LINES;
}

void dlg_show(dlg_display* dlg, int full) {
  if (!dlg) return;
  int whole = full || dlg->repaint_background;
  if (whole) {
    lcd_set_redraw(dlg->x, dlg->y, static_cast<uint16_t>(dlg->x + dlg->width - 1),
                   static_cast<uint16_t>(dlg->y + dlg->height - 1));
    paint_background(dlg);
    dlg->repaint_background = 0;
  }
  int count = dlg->count < DLG_LINES ? dlg->count : DLG_LINES;
  for (int i = 0; i < count; ++i) ctrl_show(&dlg->controls[i], whole);
  lcd_refresh();
}

int dlg_key(dlg_display* dlg, int key) {
  ctrl_data* ctrl = focused_control(dlg);
  if (!ctrl) return DLG_KEY_NO_FOCUS;
  uint8_t code = static_cast<uint8_t>(key & 0xFF);
  uint8_t old_focus = dlg->focus;
  switch (code) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9:
      ctrl_add_char(ctrl, static_cast<char>('0' + code));
      break;
    case 10:
      ctrl_add_char(ctrl, '0');
      break;
    case 11:
      ctrl_add_char(ctrl, '*');
      break;
    case 12:
      ctrl_add_char(ctrl, '#');
      break;
    case 13:
      dlg_prev_item(dlg);
      hand_over_input_mode(dlg, old_focus);
      break;
    case 14:
      dlg_next_item(dlg);
      hand_over_input_mode(dlg, old_focus);
      break;
    case 15:
      ctrl_move_left(ctrl);
      break;
    case 16:
      ctrl_move_right(ctrl);
      break;
    case 17:
    case 35:
      write_back_inputs(dlg);
      return DLG_KEY_CONFIRMED;
    case 18:
    case 34:
      ctrl_del_char(ctrl);
      break;
    case 32:
      return DLG_KEY_CANCELLED;
    case 33:
      ctrl_switch_input(ctrl);
      show_input_mode(dlg, ctrl);
      break;
    default:
      break;
  }
  dlg_show(dlg, 0);
  return DLG_KEY_HANDLED;
}

void dlg_close(dlg_display*) {}

void dlg_tick(dlg_display* dlg) {
  ctrl_data* ctrl = focused_control(dlg);
  if (!ctrl) return;
  ctrl_show_cursor(ctrl, ctrl->cursor_shown ? 0 : 1);
  dlg_show(dlg, 0);
}

void dlg_next_item(dlg_display* dlg) {
  if (!focus_movable(dlg)) return;
  lose_focus(&dlg->controls[dlg->focus]);
  dlg->focus = dlg->focus == dlg->last ? dlg->first : static_cast<uint8_t>(dlg->focus + 1);
  gain_focus(&dlg->controls[dlg->focus]);
}

void dlg_prev_item(dlg_display* dlg) {
  if (!focus_movable(dlg)) return;
  lose_focus(&dlg->controls[dlg->focus]);
  dlg->focus = dlg->focus == dlg->first ? dlg->last : static_cast<uint8_t>(dlg->focus - 1);
  ctrl_data* ctrl = &dlg->controls[dlg->focus];
  gain_focus(ctrl);
  ctrl->cursor_shown = 1;
}
