// Drawing into the canvas: points, axis-aligned lines, rectangles, one-bit
// icons and text in the built-in 12 x 24 font. Nothing reaches the panel until
// lcd_refresh, and no primitive marks the redraw region: the caller does.
//
// Colours: 1 dark, 0 light. Coordinates and sizes are unsigned 16-bit. Points
// outside the canvas are dropped.
#pragma once

#include <stdint.h>

struct text_state {
  uint8_t align;       // 0 left, 1 centre, 2 right (anything else: left)
  uint8_t cursor;      // characters before the cursor; 255 = no cursor
  uint8_t cursor_bar;  // draw the cursor bar when not 0
  uint8_t highlight;   // show the character before the cursor inverted when not 0
};

constexpr uint8_t TEXT_ALIGN_LEFT = 0;
constexpr uint8_t TEXT_ALIGN_CENTER = 1;
constexpr uint8_t TEXT_ALIGN_RIGHT = 2;
constexpr uint8_t TEXT_NO_CURSOR = 255;

constexpr int FONT_TABLE_SIZE = 9486;  // 14 + 128 * 74
constexpr int FONT_HEIGHT = 24;

void lcd_draw_point(uint16_t x, uint16_t y, int color);
int lcd_get_point_color(uint16_t x, uint16_t y);
// Fills the axis-aligned box between the two corners (a one-pixel line when
// they share a row or a column).
void lcd_draw_line(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int color);
// Fills the w x h rectangle whose top left corner is (x, y).
void lcd_fill_color(uint16_t x, uint16_t y, uint16_t w, uint16_t h, int color);
// Outline with inclusive corners.
void lcd_draw_rect(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int color);
// Paints a w x h one-bit bitmap (bit r * w + c, least significant bit first)
// opaquely at (x, y); bits beyond size bytes paint light.
void lcd_draw_icon(uint16_t x, uint16_t y, uint16_t w, uint16_t h, const unsigned char* bitmap,
                   uint32_t size);
// Draws text inside the box (x, y, w, h) with the alignment, cursor bar and
// highlight of the state. Only bit 0 of color is used.
void lcd_draw_text(const text_state* state, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                   const char* text, int font_size, int color);
// Scrolls the text so that the cursor fits in the box (lowering state->cursor
// when it drops leading characters), then lcd_draw_text.
void lcd_show_text(text_state* state, uint16_t x, uint16_t y, uint16_t w, uint16_t h, const char* text,
                   int font_size, int color);
// Address of the glyph record of a character code: byte 0 width, byte 1
// height, then the bitmap. Codes outside 0..127 give the space glyph.
const unsigned char* font_get_data(int code, int font_size);

// The built-in font table and the full-screen "Upgrading" picture (a
// 480 x 272 icon, LCD_CANVAS_SIZE bytes).
extern const unsigned char g_font_table[FONT_TABLE_SIZE];
extern const unsigned char g_image_upgrading[16320];
