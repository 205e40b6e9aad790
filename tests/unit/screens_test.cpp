// The screens of CBasicUI on the simulated G-type panel: texts and log lines,
// the user settings key loop, and every screen against its golden picture in
// tests/golden/.
//
//   screens_test [GOLDEN_DIR]
// With UPG_UPDATE_GOLDEN=1 the pictures are written into GOLDEN_DIR instead of
// compared (the target update_golden_screens does that and copies them into
// the source tree).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "basicui/basicui.h"
#include "basicui/dialog.h"
#include "basicui/keypad.h"
#include "basicui/screens.h"
#include "lcd/lcd_device.h"
#include "lcd/lcd_draw.h"
#include "tests/support/files.h"
#include "tests/support/panel.h"
#include "tests/support/pbm.h"
#include "tests/support/syslog_capture.h"

// The program's clock. Every usleep of this process comes here: with a script
// installed, the sleep is only counted and the script runs at its start (the
// key loop's blink is timed in sleeps); otherwise it is a real sleep.
std::function<void(uint64_t now_us)> g_on_sleep;
uint64_t g_now_us = 0;

extern "C" int usleep(useconds_t us) {
  if (g_on_sleep) {
    g_on_sleep(g_now_us);
    g_now_us += us;
    return 0;
  }
  struct timespec ts = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
  return nanosleep(&ts, nullptr);
}

namespace {

std::string g_golden_dir = UPG_SOURCE_DIR "/tests/golden";

bool env_is(const char* name, const char* value) {
  const char* v = getenv(name);
  return v && strcmp(v, value) == 0;
}

// UPG_PANEL=4bit runs the screens on the other panel (a CTest of its own).
bool four_bit_panel() { return env_is("UPG_PANEL", "4bit"); }

// One grey byte per pixel of the panel: 0 dark, 255 light. The G-type panel
// has 16 bits a pixel (0x0000 dark); the other packs two pixels a byte, the
// left one in the low nibble (0 dark).
std::vector<uint8_t> panel_gray() {
  const unsigned char* fb = lcd_get_framebuffer();
  std::vector<uint8_t> gray(static_cast<size_t>(LCD_WIDTH) * LCD_HEIGHT);
  for (size_t i = 0; i < gray.size(); ++i) {
    int level = four_bit_panel() ? (fb[i / 2] >> (i % 2 ? 4 : 0)) & 0xF : fb[2 * i] | fb[2 * i + 1];
    gray[i] = level == 0 ? 0 : 255;
  }
  return gray;
}

// ---------------------------------------------------------------------------
// Without a display. The panel is started once per process, so the case
// runs again in a process of its own, where nothing started it.

TEST(NoDisplay, ScreensDrawNothingAndInitStillSucceeds) {
  if (!getenv("UPG_NO_DISPLAY_RUN")) {
    setenv("UPG_NO_DISPLAY_RUN", "1", 1);
    EXPECT_EQ(0, run_argv({"/proc/self/exe", "--gtest_filter=NoDisplay.*"}));
    unsetenv("UPG_NO_DISPLAY_RUN");
    return;
  }
  mkdir("/proc/glcd", 0755);
  EXPECT_TRUE(write_file("/proc/glcd/refresh", ""));
  unlink("/dev/fb0");
  CBasicUI ui;
  EXPECT_EQ(0, ui.Init());
  EXPECT_EQ(0, ui.SetUpgradingProgressBar(50));
  EXPECT_EQ(0, ui.ShowUpgradingFailedInfo("Upgrade Failed!", -74));
  ui.DispNoticeInfo("Rebooting...");
  EXPECT_EQ(nullptr, lcd_get_canvas());
  EXPECT_FALSE(file_exists("/dev/fb0"));
  EXPECT_EQ("1", read_file("/proc/glcd/refresh"));  // the driver is still asked
}

// ---------------------------------------------------------------------------

class Screens : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(make_simulated_panel(!four_bit_panel()));
    CBasicUI ui;
    ASSERT_EQ(0, ui.Init());
    ASSERT_NE(nullptr, gp_dlgdisplay);
    ASSERT_NE(nullptr, lcd_get_canvas());
  }

  CBasicUI ui_;
};

TEST_F(Screens, BadArgumentsAreLoggedAndDrawNothing) {
  SyslogCapture cap;
  ui_.DispNoticeInfo("Rebooting...");
  std::vector<uint8_t> before = panel_gray();
  ui_.ShowInfo(nullptr, 3);
  const char* one[] = {"Title"};
  ui_.ShowInfo(one, 0);
  ui_.DispNoticeInfo(nullptr);
  char user[8], passwd[8];
  EXPECT_EQ(-1, ui_.OpenUserSetting(nullptr, 8, passwd, 8));
  EXPECT_EQ(-1, ui_.OpenUserSetting(user, 8, nullptr, 8));
  EXPECT_EQ(-1, ui_.OpenUserSetting(user, -1, passwd, 8));
  EXPECT_EQ(-1, ui_.ShowUpgradingFailedInfo(nullptr, 3));
  EXPECT_EQ(before, panel_gray());
  EXPECT_EQ(2, cap.count("ShowInfo: invalid params.", 3));
  EXPECT_EQ(3, cap.count("OpenUserSetting:invalid params.", 3));
}

