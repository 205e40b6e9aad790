#include "lcd/lcd_bits.h"

#include <string.h>

#include <array>

#include "lcd/lcd_device.h"
#include "log/rl_log.h"

namespace {

// Eight bits of src starting at bit pos; bytes beyond size read as 0.
inline uint32_t gather8(const unsigned char* src, uint32_t size, uint64_t pos) {
  uint64_t i = pos >> 3;
  unsigned shift = static_cast<unsigned>(pos & 7);
  uint32_t lo = i < size ? src[i] : 0;
  uint32_t hi = (shift && i + 1 < size) ? src[i + 1] : 0;
  return ((lo | hi << 8) >> shift) & 0xFF;
}

// Replaces the bits of byte *d selected by mask with those of value.
inline void merge(unsigned char* d, uint32_t mask, uint32_t value) {
  *d = static_cast<unsigned char>((*d & ~mask) | (value & mask));
}

// Clips [start, start + len) to the first size * 8 bits; false when empty.
inline bool clip(uint32_t size, uint64_t start, uint64_t* len) {
  uint64_t end_bit = static_cast<uint64_t>(size) * 8;
  if (start >= end_bit || *len == 0) return false;
  if (*len > end_bit - start) *len = end_bit - start;
  return true;
}

// One canvas byte (8 pixels, bit 0 leftmost) in each panel format.
constexpr std::array<std::array<unsigned char, 16>, 256> make_table16() {
  std::array<std::array<unsigned char, 16>, 256> t{};
  for (int v = 0; v < 256; v++)
    for (int b = 0; b < 8; b++) {
      unsigned char px = (v >> b) & 1 ? 0x00 : 0xFF;
      t[v][2 * b] = px;
      t[v][2 * b + 1] = px;
    }
  return t;
}
constexpr std::array<std::array<unsigned char, 4>, 256> make_table4() {
  std::array<std::array<unsigned char, 4>, 256> t{};
  for (int v = 0; v < 256; v++)
    for (int b = 0; b < 4; b++) {
      unsigned lo = (v >> (2 * b)) & 1 ? 0x0 : 0xF;
      unsigned hi = (v >> (2 * b + 1)) & 1 ? 0x0 : 0xF;
      t[v][b] = static_cast<unsigned char>(lo | hi << 4);
    }
  return t;
}
constexpr auto kTable16 = make_table16();
constexpr auto kTable4 = make_table4();

inline void put_pixel16(unsigned char* image, uint32_t n, int dark) {
  unsigned char v = dark ? 0x00 : 0xFF;
  image[2 * n] = v;
  image[2 * n + 1] = v;
}

inline void put_pixel4(unsigned char* image, uint32_t n, int dark) {
  unsigned shift = (n & 1) * 4;
  unsigned char* b = image + n / 2;
  *b = static_cast<unsigned char>((*b & ~(0xF << shift)) | ((dark ? 0x0 : 0xF) << shift));
}

inline void convert_byte(unsigned char* image, uint32_t a, unsigned char v, int gtype) {
  if (gtype)
    memcpy(image + 2 * a, kTable16[v].data(), 16);
  else
    memcpy(image + a / 2, kTable4[v].data(), 4);
}

// Converts pixels [a, b) that all lie inside the canvas and the image.
void convert_run(unsigned char* image, const unsigned char* canvas, uint32_t a, uint32_t b, int gtype,
                 lcd_convert_cache* cache) {
  auto one = [&](uint32_t n) {
    int dark = (canvas[n >> 3] >> (n & 7)) & 1;
    if (gtype)
      put_pixel16(image, n, dark);
    else
      put_pixel4(image, n, dark);
    if (cache) cache->valid[n >> 3] = 0;  // the byte is only partly converted
  };
  while (a < b && (a & 7)) one(a++);
  if (!cache) {
    for (; a + 8 <= b; a += 8) convert_byte(image, a, canvas[a >> 3], gtype);
  } else {
    unsigned char* shadow = cache->shadow;
    unsigned char* valid = cache->valid;
    while (a + 8 <= b) {
      uint32_t i = a >> 3;
      // Eight unchanged bytes at a time where they line up.
      if ((i & 7) == 0 && a + 64 <= b && memcmp(canvas + i, shadow + i, 8) == 0) {
        uint64_t v;
        memcpy(&v, valid + i, 8);
        if (v == 0x0101010101010101ull) {
          a += 64;
          continue;
        }
      }
      if (!valid[i] || shadow[i] != canvas[i]) {
        convert_byte(image, a, canvas[i], gtype);
        shadow[i] = canvas[i];
        valid[i] = 1;
      }
      a += 8;
    }
  }
  while (a < b) one(a++);
}

// Writes light pixels [a, b) (pixels beyond the canvas read as light).
void light_run(unsigned char* image, uint32_t a, uint32_t b, int gtype) {
  if (a >= b) return;
  if (gtype) {
    memset(image + 2 * a, 0xFF, 2 * (b - a));
    return;
  }
  if (a & 1) put_pixel4(image, a++, 0);
  if (a < b && (b & 1)) put_pixel4(image, --b, 0);
  if (a < b) memset(image + a / 2, 0xFF, (b - a) / 2);
}

}  // namespace

