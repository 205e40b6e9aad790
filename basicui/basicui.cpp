#include "basicui/basicui.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "basicui/dialog.h"
#include "basicui/keypad.h"
#include "basicui/screens.h"
#include "lcd/lcd_device.h"
#include "lcd/lcd_draw.h"
#include "log/rl_log.h"

using namespace ui_layout;

namespace {

constexpr useconds_t kKeyPollUs = 50 * 1000;
constexpr int kPassesPerBlink = 10;

// The screen on display: the dialog writes entered texts back into it, so it
// must outlive the screen, and every screen reuses it.
display_info s_screen;
// Key-loop passes since the last blink; lives for the whole run.
int s_key_loop_passes = 0;

void set_box(display_line* line, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  line->x = x;
  line->y = y;
  line->width = width;
  line->height = height;
}

void set_title_bar(display_line* line, const char* title) {
  set_box(line, 0, 0, kScreenWidth, kLineHeight);
  line->reverse = 1;
  line->align = CTRL_ALIGN_CENTER;
  ctrl_copy_text(line->label, title);
}

void set_soft_key(display_info* info, int key, const char* label) {
  display_line* line = &info->lines[kFirstSoftKeyLine + key];
  set_box(line, kSoftKeyPitch * static_cast<uint32_t>(key), kSoftKeyY, kSoftKeyWidth, kLineHeight);
  line->reverse = 1;
  line->align = CTRL_ALIGN_CENTER;
  ctrl_copy_text(line->label, label);
}

void set_entry_field(display_line* line, uint32_t y, uint8_t type, const char* label) {
  set_box(line, 0, y, kScreenWidth, kLineHeight);
  line->input_width = kInputWidth;
  line->type = type;
  ctrl_copy_text(line->label, label);
}

void copy_field(char* field, const char* text) {
  snprintf(field, UI_TEXT_SIZE, "%s", text ? text : "");
}

}  // namespace

uint32_t basicui_progress_width(int percent) {
  if (percent <= 0) return 0;
  if (percent > 100) return kFillMaxWidth;
  return static_cast<uint32_t>(percent) * kFillMaxWidth / 100;
}

int basicui_init() {
  if (!gp_dlgdisplay) gp_dlgdisplay = dlg_init();
  return lcd_init();
}

void basicui_deinit() { lcd_denit(); }

void basicui_displayline_init(display_info* info) {
  if (!info) return;
  memset(info, 0, sizeof *info);
  for (display_line& line : info->lines) line.font = kFontSize;
  info->start_focus = DLG_NO_FOCUS;
}

int basicui_open_display_info(display_info* info, int wait) {
  if (!info) return -1;
  open_dlg(gp_dlgdisplay, info);
  if (!wait) return 0;
  for (;;) {
    usleep(kKeyPollUs);
    int key = key_get_keypressed();
    if (key != 0) {
      rl_log_info("KEY = %d", key);
      int answer = dlg_key(gp_dlgdisplay, key & 0xFF);
      if (answer == DLG_KEY_CONFIRMED || answer == DLG_KEY_CANCELLED) return answer;
    }
    if (++s_key_loop_passes >= kPassesPerBlink) {
      dlg_tick(gp_dlgdisplay);
      s_key_loop_passes = 0;
    }
  }
}

int basicui_open_update_info(const update_info* info) {
  if (!info) return -1;
  basicui_displayline_init(&s_screen);
  set_title_bar(&s_screen.lines[kTitleLine], info->title);
  for (int i = 0; i < UI_STATUS_LINES; ++i) {
    display_line* line = &s_screen.lines[1 + i];
    set_box(line, 0, kLineHeight * static_cast<uint32_t>(i + 1), kScreenWidth, kLineHeight);
    ctrl_copy_text(line->label, info->line[i]);
  }
  for (int k = 0; k < UI_SOFT_KEYS; ++k)
    if (info->softkey[k][0] != '\0') set_soft_key(&s_screen, k, info->softkey[k]);
  return basicui_open_display_info(&s_screen, 0);
}

int basicui_open_upgrading(int percent) {
  basicui_displayline_init(&s_screen);
  s_screen.background = reinterpret_cast<uintptr_t>(g_image_upgrading);
  display_line* frame = &s_screen.lines[kFrameLine];
  set_box(frame, kFrameX, kFrameY, kFrameWidth, kFrameHeight);
  frame->reverse = 1;
  set_box(&s_screen.lines[kTroughLine], kTroughX, kTroughY, kTroughWidth, kTroughHeight);
  display_line* fill = &s_screen.lines[kFillLine];
  set_box(fill, kFillX, kFillY, basicui_progress_width(percent), kFillHeight);
  fill->reverse = 1;
  basicui_open_display_info(&s_screen, 0);
  return 0;
}

void basicui_display_updating_line(const char* text) {
  if (!text) return;
  basicui_displayline_init(&s_screen);
  display_line* line = &s_screen.lines[0];
  set_box(line, 0, kNoticeY, kScreenWidth, kLineHeight);
  line->align = CTRL_ALIGN_CENTER;
  ctrl_copy_text(line->label, text);
  basicui_open_display_info(&s_screen, 0);
}

