#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "basicui/dialog.h"
#include "basicui/screens.h"
#include "lcd/lcd_device.h"
#include "tests/support/panel.h"

namespace {

const auto* const kPanel = ::testing::AddGlobalTestEnvironment(new StartedPanel);

class Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    dlg_ = dlg_init();
    ASSERT_NE(nullptr, dlg_);
  }
  void TearDown() override { free(dlg_); }

  // The user settings screen: entry fields 1 and 2, soft keys 8 to 11.
  void open_user_settings(const char* user_text = "", uint8_t start_focus = 1) {
    user_setting_info info = {};
    basicui_build_user_setting(&screen_, &info);
    strcpy(screen_.lines[1].input_text, user_text);
    screen_.start_focus = start_focus;
    open_dlg(dlg_, &screen_);
  }

  std::vector<unsigned char> panel() const {
    const unsigned char* fb = lcd_get_framebuffer();
    return std::vector<unsigned char>(fb, fb + LCD_FB_SIZE_GTYPE);
  }

  dlg_display* dlg_ = nullptr;
  display_info screen_ = {};
};

TEST_F(Dialog, KeysEditTheFocusedField) {
  open_user_settings("old");
  for (int k : {2, 3}) EXPECT_EQ(0, dlg_key(dlg_, k)) << k;
  EXPECT_STREQ("adold", dlg_->controls[1].input_text);
  for (int k : {16, 18, 15, 34}) EXPECT_EQ(0, dlg_key(dlg_, k)) << k;
  EXPECT_STREQ("dld", dlg_->controls[1].input_text);
  EXPECT_EQ(0, dlg_->controls[1].cursor);
  for (int k : {10, 11, 12, 1, 99}) EXPECT_EQ(0, dlg_key(dlg_, k)) << k;
  EXPECT_STREQ(" *#1dld", dlg_->controls[1].input_text);
  EXPECT_EQ(4, dlg_->controls[1].cursor);
  EXPECT_EQ(0, dlg_key(dlg_, 0x100 | 2));  // only the low 8 bits count
  EXPECT_STREQ(" *#1adld", dlg_->controls[1].input_text);
}

TEST_F(Dialog, FocusMovesAroundTheFocusableFields) {
  open_user_settings();
  dlg_key(dlg_, 2);  // composing in field 1
  EXPECT_EQ(0, dlg_key(dlg_, 14));
  EXPECT_EQ(2, dlg_->focus);
  EXPECT_EQ(0, dlg_->controls[1].highlight);
  EXPECT_EQ(CTRL_TAP_SETTLED, dlg_->controls[1].tap_counter);
  EXPECT_EQ(0, dlg_->controls[2].cursor_shown);  // shown at the next blink
  dlg_key(dlg_, 14);
  EXPECT_EQ(1, dlg_->focus);  // from the last back to the first
  dlg_key(dlg_, 13);
  EXPECT_EQ(2, dlg_->focus);  // from the first back to the last
  EXPECT_EQ(1, dlg_->controls[2].cursor_shown);
  dlg_key(dlg_, 13);
  EXPECT_EQ(1, dlg_->focus);

  // The input mode travels with the focus; the mode key shows its name.
  dlg_key(dlg_, 33);
  EXPECT_STREQ("123", dlg_->controls[9].label);
  dlg_key(dlg_, 14);
  EXPECT_EQ(2, dlg_->controls[2].input_mode);
  dlg_key(dlg_, 2);
  EXPECT_STREQ("2", dlg_->controls[2].input_text);
}

// What a person sees after each key and blink: the panel changes when the
// screen does, and shows what drawing the whole dialog afresh shows, so a
// change that is never marked for redraw stays visible as a stale picture.
TEST_F(Dialog, EveryChangeReachesThePanel) {
  struct Step {
    const char* name;
    std::function<void(dlg_display*)> act;
    bool changes;
  };
  auto key = [](int k) { return [k](dlg_display* d) { dlg_key(d, k); }; };
  const std::vector<Step> steps = {
      {"blink shows the cursor", dlg_tick, true},
      {"blink hides it", dlg_tick, true},
      {"2 composes an a", key(2), true},
      {"blink", dlg_tick, true},
      {"blink settles the a", dlg_tick, true},
      {"mode key shows 123", key(33), true},
      {"3 types a 3", key(3), true},
      {"left, the cursor hidden", key(15), false},
      {"delete", key(18), true},
      {"next field", key(14), true},
      {"blink in the password field", dlg_tick, true},
      {"5 composes a 5 in clear", key(5), true},
      {"previous field", key(13), true},
      {"unknown key", key(99), false},
  };
  open_user_settings("ab");
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    std::vector<unsigned char> before = panel();
    step.act(dlg_);
    std::vector<unsigned char> after = panel();
    EXPECT_EQ(step.changes, before != after);
    dlg_show(dlg_, 1);
    EXPECT_TRUE(after == panel()) << "the panel is stale";
  }
}

// A field that loses the focus looks like one that never had it: no outline,
// no cursor, nothing highlighted.
TEST_F(Dialog, FieldLosingFocusLooksUnfocused) {
  auto field1 = [this] {
    std::vector<unsigned char> p = panel();
    size_t row = 480 * 2;  // bytes of one row of the G-type panel
    return std::vector<unsigned char>(p.begin() + 27 * row, p.begin() + 53 * row);
  };
  open_user_settings("ab", 2);
  std::vector<unsigned char> never_focused = field1();

  for (const std::vector<int>& keys_before : {std::vector<int>{}, {3}}) {
    open_user_settings("ab");
    dlg_tick(dlg_);  // cursor shown
    for (int k : keys_before) dlg_key(dlg_, k);
    dlg_key(dlg_, 14);
    EXPECT_EQ(keys_before.empty(), never_focused == field1());  // unless a "d" was typed
    EXPECT_EQ(0, dlg_->controls[1].cursor_shown);
  }
}

}  // namespace
