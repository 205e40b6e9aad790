// The primitives work on whole bytes of the canvas where they can (bit runs,
// masks, block copies) and give exactly the pixels of the point-by-point
// definitions: coordinates are 16-bit, so a column past 65535 wraps to 0, and
// a column past 479 lands in the next row down.
#include "lcd/lcd_draw.h"

#include <string.h>

#include "lcd/lcd_bits.h"
#include "lcd/lcd_device.h"

namespace {

constexpr uint32_t kCoordRange = 65536;  // coordinates are 16-bit
constexpr int kGlyphBitmapBytes = 72;

inline uint64_t canvas_bit(uint32_t x, uint32_t y) { return static_cast<uint64_t>(y) * LCD_WIDTH + x; }

// Fills columns first..last (as computed, before the 16-bit wrap) of row y.
void fill_columns(unsigned char* canvas, uint32_t y, int64_t first, int64_t last, int color) {
  if (last < first) return;
  int64_t in_range_last = last < kCoordRange - 1 ? last : kCoordRange - 1;
  if (first <= in_range_last)
    lcd_bits_fill(canvas, LCD_CANVAS_SIZE, canvas_bit(static_cast<uint32_t>(first), y),
                  static_cast<uint64_t>(in_range_last - first + 1), color);
  if (last >= kCoordRange) {
    // Columns past 65535 wrap to 0; the range is at most 2 * 65535 long.
    int64_t wrapped_first = first > kCoordRange ? first - kCoordRange : 0;
    lcd_bits_fill(canvas, LCD_CANVAS_SIZE, canvas_bit(static_cast<uint32_t>(wrapped_first), y),
                  static_cast<uint64_t>(last - kCoordRange - wrapped_first + 1), color);
  }
}

// Fills rows first..last (before the wrap), columns x_first..x_last.
void fill_box(int64_t x_first, int64_t x_last, int64_t y_first, int64_t y_last, int color) {
  unsigned char* canvas = lcd_get_canvas();
  if (!canvas || x_last < x_first || y_last < y_first) return;
  if (x_first == 0 && x_last == LCD_WIDTH - 1 && y_last < kCoordRange) {
    // Whole rows are one run of bits.
    lcd_bits_fill(canvas, LCD_CANVAS_SIZE, canvas_bit(0, static_cast<uint32_t>(y_first)),
                  static_cast<uint64_t>(y_last - y_first + 1) * LCD_WIDTH, color);
    return;
  }
  for (int64_t row = y_first; row <= y_last; row++)
    fill_columns(canvas, static_cast<uint32_t>(row % kCoordRange), x_first, x_last, color);
}

// Copies icon columns [c0, c0 + n) of row r to canvas bit dst.
void icon_segment(unsigned char* canvas, uint64_t dst, const unsigned char* bitmap, uint32_t size, uint64_t src,
                  uint64_t n) {
  lcd_bits_copy(canvas, LCD_CANVAS_SIZE, dst, bitmap, size, src, n);
}

int glyph_width(const char* text, size_t i) { return font_get_data(static_cast<signed char>(text[i]), 0)[0]; }

// Up to 32 bits of a glyph bitmap starting at bit pos (bits beyond it read 0).
uint32_t glyph_bits(const unsigned char* bitmap, uint32_t pos, int count) {
  uint64_t v = 0;
  uint32_t byte = pos / 8;
  for (int i = 0; i < 5 && byte + i < static_cast<uint32_t>(kGlyphBitmapBytes); i++)
    v |= static_cast<uint64_t>(bitmap[byte + i]) << (8 * i);
  v >>= pos % 8;
  return static_cast<uint32_t>(v & ((count >= 32) ? 0xFFFFFFFFull : ((1ull << count) - 1)));
}

// The set bits of one glyph row whose first column lands at X0; columns past
// `limit` are dropped.
void draw_glyph_row(unsigned char* canvas, const unsigned char* bitmap, int g, int r, int64_t x0, int64_t limit,
                    uint32_t row, int color) {
  int64_t cols = limit - x0 + 1;
  if (cols <= 0) return;
  if (cols > g) cols = g;
  if (g <= 32 && x0 >= 0 && x0 + cols - 1 < kCoordRange) {
    uint32_t mask = glyph_bits(bitmap, static_cast<uint32_t>(r * g), static_cast<int>(cols));
    lcd_bits_apply(canvas, LCD_CANVAS_SIZE, canvas_bit(static_cast<uint32_t>(x0), row), mask, color);
    return;
  }
  for (int c = 0; c < cols; c++)
    if (test_bit(static_cast<uint32_t>(r * g + c), bitmap, kGlyphBitmapBytes))
      lcd_draw_point(static_cast<uint16_t>(x0 + c), static_cast<uint16_t>(row), color);
}

}  // namespace

void lcd_draw_point(uint16_t x, uint16_t y, int color) {
  if (color)
    SetBit(x, y, lcd_get_canvas(), LCD_CANVAS_SIZE);
  else
    ClearBit(x, y, lcd_get_canvas(), LCD_CANVAS_SIZE);
}

int lcd_get_point_color(uint16_t x, uint16_t y) { return GetBit(x, y, lcd_get_canvas(), LCD_CANVAS_SIZE); }

