#include "hostlib/fbpng.h"

#include <png.h>
#include <stdio.h>

#include <memory>

namespace {

void decode_16bit(const unsigned char* data, uint8_t* out) {
  for (size_t i = 0; i < FBPNG_SIZE_16BIT / 2; i++) out[i] = data[2 * i + 1];
}

void decode_4bit(const unsigned char* data, uint8_t* out) {
  for (size_t i = 0; i < FBPNG_SIZE_4BIT; i++) {
    out[2 * i] = static_cast<uint8_t>((data[i] & 0x0F) * 17);
    out[2 * i + 1] = static_cast<uint8_t>((data[i] >> 4) * 17);
  }
}

void decode_canvas(const unsigned char* data, uint8_t* out) {
  for (size_t n = 0; n < FBPNG_SIZE_CANVAS * 8; n++) out[n] = ((data[n / 8] >> (n % 8)) & 1) ? 0 : 255;
}

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

int fbpng_decode(const unsigned char* data, size_t len, std::vector<uint8_t>* gray, int* w, int* h) {
  if (!data || !gray || !w || !h) return -1;
  if (len != FBPNG_SIZE_16BIT && len != FBPNG_SIZE_4BIT && len != FBPNG_SIZE_CANVAS) return -1;
  gray->assign(static_cast<size_t>(FBPNG_WIDTH) * FBPNG_HEIGHT, 0);
  if (len == FBPNG_SIZE_16BIT)
    decode_16bit(data, gray->data());
  else if (len == FBPNG_SIZE_4BIT)
    decode_4bit(data, gray->data());
  else
    decode_canvas(data, gray->data());
  *w = FBPNG_WIDTH;
  *h = FBPNG_HEIGHT;
  return 0;
}

int fbpng_write_gray(const uint8_t* gray, int w, int h, const char* path) {
  if (!gray || !path || w <= 0 || h <= 0) return -1;
  std::unique_ptr<FILE, file_closer> f(fopen(path, "wb"));
  if (!f) return -1;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return -1;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, info ? &info : nullptr);
    return -1;
  }
  png_init_io(png, f.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; y++) png_write_row(png, gray + static_cast<size_t>(y) * w);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return fflush(f.get()) == 0 ? 0 : -1;
}

int fbpng_decode_file(const char* path, std::vector<uint8_t>* gray, int* w, int* h) {
  if (!path) return -1;
  std::unique_ptr<FILE, file_closer> f(fopen(path, "rb"));
  if (!f) return -1;
  std::vector<unsigned char> data;
  unsigned char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) {
    data.insert(data.end(), buf, buf + n);
    if (data.size() > FBPNG_SIZE_16BIT) return -1;
  }
  if (ferror(f.get())) return -1;
  return fbpng_decode(data.data(), data.size(), gray, w, h);
}
