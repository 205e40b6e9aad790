#include <gtest/gtest.h>
#include <string.h>
#include <syslog.h>

#include <random>
#include <string>
#include <vector>

#include "lcd/lcd_bits.h"
#include "lcd/lcd_device.h"
#include "lcd/lcd_draw.h"
#include "lcd/reference/lcd_reference.h"
#include "tests/support/panel.h"
#include "tests/support/syslog_capture.h"

namespace {

using Canvas = std::vector<unsigned char>;

// Every case draws into the module's canvas, started once for the binary, and
// the same on a canvas of the point-by-point reference; both start from the
// same random bytes.
const auto* const kPanel = ::testing::AddGlobalTestEnvironment(new StartedPanel);

class LcdDraw : public ::testing::Test {
 protected:
  void SetUp() override {
    canvas_ = lcd_get_canvas();
    ASSERT_NE(nullptr, canvas_);
    for (auto& b : start_) b = static_cast<unsigned char>(rng_());
    reset();
  }
  void reset() {
    memcpy(canvas_, start_.data(), LCD_CANVAS_SIZE);
    ref_ = start_;
  }
  bool same() const { return memcmp(canvas_, ref_.data(), LCD_CANVAS_SIZE) == 0; }
  uint16_t coord(int max) { return static_cast<uint16_t>(rng_() % (max + 1)); }
  // The same drawing on the module's canvas and on the reference's.
  void fill(uint16_t x, uint16_t y, uint16_t w, uint16_t h, int color) {
    lcd_fill_color(x, y, w, h, color);
    ref_fill_color(ref_.data(), x, y, w, h, color);
  }
  unsigned char* canvas_ = nullptr;
  std::mt19937 rng_{12345};
  Canvas start_ = Canvas(LCD_CANVAS_SIZE);
  Canvas ref_;
};

// The reference draws glyphs from the same font table, so a character the
// font lacks is checked here: a blank cell.
TEST_F(LcdDraw, NothingOutsideTheCanvasOrTheFontIsDrawnAndReadsAreLogged) {
  memset(canvas_, 0, LCD_CANVAS_SIZE);
  SyslogCapture cap;
  lcd_draw_point(0, 272, 1);
  lcd_draw_point(65535, 65535, 1);
  text_state st = {TEXT_ALIGN_LEFT, TEXT_NO_CURSOR, 0, 0};
  lcd_draw_text(&st, 0, 0, 200, 24, "\x80\xE9\xFF", 24, 1);
  EXPECT_EQ(Canvas(LCD_CANVAS_SIZE, 0), Canvas(canvas_, canvas_ + LCD_CANVAS_SIZE));
  EXPECT_EQ(0, lcd_get_point_color(0, 272));
  EXPECT_TRUE(cap.has("GetBitHByte failed: byte_offset = 16320, size = 16320", LOG_ERR));
  lcd_draw_point(479, 271, 1);
  EXPECT_EQ(1, lcd_get_point_color(479, 271));
  EXPECT_EQ(0x80, canvas_[LCD_CANVAS_SIZE - 1]);
  // An x beyond 479 lands in the next row.
  lcd_draw_point(480, 0, 1);
  EXPECT_EQ(1, lcd_get_point_color(0, 1));
  // The 16-bit image ends with the screen: one line for a region past it.
  std::vector<unsigned char> image(LCD_IMAGE_SIZE);
  cap.clear();
  lcd_convert_region(image.data(), LCD_IMAGE_SIZE, canvas_, LCD_CANVAS_SIZE, 0, 272, 5, 273, 1);
  EXPECT_EQ(std::vector<std::string>{"SetPixel failed: byte_offset = 261120, size = 261120"}, cap.messages(LOG_ERR));
}

TEST_F(LcdDraw, FillsLinesAndRectangles) {
  // Fills at every bit offset and length, then random ones.
  for (int x = 0; x < 24; x++)
    for (int w = 0; w <= 40; w++)
      for (int color = 0; color < 2; color++) {
        fill(static_cast<uint16_t>(x + 200), 3, static_cast<uint16_t>(w), 2, color);
        ASSERT_TRUE(same()) << "x " << x << " w " << w;
      }
  for (int i = 0; i < 400; i++) {
    int kind = static_cast<int>(rng_() % 3), color = static_cast<int>(rng_() % 2);
    // Mostly on screen, sometimes past the edges, now and then past the 16-bit wrap.
    int span = i % 10 == 0 ? 65535 : (i % 3 == 0 ? 700 : 479);
    uint16_t a = coord(span), b = coord(i % 10 == 0 ? 65535 : 300), c = coord(span), d = coord(300);
    if (i % 10 == 0 && kind == 0) {
      c = coord(200);
      d = coord(300);
    }
    SCOPED_TRACE(i);  // the generator is seeded: the pass number reproduces the case
    if (kind == 0) {
      fill(a, b, c, static_cast<uint16_t>(d % 40), color);
    } else if (kind == 1) {
      lcd_draw_line(a, b, c, static_cast<uint16_t>(b + d % 30), color);
      ref_draw_line(ref_.data(), a, b, c, static_cast<uint16_t>(b + d % 30), color);
    } else {
      lcd_draw_rect(a, b, c, d, color);
      ref_draw_rect(ref_.data(), a, b, c, d, color);
    }
    ASSERT_TRUE(same());
  }
  // The edges of the 16-bit range.
  fill(65530, 0, 20, 3, 1);
  fill(5, 65534, 30, 4, 1);
  fill(65535, 65535, 65535, 3, 0);
  EXPECT_TRUE(same());
}

// The screens draw one picture, full-screen at the origin; shifted, it is cut
// at the edges.
TEST_F(LcdDraw, FullScreenPictureAtTheOriginAndShifted) {
  for (auto [x, y] : {std::pair<uint16_t, uint16_t>{0, 0}, {1, 0}, {0, 3}, {7, 9}, {479, 271}}) {
    lcd_draw_icon(x, y, 480, 272, g_image_upgrading, LCD_CANVAS_SIZE);
    ref_draw_icon(ref_.data(), x, y, 480, 272, g_image_upgrading, LCD_CANVAS_SIZE);
    ASSERT_TRUE(same()) << x << "," << y;
  }
}

TEST_F(LcdDraw, TextWithEveryAlignmentCursorAndClip) {
  for (int i = 0; i < 400; i++) {
    std::string text;
    int len = static_cast<int>(rng_() % 45);
    for (int k = 0; k < len; k++) {
      int kind = static_cast<int>(rng_() % 10);
      text += static_cast<char>(kind == 0 ? 1 + rng_() % 31 : (kind == 1 ? 0x80 + rng_() % 128 : 32 + rng_() % 95));
    }
    text_state st = {static_cast<uint8_t>(rng_() % 4), static_cast<uint8_t>(rng_() % 3 == 0 ? 255 : rng_() % 50),
                     static_cast<uint8_t>(rng_() % 2), static_cast<uint8_t>(rng_() % 2)};
    text_state ref_st = st;
    uint16_t x = coord(i % 13 == 0 ? 65535 : 480), y = coord(i % 17 == 0 ? 65535 : 280);
    uint16_t w = coord(i % 19 == 0 ? 65535 : 480), h = coord(30);
    int color = static_cast<int>(rng_() % 4);
    SCOPED_TRACE(i);
    if (i % 2) {
      lcd_show_text(&st, x, y, w, h, text.c_str(), 24, color);
      ref_show_text(ref_.data(), &ref_st, x, y, w, h, text.c_str(), 24, color);
      EXPECT_EQ(ref_st.cursor, st.cursor);
    } else {
      lcd_draw_text(&st, x, y, w, h, text.c_str(), 24, color);
      ref_draw_text(ref_.data(), &ref_st, x, y, w, h, text.c_str(), 24, color);
    }
    ASSERT_TRUE(same());
    if (i % 50 == 0) reset();
  }
}

TEST_F(LcdDraw, RefreshesKeepTheStagingImageExact) {
  // The refresh converts only canvas bytes that changed since the last one;
  // the staging image must still be what a full point-by-point conversion of
  // every region gives, across panel types and any canvas change. (Regions
  // always start at the origin: they grow from it.)
  std::vector<unsigned char> fb(LCD_FB_SIZE_GTYPE);
  std::vector<unsigned char> ref_image(lcd_get_staging_image(), lcd_get_staging_image() + LCD_IMAGE_SIZE);
  unsigned char saved_gtype = g_is_Gtype_basicui;
  lcd_get_redraw(nullptr, nullptr, nullptr, nullptr);
  for (int i = 0; i < 300; i++) {
    if (i % 40 == 0) g_is_Gtype_basicui = static_cast<unsigned char>(i / 40 % 2);
    // Bytes changed at random, a fill, the whole picture, or nothing.
    unsigned change = rng_() % 4;
    if (change == 0)
      for (int k = 0; k < 20; k++) canvas_[rng_() % LCD_CANVAS_SIZE] = static_cast<unsigned char>(rng_());
    else if (change == 1)
      lcd_fill_color(coord(479), coord(271), coord(100), coord(30), static_cast<int>(rng_() % 2));
    else if (change == 2)
      lcd_draw_icon(0, 0, LCD_WIDTH, LCD_HEIGHT, g_image_upgrading, LCD_CANVAS_SIZE);
    uint16_t x2 = i % 3 ? 479 : coord(i % 9 == 0 ? 600 : 479);
    uint16_t y2 = i % 3 ? 271 : coord(i % 27 == 0 ? 272 : 271);
    lcd_set_redraw(coord(x2), coord(y2), x2, y2);
    SCOPED_TRACE(i);
    lcd_copy_framebuffer(fb.data(), canvas_);
    ref_convert(ref_image.data(), canvas_, 0, 0, x2, y2, g_is_Gtype_basicui);
    ASSERT_EQ(0, memcmp(ref_image.data(), lcd_get_staging_image(), LCD_IMAGE_SIZE));
    size_t copied = g_is_Gtype_basicui ? LCD_FB_SIZE_GTYPE : LCD_FB_SIZE_4BIT;
    ASSERT_EQ(0, memcmp(ref_image.data(), fb.data(), copied));
  }
  g_is_Gtype_basicui = saved_gtype;
}

}  // namespace