void lcd_draw_line(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int color) {
  uint16_t left = x1 < x2 ? x1 : x2, right = x1 < x2 ? x2 : x1;
  uint16_t top = y1 < y2 ? y1 : y2, bottom = y1 < y2 ? y2 : y1;
  fill_box(left, right, top, bottom, color);
}

void lcd_fill_color(uint16_t x, uint16_t y, uint16_t w, uint16_t h, int color) {
  int64_t right = static_cast<int64_t>(x) + w - 1;
  int64_t bottom = static_cast<int64_t>(y) + h - 1;
  if (right < 0 || bottom < 0) return;
  fill_box(x, right, y, bottom, color);
}

void lcd_draw_rect(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int color) {
  lcd_draw_line(x1, y1, x1, y2, color);
  lcd_draw_line(x2, y1, x2, y2, color);
  lcd_draw_line(x1, y1, x2, y1, color);
  lcd_draw_line(x1, y2, x2, y2, color);
}

void lcd_draw_icon(uint16_t x, uint16_t y, uint16_t w, uint16_t h, const unsigned char* bitmap, uint32_t size) {
  unsigned char* canvas = lcd_get_canvas();
  if (!canvas || !bitmap || w == 0 || h == 0) return;
  if (w == LCD_WIDTH && x == 0 && static_cast<uint32_t>(y) + h <= kCoordRange) {
    // Full-width rows follow each other in both the icon and the canvas.
    icon_segment(canvas, canvas_bit(0, y), bitmap, size, 0, static_cast<uint64_t>(w) * h);
    return;
  }
  uint32_t unwrapped = kCoordRange - x;  // columns before the 16-bit wrap
  for (uint32_t r = 0; r < h; r++) {
    uint32_t row = (y + r) % kCoordRange;
    uint64_t src = static_cast<uint64_t>(r) * w;
    uint32_t first = w < unwrapped ? w : unwrapped;
    icon_segment(canvas, canvas_bit(x, row), bitmap, size, src, first);
    if (w > first) icon_segment(canvas, canvas_bit(0, row), bitmap, size, src + first, w - first);
  }
}

const unsigned char* font_get_data(int code, int font_size) {
  (void)font_size;
  // Only codes 0 to 127 have a record; anything else is drawn as a space.
  if (code < 0 || code > 127) code = 32;
  const unsigned char* t = g_font_table;
  int first = t[6] << 8 | t[7];
  int record = t[10] << 8 | t[11];
  int offset = t[12] << 8 | t[13];
  return t + offset + (code - first) * record;
}

void lcd_draw_text(const text_state* state, uint16_t x, uint16_t y, uint16_t w, uint16_t h, const char* text,
                   int font_size, int color) {
  if (!state || !text) return;
  int64_t total = 0;
  for (size_t i = 0; text[i]; i++) total += glyph_width(text, i);
  int64_t start = 1;
  if (state->align == TEXT_ALIGN_CENTER && total < w) start = (w - total) / 2;
  if (state->align == TEXT_ALIGN_RIGHT && total < w) start = w - total;
  color &= 1;

  unsigned char* canvas = lcd_get_canvas();
  int64_t limit = static_cast<int64_t>(x) + w;
  int64_t pen = 0, cursor_pen = 0;
  int cursor_width = 0;
  for (size_t i = 0; text[i]; i++) {
    const unsigned char* glyph = font_get_data(static_cast<signed char>(text[i]), font_size);
    int g = glyph[0], gh = glyph[1];
    if (canvas) {
      for (int r = 0; r < gh; r++) {
        draw_glyph_row(canvas, glyph + 2, g, r, x + start + pen + 1, limit, (y + r) % kCoordRange, color);
        if (r > h) break;
      }
    }
    pen += g;
    if (i + 1 == state->cursor) {
      cursor_pen = pen;
      cursor_width = g;
    }
  }
  if (state->cursor != TEXT_NO_CURSOR && state->cursor_bar) {
    auto bar_x = static_cast<uint16_t>(x + start + cursor_pen + 1);
    lcd_draw_line(bar_x, y, bar_x, static_cast<uint16_t>(y + h - 1), color);
  }
  if (state->highlight && cursor_width) {
    for (int i = 0; i < cursor_width; i++) {
      auto col = static_cast<uint16_t>(x + cursor_pen + 1 - i);
      for (int row = y + 1; row <= y + font_size - 2; row++)
        lcd_draw_point(col, static_cast<uint16_t>(row), !lcd_get_point_color(col, static_cast<uint16_t>(row)));
    }
  }
}

void lcd_show_text(text_state* state, uint16_t x, uint16_t y, uint16_t w, uint16_t h, const char* text,
                   int font_size, int color) {
  if (!state || !text) return;
  size_t from = 0;
  if (state->cursor != TEXT_NO_CURSOR) {
    // Positions past the terminating zero are not part of the string.
    size_t len = strlen(text);
    size_t k = state->cursor < len ? state->cursor : len;
    int64_t sum = 0;
    for (size_t i = k + 1; i-- > 0;) {
      sum += glyph_width(text, i);
      if (sum >= w) {
        from = i + 1 <= len ? i + 1 : len;
        break;
      }
    }
    state->cursor = static_cast<uint8_t>(state->cursor - from);
  }
  lcd_draw_text(state, x, y, w, h, text + from, font_size, color);
}
