#include <gtest/gtest.h>
#include <string.h>
#include <syslog.h>

#include <functional>
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
  static void blit_glyph(Canvas& c, char ch, int X, int y, int clip = 1 << 30, bool v = true) {
    const unsigned char* g = font_get_data(static_cast<signed char>(ch), 24);
    for (int r = 0; r < g[1]; r++)
      for (int col = 0; col < g[0]; col++) {
        int n = r * g[0] + col;
        if ((g[2 + n / 8] >> (n % 8)) & 1 && X + col <= clip) set(c, X + col, y + r, v);
      }
  }
  static Canvas blank() { return Canvas(LCD_CANVAS_SIZE, 0); }
  unsigned char* canvas_ = nullptr;
};

// Each row draws on a canvas cleared to `background` and is compared with a
// canvas drawn by hand.
TEST_F(LcdDraw, PrimitivesAgainstHandDrawnCanvases) {
  struct Row {
    std::string name;
    unsigned char background;
    std::function<void()> draw;
    std::function<void(Canvas&)> want;
  };
  auto box = [](Canvas& c, int x1, int y1, int x2, int y2) {
    for (int x = x1; x <= x2; x++)
      for (int y = y1; y <= y2; y++) set(c, x, y);
  };
  auto text = [](uint8_t align, uint8_t cursor, uint8_t bar, uint8_t highlight, uint16_t x, uint16_t y, uint16_t w,
                 uint16_t h, const char* s, int color) {
    return [=] {
      text_state st = {align, cursor, bar, highlight};
      lcd_draw_text(&st, x, y, w, h, s, 24, color);
    };
  };
  std::vector<Row> rows = {
      {"a fill wraps into the next row", 0, [] { lcd_fill_color(470, 7, 20, 1, 1); },
       [&](Canvas& c) { box(c, 470, 7, 479, 7), box(c, 0, 8, 9, 8); }},
      {"rows past the bottom are dropped", 0, [] { lcd_fill_color(0, 270, 480, 10, 1); },
       [&](Canvas& c) { box(c, 0, 270, 479, 271); }},
      // Box 40 wide: "MMMMMM" is 72 pixels; glyph columns beyond x + 40 are dropped.
      {"text clipped at the right edge of its box", 0, text(TEXT_ALIGN_LEFT, TEXT_NO_CURSOR, 0, 0, 100, 10, 40, 24,
                                                              "MMMMMM", 1),
       [](Canvas& c) {
         for (int i = 0; i < 6; i++) blit_glyph(c, 'M', 102 + 12 * i, 10, 140);
       }},
      // Only ink is drawn; a high byte is a 12-pixel blank cell.
      {"dark text on dark", 0xFF, text(TEXT_ALIGN_LEFT, TEXT_NO_CURSOR, 0, 0, 0, 100, 200, 24, "A\xE9" "B", 0),
       [](Canvas& c) { blit_glyph(c, 'A', 2, 100, 1 << 30, false), blit_glyph(c, 'B', 26, 100, 1 << 30, false); }},
      // The bar at x + start + text + 1; 'b' inverted in rows y + 1 .. y + 22.
      {"cursor bar and highlight of the character before it", 0, text(TEXT_ALIGN_LEFT, 2, 1, 1, 50, 60, 200, 30, "ab", 1),
       [&](Canvas& c) {
         blit_glyph(c, 'a', 52, 60), blit_glyph(c, 'b', 64, 60), box(c, 76, 60, 76, 89);
         for (int x = 64; x <= 75; x++)
           for (int y = 61; y <= 82; y++) set(c, x, y, !pixel(c, x, y));
       }},
      {"the cursor at 0: bar after the start offset, nothing inverted", 0,
       text(TEXT_ALIGN_LEFT, 0, 1, 1, 50, 60, 200, 30, "", 1), [&](Canvas& c) { box(c, 52, 60, 52, 89); }},
      {"glyph rows stop two rows below the box height", 0, text(TEXT_ALIGN_LEFT, TEXT_NO_CURSOR, 0, 0, 0, 0, 100, 5,
                                                                   "\x1b", 1),  // a full 24 x 24 block
       [&](Canvas& c) { box(c, 2, 0, 25, 6); }},
  };
  // "OK" in a 116-pixel box: its first column relative to x by alignment (7: unknown, as left).
  for (auto [align, start] : {std::pair<uint8_t, int>{TEXT_ALIGN_LEFT, 2}, {TEXT_ALIGN_CENTER, 47},
                              {TEXT_ALIGN_RIGHT, 93}, {7, 2}}) {
    rows.push_back({"OK aligned " + std::to_string(align), 0, text(align, TEXT_NO_CURSOR, 0, 0, 20, 30, 116, 24, "OK", 1),
                    [start = start](Canvas& c) { blit_glyph(c, 'O', 20 + start, 30), blit_glyph(c, 'K', 32 + start, 30); }});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    memset(canvas_, row.background, LCD_CANVAS_SIZE);
    row.draw();
    Canvas want(LCD_CANVAS_SIZE, row.background);
    row.want(want);
    EXPECT_EQ(want, snapshot());
  }
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

  struct Row {
    const char* name;
    const char* text;
    uint8_t cursor, bar;
    uint16_t w;
    uint8_t after;
  } rows[] = {
      {"fits: nothing scrolls", "abc", 3, 0, 300, 3},
      {"no cursor: nothing scrolls", text.c_str(), TEXT_NO_CURSOR, 0, 10, TEXT_NO_CURSOR},
      {"a box narrower than the terminator's cell never starts past the string", "abc", 3, 1, 20, 0},
      {"a cursor beyond the end counts as at the end", "abcdef", 200, 0, 40, 200 - 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    st = {TEXT_ALIGN_LEFT, row.cursor, row.bar, 0};
    lcd_show_text(&st, 0, 0, row.w, 24, row.text, 24, 1);
    EXPECT_EQ(row.after, st.cursor);
  }
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
  // The same drawing on the module's canvas and on the reference's.
  void fill(uint16_t x, uint16_t y, uint16_t w, uint16_t h, int color) {
    lcd_fill_color(x, y, w, h, color);
    ref_fill_color(ref_.data(), x, y, w, h, color);
  }
  void icon(uint16_t x, uint16_t y, uint16_t w, uint16_t h, const unsigned char* bits, uint32_t size) {
    lcd_draw_icon(x, y, w, h, bits, size);
    ref_draw_icon(ref_.data(), x, y, w, h, bits, size);
  }
  std::mt19937 rng_{12345};
  Canvas start_ = Canvas(LCD_CANVAS_SIZE);
  Canvas ref_;
};

TEST_F(LcdIdentity, FillsAtEveryBitOffsetAndLength) {
  for (int x = 0; x < 24; x++)
    for (int w = 0; w <= 40; w++)
      for (int color = 0; color < 2; color++) {
        fill(static_cast<uint16_t>(x + 200), 3, static_cast<uint16_t>(w), 2, color);
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

TEST_F(LcdIdentity, IconsAtAnyAlignmentSizeAndBound) {
  std::vector<unsigned char> bitmap(LCD_CANVAS_SIZE);
  for (auto& b : bitmap) b = static_cast<unsigned char>(rng_());
  // The full-screen picture at the origin and shifted.
  for (auto [x, y] : {std::pair<int, int>{0, 0}, {1, 0}, {0, 3}, {7, 9}, {479, 271}}) {
    icon(static_cast<uint16_t>(x), static_cast<uint16_t>(y), 480, 272, g_image_upgrading, LCD_CANVAS_SIZE);
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
    icon(x, y, w, h, bitmap.data() + offset, size);
    ASSERT_TRUE(same());
  }
  icon(65500, 100, 100, 3, bitmap.data(), 1000);
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
