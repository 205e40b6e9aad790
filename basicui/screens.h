// The screens of the status display and the functions that open them.
#pragma once

#include <stdint.h>

#include "basicui/controls.h"
#include "basicui/dialog.h"

constexpr int UI_TEXT_SIZE = CTRL_TEXT_SIZE;
constexpr int UI_STATUS_LINES = 4;
constexpr int UI_SOFT_KEYS = 4;

// A status screen: title, four text lines, four soft-key labels (left to
// right). An empty text leaves its line blank or its soft key out.
struct update_info {
  char title[UI_TEXT_SIZE];
  char line[UI_STATUS_LINES][UI_TEXT_SIZE];
  char softkey[UI_SOFT_KEYS][UI_TEXT_SIZE];
};

enum {
  UI_SETTING_CONFIRMED = 1,
  UI_SETTING_CANCELLED = 2,
};

struct user_setting_info {
  char title[UI_TEXT_SIZE];
  char user_label[UI_TEXT_SIZE];
  char passwd_label[UI_TEXT_SIZE];
  char user[UI_TEXT_SIZE];
  char passwd[UI_TEXT_SIZE];
  int32_t result;  // 1 confirmed, 2 cancelled
};

// Screen layout (pixels).
namespace ui_layout {
constexpr uint32_t kLineHeight = 26;
constexpr uint32_t kScreenWidth = 480;
constexpr uint32_t kSoftKeyY = 246;
constexpr uint32_t kSoftKeyWidth = 116;
constexpr uint32_t kSoftKeyPitch = 120;
constexpr uint32_t kNoticeY = 123;
constexpr uint32_t kFrameX = 40, kFrameY = 220, kFrameWidth = 404, kFrameHeight = 20;
constexpr uint32_t kTroughX = 42, kTroughY = 222, kTroughWidth = 400, kTroughHeight = 16;
constexpr uint32_t kFillX = 44, kFillY = 224, kFillMaxWidth = 396, kFillHeight = 12;
constexpr uint32_t kUserFieldY = 27, kPasswdFieldY = 54, kInputWidth = 300;
constexpr uint8_t kFontSize = 24;
// Description lines of the status screens.
constexpr int kTitleLine = 0;
constexpr int kFirstSoftKeyLine = 8;  // soft key k is line 7 + k
constexpr int kFrameLine = 1, kTroughLine = 2, kFillLine = 3;
constexpr int kUserLine = 1, kPasswdLine = 2;
}  // namespace ui_layout

// Width of the progress fill for a percentage.
uint32_t basicui_progress_width(int percent);

int basicui_init();
void basicui_deinit();
void basicui_displayline_init(display_info* info);
// Opens a screen; with wait set, runs the key loop until the dialog is
// confirmed (1) or cancelled (2). 0 without waiting, -1 for a null screen.
int basicui_open_display_info(display_info* info, int wait);
int basicui_open_update_info(const update_info* info);
int basicui_open_upgrading(int percent);
void basicui_display_updating_line(const char* text);
// Fills a description with the user settings screen (fields empty, focus on
// the user field).
void basicui_build_user_setting(display_info* screen, const user_setting_info* info);
void basicui_open_user_setting(user_setting_info* info);
int basicui_get_keypressed();