// The goldens pin the bar at 0, 50 and 100 %; between them the width rounds down.
TEST_F(Screens, ProgressFillWidthRoundsDown) { EXPECT_EQ(130u, basicui_progress_width(33)); }

// ---------------------------------------------------------------------------
// The user settings screen, driven through the keypad device (a pipe here).

struct SettingCase {
  const char* name;
  std::vector<uint16_t> keys;
  int user_len, passwd_len;
  int result;
  std::string user, passwd;  // what the caller's buffers hold afterwards
};

// The user settings screen as OpenUserSetting describes it, afresh.
display_info& user_settings() {
  static display_info screen;
  user_setting_info info = {};
  strcpy(info.title, "User Settings");
  strcpy(info.user_label, "User:");
  strcpy(info.passwd_label, "Passwd:");
  basicui_build_user_setting(&screen, &info);
  return screen;
}

// One pipe for the whole run: the reader opens the device once per process.
KeypadPipe& keypad() {
  static KeypadPipe pad;
  return pad;
}

TEST_F(Screens, UserSettingsThroughTheKeypad) {
  KeypadPipe& pad = keypad();
  const std::vector<SettingCase> cases = {
      {"cancel", {2, 3, 32}, 8, 8, 2, std::string(8, '\0'), std::string(8, '\0')},
      {"confirm soft key", {2, 3, 14, 5, 35}, 8, 8, 1, std::string("ad\0\0\0\0\0\0", 8), std::string("j\0\0\0\0\0\0\0", 8)},
      {"confirm key", {7, 14, 10, 17}, 8, 8, 1, std::string("p\0\0\0\0\0\0\0", 8), std::string(" \0\0\0\0\0\0\0", 8)},
      // A text that fills the given length gets no terminator.
      {"short buffers", {2, 3, 4, 14, 5, 6, 35}, 2, 1, 1, "ad" + std::string(6, 'X'), "j" + std::string(7, 'X')},
  };
  for (const SettingCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    char user[8], passwd[8];
    memset(user, 'X', sizeof user);
    memset(passwd, 'X', sizeof passwd);
    int result = 0;
    std::thread screen([&] { result = ui_.OpenUserSetting(user, tc.user_len, passwd, tc.passwd_len); });
    for (uint16_t k : tc.keys)
      ASSERT_TRUE(pad.send(key_event(1, k, 1) + key_event(1, k, 0) + key_event(0, 0, 0),
                           [] { return g_last_key.load() == 0; }))
          << k;
    screen.join();
    EXPECT_EQ(tc.result, result);
    EXPECT_EQ(tc.user, std::string(user, 8));
    EXPECT_EQ(tc.passwd, std::string(passwd, 8));
  }
}

// The user settings screen's key loop on the test's clock: at each sleep
// the panel is compared with the one before, and the cancel key is left in
// the keypad's mailbox once `cancel` says so. The times (since the screen
// opened) at which the panel changed.
std::vector<uint64_t> run_key_loop(const std::function<bool(uint64_t now, size_t changes)>& cancel) {
  display_info& screen = user_settings();
  std::vector<uint64_t> changes;
  std::vector<uint8_t> last;
  const uint64_t start = g_now_us;
  g_on_sleep = [&](uint64_t now) {
    std::vector<uint8_t> shown = panel_gray();
    if (!last.empty() && shown != last) changes.push_back(now - start);
    last = shown;
    if (cancel(now - start, changes.size())) g_last_key.store(KEY_CODE_SOFT1);
  };
  int answer = basicui_open_display_info(&screen, 1);
  g_on_sleep = nullptr;
  EXPECT_EQ(UI_SETTING_CANCELLED, answer);
  return changes;
}

// The cursor blinks every half second of the key loop, counted over the
// whole run, not afresh for each screen.
TEST_F(Screens, CursorBlinksEveryHalfSecondAcrossScreens) {
  (void)keypad();
  (void)key_get_keypressed();  // the reader is started, its delay is behind
  // Whatever ran before, leave a screen right after a blink (or give up).
  (void)run_key_loop([](uint64_t now, size_t changes) { return changes > 0 || now >= 2000000; });
  struct Row {
    const char* name;
    uint64_t cancel_at;
    std::vector<uint64_t> changes;
  } rows[] = {
      {"a screen open 2.6 s", 2600000, {500000, 1000000, 1500000, 2000000, 2500000}},
      // 0.1 s of the last half second was spent on the screen before.
      {"the next screen", 1000000, {400000, 900000}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.changes, run_key_loop([&](uint64_t now, size_t) { return now >= row.cancel_at; }));
  }
}

// ---------------------------------------------------------------------------
// Golden pictures.

