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
#include "tests/support/files.h"
#include "tests/support/panel.h"
#include "tests/support/syslog_capture.h"

namespace {

using Canvas = std::vector<unsigned char>;

// Every case draws into the module's canvas; lcd_init runs once against a
// framebuffer file of the simulated phone.
class LcdDraw : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(make_simulated_panel());
    ASSERT_EQ(0, lcd_init());
  }
  void SetUp() override {
    canvas_ = lcd_get_canvas();
    ASSERT_NE(nullptr, canvas_);
    memset(canvas_, 0, LCD_CANVAS_SIZE);
  }
  Canvas snapshot() const { return Canvas(canvas_, canvas_ + LCD_CANVAS_SIZE); }
  static bool pixel(const Canvas& c, int x, int y) {
    int n = y * LCD_WIDTH + x;
    return (c[n / 8] >> (n % 8)) & 1;
  }
  static void set(Canvas& c, int x, int y, bool v = true) {
    int n = y * LCD_WIDTH + x;
    if (v)
      c[n / 8] = static_cast<unsigned char>(c[n / 8] | 1 << (n % 8));
    else
      c[n / 8] = static_cast<unsigned char>(c[n / 8] & ~(1 << (n % 8)));
  }
  // The glyph of ch with its first column at X, top row y, columns past clip dropped.
  static void blit_glyph(Canvas& c, char ch, int X, int y, int clip = 1 << 30) {
    const unsigned char* g = font_get_data(static_cast<signed char>(ch), 24);
    for (int r = 0; r < g[1]; r++)
      for (int col = 0; col < g[0]; col++) {
        int n = r * g[0] + col;
        if ((g[2 + n / 8] >> (n % 8)) & 1 && X + col <= clip) set(c, X + col, y + r);
      }
  }
  static Canvas blank() { return Canvas(LCD_CANVAS_SIZE, 0); }
  unsigned char* canvas_ = nullptr;
};

TEST_F(LcdDraw, LinesFillTheBoxBetweenTheirCorners) {
  lcd_draw_line(10, 5, 3, 5, 1);
  Canvas want = blank();
  for (int x = 3; x <= 10; x++) set(want, x, 5);
  EXPECT_EQ(want, snapshot());

  memset(canvas_, 0, LCD_CANVAS_SIZE);
  lcd_draw_line(2, 2, 0, 0, 1);
  want = blank();
  for (int x = 0; x <= 2; x++)
    for (int y = 0; y <= 2; y++) set(want, x, y);
  EXPECT_EQ(want, snapshot());

  memset(canvas_, 0xFF, LCD_CANVAS_SIZE);
  lcd_draw_rect(100, 50, 104, 53, 0);
  want = Canvas(LCD_CANVAS_SIZE, 0xFF);
  for (int x = 100; x <= 104; x++) set(want, x, 50, false), set(want, x, 53, false);
  for (int y = 50; y <= 53; y++) set(want, 100, y, false), set(want, 104, y, false);
  EXPECT_EQ(want, snapshot());
}

TEST_F(LcdDraw, FillsWrapIntoTheNextRowAndDropBeyondTheCanvas) {
  lcd_fill_color(10, 10, 0, 5, 1);
  lcd_fill_color(10, 10, 5, 0, 1);
  EXPECT_EQ(blank(), snapshot());

  lcd_fill_color(470, 7, 20, 1, 1);
  Canvas want = blank();
  for (int x = 470; x < 480; x++) set(want, x, 7);
  for (int x = 0; x < 10; x++) set(want, x, 8);
  EXPECT_EQ(want, snapshot());

  // Rows past the bottom are dropped; nothing else changes.
  memset(canvas_, 0, LCD_CANVAS_SIZE);
  lcd_fill_color(0, 270, 480, 10, 1);
  want = blank();
  for (int y = 270; y < 272; y++)
    for (int x = 0; x < 480; x++) set(want, x, y);
  EXPECT_EQ(want, snapshot());
}

