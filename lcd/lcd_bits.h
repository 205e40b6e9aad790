// Whole-byte workers behind the drawing primitives and the refresh. Each one
// gives, bit for bit, the result of the per-pixel loop it replaces (SetBit,
// ClearBit, test_bit, SetPixel, SetPixel_4bit one pixel at a time); the unit
// tests hold them against a per-pixel reference.
//
// Bit positions are canvas bit numbers (y * 480 + x); bits at or beyond the
// end of an array are dropped on write and read as 0.
#pragma once

#include <stdint.h>

// Sets (color != 0) or clears bits [start, start + len) of dst.
void lcd_bits_fill(unsigned char* dst, uint32_t dst_size, uint64_t start, uint64_t len, int color);

// Copies len bits from src (starting at bit src_start) to dst (starting at bit
// dst_start); source bits beyond src_size bytes copy as 0.
void lcd_bits_copy(unsigned char* dst, uint32_t dst_size, uint64_t dst_start, const unsigned char* src,
                   uint32_t src_size, uint64_t src_start, uint64_t len);

// Sets (color != 0) or clears the bits of dst at start + i for every bit i set
// in mask (i < 32); the other bits stay.
void lcd_bits_apply(unsigned char* dst, uint32_t dst_size, uint64_t start, uint32_t mask, int color);

// What a panel image already holds, so that a refresh converts only the canvas
// bytes that changed: for each canvas byte i with valid[i], the image holds the
// eight pixels of shadow[i] in the format of gtype. Belongs to one image.
struct lcd_convert_cache {
  unsigned char shadow[16320];
  unsigned char valid[16320];
  int gtype = -1;
};

// Converts the canvas pixels of rows y1..y2, columns x1..x2 (inclusive; an x
// beyond 479 continues in the next row) into the panel image: 16 bits per
// pixel when gtype, else 4 bits. Pixels beyond the canvas convert as light;
// pixels beyond the image are not written, and the first of them is logged.
// With a cache, bytes whose pixels the image already holds are skipped; the
// result is the same.
void lcd_convert_region(unsigned char* image, uint32_t image_size, const unsigned char* canvas,
                        uint32_t canvas_size, uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int gtype,
                        lcd_convert_cache* cache = nullptr);