void show_user_settings(const std::vector<int>& keys) {
  basicui_open_display_info(&user_settings(), 0);
  for (int k : keys) dlg_key(gp_dlgdisplay, k);
}

// The texts of the title, lines 1 to 4 and soft keys 8 to 11, "-" for a
// control not drawn, joined with "|".
std::string labels() {
  std::string out;
  for (const ctrl_data& c : gp_dlgdisplay->controls) out += std::string(c.width && c.height ? c.label : "-") + "|";
  return out;
}

// Every screen: the texts of its controls and the line it logs, where it has
// them, and its golden picture, where it has one.
struct ScreenRow {
  const char* golden;  // nullptr: none
  std::function<int(CBasicUI&)> show;  // the call's result, 0 for calls that have none
  const char* log = nullptr;
  const char* labels = nullptr;  // nullptr: not a text screen
};

TEST_F(Screens, GoldenPictures) {
  static const char* seven[] = {"Information", "first line", "second line", "third line", "fourth line", "fifth",
                                "sixth"};
  const std::vector<ScreenRow> rows = {
      {"progress_0.pbm", [](CBasicUI& ui) { return ui.SetUpgradingProgressBar(0); }},
      {"progress_50.pbm", [](CBasicUI& ui) { return ui.SetUpgradingProgressBar(50); }},
      {"progress_100.pbm", [](CBasicUI& ui) { return ui.SetUpgradingProgressBar(100); }},
      {"progress_100.pbm", [](CBasicUI& ui) { return ui.SetUpgradingProgressBar(250); }},
      {"progress_0.pbm", [](CBasicUI& ui) { return ui.SetUpgradingProgressBar(-5); }},
      {"failed.pbm", [](CBasicUI& ui) { return ui.ShowUpgradingFailedInfo("Upgrade Failed!", 0); },
       "Do ShowUpgradingFailedInfo"},
      {"failed_id.pbm", [](CBasicUI& ui) { return ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", -74); },
       "Do ShowUpgradingFailedInfo"},
      {"autoprovision_countdown.pbm", [](CBasicUI& ui) { return ui.ShowUpgradingAutop2FailedInfoWithID(5, 60); },
       "Do ShowUpgradingAutop2FailedInfoWithID"},
      {"notice.pbm", [](CBasicUI& ui) { ui.DispNoticeInfo("Rebooting..."); return 0; }},
      {"expansion_failed.pbm", [](CBasicUI& ui) { return ui.ShowUpgradingExtFailed(); }, "Do ShowUpgradingExtFailed"},
      {"expansion_running.pbm", [](CBasicUI& ui) { return ui.ShowUpgradingExtInfo(3); }, "Do ShowUpgradingExtInfo"},
      {"expansion_upgraded.pbm", [](CBasicUI& ui) { return ui.ShowUpgradedExtInfo(3); }, "Do ShowUpgradedExtInfo"},
      {"info.pbm", [](CBasicUI& ui) { ui.ShowInfo(seven, 7); return 0; }},
      {nullptr, [](CBasicUI& ui) { ui.ShowInfo(seven, 2); return 0; }, nullptr,
       "Information|first line||||-|-|-|-|-|-|-|"},
      {"user_settings.pbm", [](CBasicUI&) { show_user_settings({}); return 0; }},
      // "ad" typed, then the password field with a "k" being composed.
      {"user_settings_entry.pbm", [](CBasicUI&) { show_user_settings({2, 3, 14, 5, 5}); return 0; }},
  };
  for (const ScreenRow& row : rows) {
    SCOPED_TRACE(row.golden ? row.golden : row.labels);
    SyslogCapture cap;
    EXPECT_EQ(0, row.show(ui_));
    if (row.labels) {
      EXPECT_EQ(row.labels, labels());
      EXPECT_EQ(DLG_NO_FOCUS, gp_dlgdisplay->focus);
    }
    if (row.log) {
      EXPECT_EQ(1, cap.count(row.log, 7));
    }
    if (!row.golden) continue;
    std::vector<uint8_t> shown = panel_gray();
    std::string path = g_golden_dir + "/" + row.golden;
    if (env_is("UPG_UPDATE_GOLDEN", "1")) {
      mkdir(g_golden_dir.c_str(), 0755);
      ASSERT_TRUE(pbm_write(path, shown, LCD_WIDTH, LCD_HEIGHT));
      continue;
    }
    int w = 0, h = 0;
    std::vector<uint8_t> golden = pbm_read(path, &w, &h);
    ASSERT_FALSE(golden.empty()) << path << " is missing or damaged; see docs/screens.md to make it";
    ASSERT_EQ(std::make_pair(LCD_WIDTH, LCD_HEIGHT), std::make_pair(w, h));
    auto at = std::mismatch(shown.begin(), shown.end(), golden.begin()).first - shown.begin();
    EXPECT_EQ(shown.size(), static_cast<size_t>(at)) << "first difference at " << at % LCD_WIDTH << ","
                                                     << at / LCD_WIDTH;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) g_golden_dir = argv[1];
  return RUN_ALL_TESTS();
}