TEST_F(LcdDraw, TextStartsWhereItsAlignmentPutsIt) {
  struct Case {
    uint8_t align;
    int start;  // first glyph column relative to x
  } cases[] = {{TEXT_ALIGN_LEFT, 2}, {TEXT_ALIGN_CENTER, 47}, {TEXT_ALIGN_RIGHT, 93}, {7, 2}};
  for (auto c : cases) {
    SCOPED_TRACE(c.align);
    memset(canvas_, 0, LCD_CANVAS_SIZE);
    text_state st = {c.align, TEXT_NO_CURSOR, 0, 0};
    lcd_draw_text(&st, 20, 30, 116, 24, "OK", 24, 1);
    Canvas want = blank();
    blit_glyph(want, 'O', 20 + c.start, 30);
    blit_glyph(want, 'K', 20 + c.start + 12, 30);
    EXPECT_EQ(want, snapshot());
  }
}

TEST_F(LcdDraw, TextIsClippedAtTheRightEdgeOfItsBox) {
  text_state st = {TEXT_ALIGN_LEFT, TEXT_NO_CURSOR, 0, 0};
  // Box 40 wide: "MMMMMM" is 72 pixels; glyph columns beyond x + 40 are dropped.
  lcd_draw_text(&st, 100, 10, 40, 24, "MMMMMM", 24, 1);
  Canvas want = blank();
  for (int i = 0; i < 6; i++) blit_glyph(want, 'M', 102 + 12 * i, 10, 140);
  EXPECT_EQ(want, snapshot());
  bool ink_at_edge = false;
  for (int y = 10; y < 34; y++) {
    ink_at_edge |= pixel(want, 140, y);
    EXPECT_FALSE(pixel(want, 141, y));
  }
  EXPECT_TRUE(ink_at_edge);
}

TEST_F(LcdDraw, TextDrawsOnlyInkAndHighBytesAsBlanks) {
  memset(canvas_, 0xFF, LCD_CANVAS_SIZE);
  text_state st = {TEXT_ALIGN_LEFT, TEXT_NO_CURSOR, 0, 0};
  lcd_draw_text(&st, 0, 100, 200, 24, "A\xE9" "B", 24, 0);
  Canvas want(LCD_CANVAS_SIZE, 0);
  blit_glyph(want, 'A', 2, 100);
  blit_glyph(want, 'B', 26, 100);  // the high byte is a 12-pixel blank cell
  for (auto& b : want) b = static_cast<unsigned char>(~b);
  EXPECT_EQ(want, snapshot());
}

TEST_F(LcdDraw, CursorBarAndHighlightOfTheCharacterBeforeTheCursor) {
  text_state st = {TEXT_ALIGN_LEFT, 2, 1, 1};
  lcd_draw_text(&st, 50, 60, 200, 30, "ab", 24, 1);
  Canvas want = blank();
  blit_glyph(want, 'a', 52, 60);
  blit_glyph(want, 'b', 64, 60);
  for (int y = 60; y < 90; y++) set(want, 76, y);  // bar at x + s + P + 1
  for (int x = 64; x <= 75; x++)                    // 'b' inverted, rows y + 1 .. y + 22
    for (int y = 61; y <= 82; y++) set(want, x, y, !pixel(want, x, y));
  EXPECT_EQ(want, snapshot());

  // The cursor at position 0: bar right after the start offset, nothing inverted.
  memset(canvas_, 0, LCD_CANVAS_SIZE);
  st = {TEXT_ALIGN_LEFT, 0, 1, 1};
  lcd_draw_text(&st, 50, 60, 200, 30, "", 24, 1);
  want = blank();
  for (int y = 60; y < 90; y++) set(want, 52, y);
  EXPECT_EQ(want, snapshot());
}

TEST_F(LcdDraw, GlyphRowsStopTwoRowsBelowTheBoxHeight) {
  text_state st = {TEXT_ALIGN_LEFT, TEXT_NO_CURSOR, 0, 0};
  lcd_draw_text(&st, 0, 0, 100, 5, "\x1b", 24, 1);  // full block: 24 x 24 ink
  Canvas want = blank();
  for (int y = 0; y <= 6; y++)
    for (int x = 2; x < 26; x++) set(want, x, y);
  EXPECT_EQ(want, snapshot());
}

