#include "lcd/reference/lcd_reference.h"

#include <string.h>

#include "lcd/lcd_device.h"

void ref_draw_point(unsigned char* canvas, uint16_t x, uint16_t y, int color) {
  if (color)
    SetBit(x, y, canvas, LCD_CANVAS_SIZE);
  else
    ClearBit(x, y, canvas, LCD_CANVAS_SIZE);
}

int ref_get_point_color(const unsigned char* canvas, uint16_t x, uint16_t y) {
  return GetBit(x, y, canvas, LCD_CANVAS_SIZE);
}

void ref_draw_line(unsigned char* canvas, uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int color) {
  if (x1 > x2) {
    uint16_t t = x1;
    x1 = x2;
    x2 = t;
  }
  if (y1 > y2) {
    uint16_t t = y1;
    y1 = y2;
    y2 = t;
  }
  for (int x = x1; x <= x2; x++)
    for (int y = y1; y <= y2; y++) ref_draw_point(canvas, static_cast<uint16_t>(x), static_cast<uint16_t>(y), color);
}

void ref_fill_color(unsigned char* canvas, uint16_t x, uint16_t y, uint16_t w, uint16_t h, int color) {
  int right = x + w - 1;
  int bottom = y + h - 1;
  if (right < 0 || bottom < 0) return;
  for (int col = x; col <= right; col++)
    for (int row = y; row <= bottom; row++)
      ref_draw_point(canvas, static_cast<uint16_t>(col), static_cast<uint16_t>(row), color);
}

void ref_draw_rect(unsigned char* canvas, uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int color) {
  ref_draw_line(canvas, x1, y1, x1, y2, color);
  ref_draw_line(canvas, x2, y1, x2, y2, color);
  ref_draw_line(canvas, x1, y1, x2, y1, color);
  ref_draw_line(canvas, x1, y2, x2, y2, color);
}

void ref_draw_icon(unsigned char* canvas, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                   const unsigned char* bitmap, uint32_t size) {
  if (!bitmap) return;
  for (uint32_t r = 0; r < h; r++)
    for (uint32_t c = 0; c < w; c++)
      ref_draw_point(canvas, static_cast<uint16_t>(x + c), static_cast<uint16_t>(y + r),
                     test_bit(r * w + c, bitmap, size));
}

void ref_draw_text(unsigned char* canvas, const text_state* state, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                   const char* text, int font_size, int color) {
  int total = 0;
  for (const char* p = text; *p; p++) total += font_get_data(static_cast<signed char>(*p), font_size)[0];
  int s = 1;
  if (state->align == 1) s = total < w ? (w - total) / 2 : 1;
  if (state->align == 2) s = total < w ? w - total : 1;
  color &= 1;
  int pen = 0, cursor_pen = 0, cursor_width = 0;
  for (int i = 0; text[i]; i++) {
    const unsigned char* glyph = font_get_data(static_cast<signed char>(text[i]), font_size);
    int g = glyph[0], gh = glyph[1];
    for (int r = 0; r < gh; r++) {
      for (int c = 0; c < g; c++) {
        int X = x + s + pen + c + 1;
        if (test_bit(static_cast<uint32_t>(r * g + c), glyph + 2, 72) && X <= x + w)
          ref_draw_point(canvas, static_cast<uint16_t>(X), static_cast<uint16_t>(y + r), color);
      }
      if (r > h) break;
    }
    pen += g;
    if (i + 1 == state->cursor) {
      cursor_pen = pen;
      cursor_width = g;
    }
  }
  if (state->cursor != 255 && state->cursor_bar) {
    int bar = x + s + cursor_pen + 1;
    ref_draw_line(canvas, static_cast<uint16_t>(bar), y, static_cast<uint16_t>(bar), static_cast<uint16_t>(y + h - 1),
                  color);
  }
  if (state->highlight && cursor_width) {
    for (int i = 0; i < cursor_width; i++)
      for (int row = y + 1; row <= y + font_size - 2; row++) {
        auto col = static_cast<uint16_t>(x + cursor_pen + 1 - i);
        int old = ref_get_point_color(canvas, col, static_cast<uint16_t>(row));
        ref_draw_point(canvas, col, static_cast<uint16_t>(row), !old);
      }
  }
}

void ref_show_text(unsigned char* canvas, text_state* state, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                   const char* text, int font_size, int color) {
  int from = 0;
  if (state->cursor != 255) {
    int len = static_cast<int>(strlen(text));
    int k = state->cursor < len ? state->cursor : len;
    int sum = 0;
    for (int i = k; i >= 0; i--) {
      sum += font_get_data(static_cast<signed char>(text[i]), font_size)[0];
      if (sum >= w) {
        from = i + 1 <= len ? i + 1 : len;
        break;
      }
    }
    state->cursor = static_cast<uint8_t>(state->cursor - from);
  }
  ref_draw_text(canvas, state, x, y, w, h, text + from, font_size, color);
}

void ref_convert(unsigned char* image, const unsigned char* canvas, uint16_t x1, uint16_t y1, uint16_t x2,
                 uint16_t y2, int gtype) {
  for (int y = y1; y <= y2; y++)
    for (int x = x1; x <= x2; x++) {
      int color = test_bit(static_cast<uint32_t>(y * LCD_WIDTH + x), canvas, LCD_CANVAS_SIZE);
      if (gtype)
        SetPixel(static_cast<uint16_t>(x), static_cast<uint16_t>(y), image, LCD_IMAGE_SIZE, color);
      else
        SetPixel_4bit(static_cast<uint16_t>(x), static_cast<uint16_t>(y), image, LCD_IMAGE_SIZE, color);
    }
}
