#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <tuple>
#include <vector>

#include "basicui/controls.h"
#include "lcd/lcd_device.h"
#include "tests/support/panel.h"

namespace {

const auto* const kPanel = ::testing::AddGlobalTestEnvironment(new StartedPanel);

ctrl_data entry(uint8_t type, uint8_t mode, const char* text = "") {
  ctrl_data c;
  ctrl_init(&c, type, 0, 0, 480, 26, 300, "User:", text);
  c.input_mode = mode;
  return c;
}

// Plays a script on a control: key characters go to ctrl_add_char; '.' is a
// blink, '<' and '>' move the cursor, '~' deletes.
void play(ctrl_data* c, const std::string& script) {
  for (char k : script) {
    switch (k) {
      case '.': ctrl_show_cursor(c, 1); break;
      case '<': ctrl_move_left(c); break;
      case '>': ctrl_move_right(c); break;
      case '~': ctrl_del_char(c); break;
      default: ASSERT_EQ(0, ctrl_add_char(c, k)) << "key " << k;
    }
  }
}

// Rows: input mode, keys played, then the text, highlight and cursor.
TEST(Controls, MultiTapEntry) {
  const std::string star25(25, '*');
  const std::vector<std::tuple<uint8_t, std::string, std::string, int, int>> cases = {
      {1, "222", "c", 1, 1},
      {1, "23", "ad", 1, 2},
      {1, "2..2", "aa", 1, 2},          // settled after two blinks
      {1, "2.2", "b", 1, 1},            // one blink: still composing
      {1, "2..", "a", 1, 1},            // highlight stays until the third blink
      {1, "2...", "a", 0, 1},
      {1, "11", "11", 0, 2},            // one-character lists never cycle
      {3, "22222", "A", 1, 1},
      {3, "7777777777", "7", 1, 1},     // nine characters, the tenth press wraps
      {3, "00", " ", 1, 1},
      {2, "00", "00", 0, 2},
      {0, "44", "H", 1, 1},
      {2, "*******", "*", 1, 1},
      {1, star25, "#", 1, 1},           // the 25th character of the star list
      {1, star25 + "*", "*", 1, 1},
      {1, "2>2", "aa", 1, 2},           // a cursor move ends composing, even at the end
      {1, "22<", "b", 0, 0},
      {1, "23<2", "aad", 1, 2},         // insertion in the middle
      {1, "23<<>", "ad", 0, 1},
      {1, "23~", "a", 0, 1},
      {1, "22~2", "a", 1, 1},           // a deletion ends composing
  };
  for (const auto& [mode, script, text, highlight, cursor] : cases) {
    SCOPED_TRACE("mode " + std::to_string(mode) + " script " + script);
    ctrl_data c = entry(CTRL_TYPE_TEXT, mode);
    play(&c, script);
    EXPECT_EQ(text, c.input_text);
    EXPECT_EQ(highlight, c.highlight);
    EXPECT_EQ(cursor, c.cursor);
  }
}

TEST(Controls, RefusedKeysAndControls) {
  ctrl_data plain = entry(CTRL_TYPE_PLAIN, 1);
  EXPECT_EQ(-1, ctrl_add_char(&plain, '2'));
  EXPECT_STREQ("", plain.input_text);
  ctrl_data c = entry(CTRL_TYPE_TEXT, 1);
  for (char k : {'a', 'A', '+', '\0', ' '}) EXPECT_EQ(-1, ctrl_add_char(&c, k));
  EXPECT_STREQ("", c.input_text);
  EXPECT_EQ(-1, ctrl_add_char(nullptr, '2'));
}

// A text longer than the field is cut to what it holds; the full field then
// refuses more and keeps what is there.
TEST(Controls, FullFieldRefusesAndKeepsWhatIsThere) {
  const std::string full(63, 'x');
  ctrl_data c = entry(CTRL_TYPE_TEXT, 1, (full + "yyyy").c_str());
  EXPECT_EQ(full, c.input_text);
  EXPECT_EQ(63, c.cursor);
  EXPECT_EQ(0, ctrl_add_char(&c, '2'));
  EXPECT_EQ(full, c.input_text);
  // A second press of the same key must not take the settled x for the
  // character being composed.
  EXPECT_EQ(0, ctrl_add_char(&c, '2'));
  EXPECT_EQ(full, c.input_text);
  EXPECT_EQ(0, c.highlight);
  for (int i = 0; i < 70; ++i) ctrl_move_left(&c);
  EXPECT_EQ(0, c.cursor);
  EXPECT_EQ(-1, ctrl_del_char(&c));
  EXPECT_EQ(full, c.input_text);
}

std::vector<unsigned char> canvas_after_show(ctrl_data c) {
  unsigned char* canvas = lcd_get_canvas();
  memset(canvas, 0, LCD_CANVAS_SIZE);
  ctrl_show(&c, 1);
  return std::vector<unsigned char>(canvas, canvas + LCD_CANVAS_SIZE);
}

// The same control as a text field holding `shown`.
std::vector<unsigned char> as_text(ctrl_data c, const char* shown) {
  c.type = CTRL_TYPE_TEXT;
  strcpy(c.input_text, shown);
  return canvas_after_show(c);
}

// The password field looks exactly like a text field holding the mask.
TEST(Controls, PasswordShowsOnlyTheCharacterBeingComposed) {
  ctrl_data pw = entry(CTRL_TYPE_PASSWORD, 1);
  play(&pw, "2..22..222");
  ASSERT_STREQ("abc", pw.input_text);
  ASSERT_EQ(0, pw.tap_counter);
  EXPECT_EQ(as_text(pw, "**c"), canvas_after_show(pw));
  play(&pw, "..");  // settled
  EXPECT_EQ(as_text(pw, "***"), canvas_after_show(pw));
}

// Reverse and border on the screens are pinned by their goldens.
TEST(Controls, DrawingHonoursTheRightAndBottomEdges) {
  unsigned char* canvas = lcd_get_canvas();
  ctrl_data c;
  // A bordered control reaching past the right and bottom edges: its outline
  // closes at the last column and row, nothing of it lands at the start of
  // the rows, and only what is on the screen is marked for redraw.
  ctrl_init(&c, CTRL_TYPE_PLAIN, 400, 250, 100, 50, 0, "", "");
  c.border = 1;
  c.hidden = 1;
  memset(canvas, 0, LCD_CANVAS_SIZE);
  lcd_get_redraw(nullptr, nullptr, nullptr, nullptr);  // whatever earlier draws left
  ctrl_show(&c, 1);
  uint16_t x2 = 0, y2 = 0;
  lcd_get_redraw(nullptr, nullptr, &x2, &y2);
  EXPECT_EQ(479, x2);  // the region grows from (0, 0): its far corner is what the control adds
  EXPECT_EQ(271, y2);
  EXPECT_EQ(1, GetBit(450, 271, canvas, LCD_CANVAS_SIZE));
  for (int y = 250; y < 271; ++y) {
    EXPECT_EQ(1, GetBit(479, y, canvas, LCD_CANVAS_SIZE)) << y;
    for (int x = 0; x < 20; ++x) EXPECT_EQ(0, GetBit(x, y + 1, canvas, LCD_CANVAS_SIZE)) << x << "," << y + 1;
  }
}

}  // namespace