TEST_F(LcdDraw, ShowTextScrollsSoTheCursorFits) {
  std::string text(30, 'x');
  for (int i = 0; i < 30; i++) text[i] = static_cast<char>('A' + i % 26);
  text_state st = {TEXT_ALIGN_LEFT, 30, 1, 0};
  lcd_show_text(&st, 0, 0, 300, 24, text.c_str(), 24, 1);
  EXPECT_EQ(22, st.cursor);
  Canvas shown = snapshot();
  memset(canvas_, 0, LCD_CANVAS_SIZE);
  text_state direct = {TEXT_ALIGN_LEFT, 22, 1, 0};
  lcd_draw_text(&direct, 0, 0, 300, 24, text.c_str() + 8, 24, 1);
  EXPECT_EQ(snapshot(), shown);

  // Fits: nothing scrolls. No cursor: nothing scrolls either.
  st = {TEXT_ALIGN_LEFT, 3, 0, 0};
  lcd_show_text(&st, 0, 0, 300, 24, "abc", 24, 1);
  EXPECT_EQ(3, st.cursor);
  st = {TEXT_ALIGN_LEFT, TEXT_NO_CURSOR, 0, 0};
  lcd_show_text(&st, 0, 0, 10, 24, text.c_str(), 24, 1);
  EXPECT_EQ(TEXT_NO_CURSOR, st.cursor);

  // A box narrower than the terminator's cell never starts past the string.
  st = {TEXT_ALIGN_LEFT, 3, 1, 0};
  lcd_show_text(&st, 0, 0, 20, 24, "abc", 24, 1);
  EXPECT_EQ(0, st.cursor);
  // A cursor beyond the string end is treated as at the end.
  st = {TEXT_ALIGN_LEFT, 200, 0, 0};
  lcd_show_text(&st, 0, 0, 40, 24, "abcdef", 24, 1);
  EXPECT_EQ(200 - 5, st.cursor);
}

TEST_F(LcdDraw, PointsOutsideTheCanvasAreDroppedAndReadsLogged) {
  SyslogCapture cap;
  lcd_draw_point(0, 272, 1);
  lcd_draw_point(65535, 65535, 1);
  EXPECT_EQ(blank(), snapshot());
  EXPECT_EQ(0, lcd_get_point_color(0, 272));
  EXPECT_TRUE(cap.has("GetBitHByte failed: byte_offset = 16320, size = 16320", LOG_ERR));
  lcd_draw_point(479, 271, 1);
  EXPECT_EQ(1, lcd_get_point_color(479, 271));
  EXPECT_EQ(0x80, canvas_[LCD_CANVAS_SIZE - 1]);
  // An x beyond 479 lands in the next row.
  lcd_draw_point(480, 0, 1);
  EXPECT_EQ(1, lcd_get_point_color(0, 1));
}

// ---- Whole-byte implementation against the point-by-point reference ----

class LcdIdentity : public LcdDraw {
 protected:
  void SetUp() override {
    LcdDraw::SetUp();
    for (auto& b : start_) b = static_cast<unsigned char>(rng_());
    memcpy(canvas_, start_.data(), LCD_CANVAS_SIZE);
    ref_ = start_;
  }
  void reset() {
    memcpy(canvas_, start_.data(), LCD_CANVAS_SIZE);
    ref_ = start_;
  }
  ::testing::AssertionResult same() {
    if (memcmp(canvas_, ref_.data(), LCD_CANVAS_SIZE) == 0) return ::testing::AssertionSuccess();
    for (uint32_t i = 0; i < LCD_CANVAS_SIZE; i++)
      if (canvas_[i] != ref_[i])
        return ::testing::AssertionFailure() << "first difference at byte " << i << " (row " << i / 60 << ", x "
                                             << (i % 60) * 8 << "): " << int(canvas_[i]) << " vs " << int(ref_[i]);
    return ::testing::AssertionFailure();
  }
  uint16_t coord(int max) { return static_cast<uint16_t>(rng_() % (max + 1)); }
  std::mt19937 rng_{12345};
  Canvas start_ = Canvas(LCD_CANVAS_SIZE);
  Canvas ref_;
};

TEST_F(LcdIdentity, FillsAtEveryBitOffsetAndLength) {
  for (int x = 0; x < 24; x++)
    for (int w = 0; w <= 40; w++)
      for (int color = 0; color < 2; color++) {
        lcd_fill_color(static_cast<uint16_t>(x + 200), 3, static_cast<uint16_t>(w), 2, color);
        ref_fill_color(ref_.data(), static_cast<uint16_t>(x + 200), 3, static_cast<uint16_t>(w), 2, color);
        ASSERT_TRUE(same()) << "x " << x << " w " << w;
      }
}

