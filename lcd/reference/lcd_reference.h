// Point-by-point reference of the drawing primitives and the panel
// conversion, written as plainly as the definitions read. Used only by the
// tests, as the oracle for the whole-byte implementation. Every function works
// on the canvas passed to it (LCD_CANVAS_SIZE bytes).
#pragma once

#include <stdint.h>

#include "lcd/lcd_draw.h"

void ref_draw_point(unsigned char* canvas, uint16_t x, uint16_t y, int color);
int ref_get_point_color(const unsigned char* canvas, uint16_t x, uint16_t y);
void ref_draw_line(unsigned char* canvas, uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int color);
void ref_fill_color(unsigned char* canvas, uint16_t x, uint16_t y, uint16_t w, uint16_t h, int color);
void ref_draw_rect(unsigned char* canvas, uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int color);
void ref_draw_icon(unsigned char* canvas, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                   const unsigned char* bitmap, uint32_t size);
void ref_draw_text(unsigned char* canvas, const text_state* state, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                   const char* text, int font_size, int color);
void ref_show_text(unsigned char* canvas, text_state* state, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                   const char* text, int font_size, int color);
// Converts rows y1..y2, columns x1..x2 of the canvas into the staging image
// (LCD_IMAGE_SIZE bytes) pixel by pixel with SetPixel or SetPixel_4bit.
void ref_convert(unsigned char* image, const unsigned char* canvas, uint16_t x1, uint16_t y1, uint16_t x2,
                 uint16_t y2, int gtype);