void basicui_build_user_setting(display_info* screen, const user_setting_info* info) {
  if (!screen || !info) return;
  basicui_displayline_init(screen);
  set_title_bar(&screen->lines[kTitleLine], info->title);
  set_entry_field(&screen->lines[kUserLine], kUserFieldY, CTRL_TYPE_TEXT, info->user_label);
  set_entry_field(&screen->lines[kPasswdLine], kPasswdFieldY, CTRL_TYPE_PASSWORD, info->passwd_label);
  const char* const keys[UI_SOFT_KEYS] = {"Cancel", "abc", "Delete", "OK"};
  for (int k = 0; k < UI_SOFT_KEYS; ++k) set_soft_key(screen, k, keys[k]);
  screen->start_focus = kUserLine;
  screen->first_focus = kUserLine;
  screen->last_focus = kPasswdLine;
}

void basicui_open_user_setting(user_setting_info* info) {
  if (!info) return;
  basicui_build_user_setting(&s_screen, info);
  int answer = basicui_open_display_info(&s_screen, 1);
  ctrl_copy_text(info->user, s_screen.lines[kUserLine].input_text);
  ctrl_copy_text(info->passwd, s_screen.lines[kPasswdLine].input_text);
  info->result = answer;
}

int basicui_get_keypressed() { return key_get_keypressed(); }

int CBasicUI::Init() {
  (void)basicui_init();
  return 0;
}

void CBasicUI::Deinit() { basicui_deinit(); }

void CBasicUI::ShowVersion() {
  rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", "basicUI", "2.0.0.15", __DATE__, __TIME__);
}

int CBasicUI::SetUpgradingProgressBar(int percent) { return basicui_open_upgrading(percent); }

void CBasicUI::DispNoticeInfo(const char* text) { basicui_display_updating_line(text); }

int CBasicUI::ShowUpgradingFailedInfo(const char* message, int id) {
  rl_log_debug("Do %s", "ShowUpgradingFailedInfo");
  if (!message) return -1;
  update_info info = {};
  copy_field(info.title, "Upgrade Status");
  if (id != 0)
    snprintf(info.line[0], UI_TEXT_SIZE, "%s:%d", message, id);
  else
    copy_field(info.line[0], message);
  copy_field(info.softkey[3], "Reboot");
  basicui_open_update_info(&info);
  return 0;
}

int CBasicUI::ShowUpgradingFailedInfoWithID(const char* message, int id) {
  return ShowUpgradingFailedInfo(message, id);
}

int CBasicUI::ShowUpgradingAutop2FailedInfoWithID(int id, int count) {
  rl_log_debug("Do %s", "ShowUpgradingAutop2FailedInfoWithID");
  update_info info = {};
  copy_field(info.title, "Upgrade Status");
  snprintf(info.line[0], UI_TEXT_SIZE, "Upgrade failed:%d", id);
  copy_field(info.line[1], "Autoprovision failed,");
  copy_field(info.line[2], "Please check errors on web");
  snprintf(info.line[3], UI_TEXT_SIZE, "%d", count);
  copy_field(info.softkey[3], "Reboot");
  basicui_open_update_info(&info);
  return 0;
}

int CBasicUI::ShowUpgradingExtFailed() {
  rl_log_debug("Do %s", "ShowUpgradingExtFailed");
  update_info info = {};
  copy_field(info.title, "Upgrading Expansion Status");
  copy_field(info.line[0], "Upgrade Expansion failed,");
  copy_field(info.line[1], "Please check the ROM file!");
  copy_field(info.softkey[3], "Reboot");
  basicui_open_update_info(&info);
  return 0;
}

int CBasicUI::ShowUpgradingExtInfo(int count) {
  rl_log_debug("Do %s", "ShowUpgradingExtInfo");
  update_info info = {};
  copy_field(info.title, "Upgrading Expansion Status");
  copy_field(info.line[1], "Please connect Expansion..");
  snprintf(info.line[2], UI_TEXT_SIZE, "Upgraded count:%d", count);
  copy_field(info.line[3], "Upgrading, Please wait...");
  basicui_open_update_info(&info);
  return 0;
}

int CBasicUI::ShowUpgradedExtInfo(int count) {
  rl_log_debug("Do %s", "ShowUpgradedExtInfo");
  update_info info = {};
  copy_field(info.title, "Upgrading Expansion Status");
  copy_field(info.line[1], "Please connect Expansion..");
  snprintf(info.line[2], UI_TEXT_SIZE, "Upgraded count:%d", count);
  copy_field(info.softkey[0], "Start");
  copy_field(info.softkey[3], "Reboot");
  basicui_open_update_info(&info);
  return 0;
}

void CBasicUI::ShowInfo(const char* const* texts, int count) {
  if (!texts || count < 1) {
    rl_log_err("%s: invalid params.", "ShowInfo");
    return;
  }
  if (count > 1 + UI_STATUS_LINES) count = 1 + UI_STATUS_LINES;
  update_info info = {};
  copy_field(info.title, texts[0]);
  for (int i = 1; i < count; ++i) copy_field(info.line[i - 1], texts[i]);
  basicui_open_update_info(&info);
}

int CBasicUI::OpenUserSetting(char* user, int user_len, char* passwd, int passwd_len) {
  if (!user || !passwd || user_len < 0 || passwd_len < 0) {
    rl_log_err("%s:invalid params.", "OpenUserSetting");
    return -1;
  }
  user_setting_info info = {};
  copy_field(info.title, "User Settings");
  copy_field(info.user_label, "User:");
  copy_field(info.passwd_label, "Passwd:");
  basicui_open_user_setting(&info);
  // At most the given lengths; a text that fills its length gets no terminator.
  strncpy(user, info.user, static_cast<size_t>(user_len));
  strncpy(passwd, info.passwd, static_cast<size_t>(passwd_len));
  return info.result;
}

int CBasicUI::GetKeyPressed() { return basicui_get_keypressed(); }