TEST_F(LcdIdentity, RandomFillsLinesAndRectangles) {
  for (int i = 0; i < 400; i++) {
    int kind = static_cast<int>(rng_() % 3), color = static_cast<int>(rng_() % 2);
    // Mostly on screen, sometimes past the edges, now and then past the 16-bit wrap.
    int span = i % 10 == 0 ? 65535 : (i % 3 == 0 ? 700 : 479);
    uint16_t a = coord(span), b = coord(i % 10 == 0 ? 65535 : 300), c = coord(span), d = coord(300);
    if (i % 10 == 0 && kind == 0) {
      c = coord(200);
      d = coord(300);
    }
    SCOPED_TRACE(std::to_string(kind) + ": " + std::to_string(a) + "," + std::to_string(b) + "," +
                 std::to_string(c) + "," + std::to_string(d));
    if (kind == 0) {
      lcd_fill_color(a, b, c, static_cast<uint16_t>(d % 40), color);
      ref_fill_color(ref_.data(), a, b, c, static_cast<uint16_t>(d % 40), color);
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
  lcd_fill_color(65530, 0, 20, 3, 1);
  ref_fill_color(ref_.data(), 65530, 0, 20, 3, 1);
  lcd_fill_color(5, 65534, 30, 4, 1);
  ref_fill_color(ref_.data(), 5, 65534, 30, 4, 1);
  lcd_fill_color(65535, 65535, 65535, 3, 0);
  ref_fill_color(ref_.data(), 65535, 65535, 65535, 3, 0);
  EXPECT_TRUE(same());
}

TEST_F(LcdIdentity, IconsAtAnyAlignmentSizeAndBound) {
  std::vector<unsigned char> bitmap(LCD_CANVAS_SIZE);
  for (auto& b : bitmap) b = static_cast<unsigned char>(rng_());
  // The full-screen picture at the origin and shifted.
  for (auto [x, y] : {std::pair<int, int>{0, 0}, {1, 0}, {0, 3}, {7, 9}, {479, 271}}) {
    lcd_draw_icon(static_cast<uint16_t>(x), static_cast<uint16_t>(y), 480, 272, g_image_upgrading, LCD_CANVAS_SIZE);
    ref_draw_icon(ref_.data(), static_cast<uint16_t>(x), static_cast<uint16_t>(y), 480, 272, g_image_upgrading,
                  LCD_CANVAS_SIZE);
    ASSERT_TRUE(same()) << x << "," << y;
  }
  for (int i = 0; i < 300; i++) {
    uint16_t x = coord(i % 7 == 0 ? 65535 : 500), y = coord(i % 11 == 0 ? 65535 : 280);
    uint16_t w = static_cast<uint16_t>(rng_() % 130), h = static_cast<uint16_t>(rng_() % 40);
    // Sizes that cover the bitmap, fall short of it (bits beyond read as 0) or are empty.
    uint32_t size = static_cast<uint32_t>(rng_() % ((w * h + 7) / 8 + 10));
    SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(w) + "x" + std::to_string(h) +
                 " size " + std::to_string(size));
    uint32_t offset = static_cast<uint32_t>(rng_() % 100);
    lcd_draw_icon(x, y, w, h, bitmap.data() + offset, size);
    ref_draw_icon(ref_.data(), x, y, w, h, bitmap.data() + offset, size);
    ASSERT_TRUE(same());
  }
  lcd_draw_icon(65500, 100, 100, 3, bitmap.data(), 1000);
  ref_draw_icon(ref_.data(), 65500, 100, 100, 3, bitmap.data(), 1000);
  EXPECT_TRUE(same());
}

TEST_F(LcdIdentity, TextWithEveryAlignmentCursorAndClip) {
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
    SCOPED_TRACE("text '" + text + "' at " + std::to_string(x) + "," + std::to_string(y) + " box " +
                 std::to_string(w) + "x" + std::to_string(h) + " align " + std::to_string(st.align) + " cursor " +
                 std::to_string(st.cursor));
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

TEST_F(LcdIdentity, RegionConversionInBothPanelFormats) {
  std::vector<unsigned char> image(LCD_IMAGE_SIZE), ref_image(LCD_IMAGE_SIZE);
  SyslogCapture cap;
  for (int gtype = 0; gtype < 2; gtype++) {
    for (auto& b : image) b = static_cast<unsigned char>(rng_());
    ref_image = image;
    for (int i = 0; i < 300; i++) {
      uint16_t x1 = coord(479), y1 = coord(271);
      uint16_t x2 = static_cast<uint16_t>(x1 + rng_() % (i % 5 == 0 ? 700 : 480 - x1));
      uint16_t y2 = static_cast<uint16_t>(y1 + rng_() % (272 - y1));
      if (i % 37 == 0) y2 = 272;  // one row past the screen
      for (int k = 0; k < 50; k++) canvas_[rng_() % LCD_CANVAS_SIZE] = static_cast<unsigned char>(rng_());
      SCOPED_TRACE(std::to_string(gtype) + ": " + std::to_string(x1) + "," + std::to_string(y1) + "-" +
                   std::to_string(x2) + "," + std::to_string(y2));
      lcd_convert_region(image.data(), LCD_IMAGE_SIZE, canvas_, LCD_CANVAS_SIZE, x1, y1, x2, y2, gtype);
      ref_convert(ref_image.data(), canvas_, x1, y1, x2, y2, gtype);
      ASSERT_EQ(0, memcmp(image.data(), ref_image.data(), LCD_IMAGE_SIZE));
    }
    lcd_convert_region(image.data(), LCD_IMAGE_SIZE, canvas_, LCD_CANVAS_SIZE, 0, 0, 479, 271, gtype);
    ref_convert(ref_image.data(), canvas_, 0, 0, 479, 271, gtype);
    ASSERT_EQ(0, memcmp(image.data(), ref_image.data(), LCD_IMAGE_SIZE));
  }
  // The 16-bit image ends with the screen: one line for a region past it.
  cap.clear();
  lcd_convert_region(image.data(), LCD_IMAGE_SIZE, canvas_, LCD_CANVAS_SIZE, 0, 272, 5, 273, 1);
  EXPECT_EQ(std::vector<std::string>{"SetPixel failed: byte_offset = 261120, size = 261120"}, cap.messages(LOG_ERR));
}

TEST_F(LcdIdentity, RefreshesKeepTheStagingImageExact) {
  // The refresh converts only canvas bytes that changed since the last one;
  // the staging image must still be what a full point-by-point conversion of
  // every region gives, across panel types and any canvas change.
  std::vector<unsigned char> fb(LCD_FB_SIZE_GTYPE);
  std::vector<unsigned char> ref_image(lcd_get_staging_image(), lcd_get_staging_image() + LCD_IMAGE_SIZE);
  unsigned char saved_gtype = g_is_Gtype_basicui;
  lcd_get_redraw(nullptr, nullptr, nullptr, nullptr);
  for (int i = 0; i < 300; i++) {
    if (i % 40 == 0) g_is_Gtype_basicui = static_cast<unsigned char>(rng_() % 2);
    switch (rng_() % 4) {
      case 0:
        for (int k = 0; k < 20; k++) canvas_[rng_() % LCD_CANVAS_SIZE] = static_cast<unsigned char>(rng_());
        break;
      case 1:
        lcd_fill_color(coord(479), coord(271), coord(100), coord(30), static_cast<int>(rng_() % 2));
        break;
      case 2:
        lcd_draw_icon(0, 0, LCD_WIDTH, LCD_HEIGHT, g_image_upgrading, LCD_CANVAS_SIZE);
        break;
      default:
        break;
    }
    uint16_t x2 = i % 3 ? 479 : coord(i % 9 == 0 ? 600 : 479);
    uint16_t y2 = i % 3 ? 271 : coord(i % 27 == 0 ? 272 : 271);
    lcd_set_redraw(coord(x2), coord(y2), x2, y2);
    SCOPED_TRACE(std::to_string(i) + ": region to " + std::to_string(x2) + "," + std::to_string(y2) + " gtype " +
                 std::to_string(g_is_Gtype_basicui));
    lcd_copy_framebuffer(fb.data(), canvas_);
    ref_convert(ref_image.data(), canvas_, 0, 0, x2, y2, g_is_Gtype_basicui);
    ASSERT_EQ(0, memcmp(ref_image.data(), lcd_get_staging_image(), LCD_IMAGE_SIZE));
    size_t copied = g_is_Gtype_basicui ? LCD_FB_SIZE_GTYPE : LCD_FB_SIZE_4BIT;
    ASSERT_EQ(0, memcmp(ref_image.data(), fb.data(), copied));
  }
  g_is_Gtype_basicui = saved_gtype;
}

}  // namespace