void lcd_bits_fill(unsigned char* dst, uint32_t dst_size, uint64_t start, uint64_t len, int color) {
  if (!dst || !clip(dst_size, start, &len)) return;
  uint32_t value = color ? 0xFF : 0x00;
  uint64_t end = start + len;
  uint64_t first = start >> 3, last = (end - 1) >> 3;
  uint32_t head = (0xFFu << (start & 7)) & 0xFF;
  uint32_t tail = 0xFFu >> (7 - ((end - 1) & 7));
  if (first == last) {
    merge(dst + first, head & tail, value);
    return;
  }
  merge(dst + first, head, value);
  if (last > first + 1) memset(dst + first + 1, static_cast<int>(value), last - first - 1);
  merge(dst + last, tail, value);
}

void lcd_bits_copy(unsigned char* dst, uint32_t dst_size, uint64_t dst_start, const unsigned char* src,
                   uint32_t src_size, uint64_t src_start, uint64_t len) {
  if (!dst || !clip(dst_size, dst_start, &len)) return;
  if (!src) src_size = 0;
  uint64_t end = dst_start + len;
  uint64_t pos = src_start;
  // Head: up to the next byte boundary of the destination.
  if (dst_start & 7) {
    unsigned offset = static_cast<unsigned>(dst_start & 7);
    uint64_t n = 8 - offset < len ? 8 - offset : len;
    uint32_t mask = ((1u << n) - 1) << offset;
    merge(dst + (dst_start >> 3), mask, gather8(src, src_size, pos) << offset);
    pos += n;
    dst_start += n;
  }
  uint64_t whole = (end - dst_start) >> 3;
  unsigned char* d = dst + (dst_start >> 3);
  if ((pos & 7) == 0) {
    // Same alignment: whole bytes, zeros past the end of the source.
    uint64_t s = pos >> 3;
    uint64_t avail = s < src_size ? src_size - s : 0;
    uint64_t n = whole < avail ? whole : avail;
    if (n) memcpy(d, src + s, n);
    memset(d + n, 0, whole - n);
  } else {
    uint64_t i = 0;
    uint64_t s = pos >> 3;
    unsigned shift = static_cast<unsigned>(pos & 7);
    // Both source bytes of each step lie inside the source here.
    for (; i < whole && s + i + 1 < src_size; i++)
      d[i] = static_cast<unsigned char>((src[s + i] | src[s + i + 1] << 8) >> shift);
    for (; i < whole; i++) d[i] = static_cast<unsigned char>(gather8(src, src_size, pos + 8 * i));
  }
  pos += whole * 8;
  dst_start += whole * 8;
  if (dst_start < end) {
    uint32_t mask = (1u << (end - dst_start)) - 1;
    merge(dst + (dst_start >> 3), mask, gather8(src, src_size, pos));
  }
}

void lcd_bits_apply(unsigned char* dst, uint32_t dst_size, uint64_t start, uint32_t mask, int color) {
  if (!dst || !mask) return;
  uint64_t byte = start >> 3;
  uint64_t bits = static_cast<uint64_t>(mask) << (start & 7);
  for (; bits && byte < dst_size; byte++, bits >>= 8) {
    auto m = static_cast<unsigned char>(bits & 0xFF);
    if (color)
      dst[byte] |= m;
    else
      dst[byte] &= static_cast<unsigned char>(~m);
  }
}

void lcd_convert_region(unsigned char* image, uint32_t image_size, const unsigned char* canvas,
                        uint32_t canvas_size, uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, int gtype,
                        lcd_convert_cache* cache) {
  if (!image || !canvas || x2 < x1 || y2 < y1) return;
  gtype = gtype ? 1 : 0;
  if (cache && canvas_size > sizeof cache->shadow) cache = nullptr;
  if (cache && cache->gtype != gtype) {
    memset(cache->valid, 0, sizeof cache->valid);
    cache->gtype = gtype;
  }
  // Pixel limits: the canvas holds canvas_size * 8 pixels, the image
  // image_size / 2 (16 bits) or image_size * 2 (4 bits) of them.
  uint64_t canvas_px = static_cast<uint64_t>(canvas_size) * 8;
  uint64_t image_px = gtype ? image_size / 2 : static_cast<uint64_t>(image_size) * 2;
  uint64_t first_outside = UINT64_MAX;
  auto run = [&](uint64_t a, uint64_t b) {
    uint64_t in_canvas = b < canvas_px ? b : canvas_px;
    uint64_t in_image = b < image_px ? b : image_px;
    uint64_t converted = in_canvas < in_image ? in_canvas : in_image;
    if (a < converted)
      convert_run(image, canvas, static_cast<uint32_t>(a), static_cast<uint32_t>(converted), gtype, cache);
    uint64_t light_from = a > converted ? a : converted;
    if (light_from < in_image)
      light_run(image, static_cast<uint32_t>(light_from), static_cast<uint32_t>(in_image), gtype);
    if (b > image_px && first_outside == UINT64_MAX) first_outside = a > image_px ? a : image_px;
  };
  if (x1 == 0 && x2 == LCD_WIDTH - 1) {
    // Whole rows follow each other: one run.
    run(static_cast<uint64_t>(y1) * LCD_WIDTH, (static_cast<uint64_t>(y2) + 1) * LCD_WIDTH);
  } else {
    for (uint32_t y = y1; y <= y2; y++)
      run(static_cast<uint64_t>(y) * LCD_WIDTH + x1, static_cast<uint64_t>(y) * LCD_WIDTH + x2 + 1);
  }
  if (first_outside != UINT64_MAX) {
    // One line for the whole region, not one per pixel outside the image.
    uint64_t offset = gtype ? first_outside * 2 : first_outside * 4 / 8;
    rl_log_err("%s failed: byte_offset = %d, size = %d", gtype ? "SetPixel" : "SetPixel_4bit",
               static_cast<int>(offset), static_cast<int>(image_size));
  }
}
