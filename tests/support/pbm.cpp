#include "tests/support/pbm.h"

#include <stdio.h>

#include "tests/support/files.h"

std::vector<uint8_t> pbm_read(const std::string& path, int* width, int* height) {
  std::string file = read_file(path);
  int w = 0, h = 0, header = 0;
  if (sscanf(file.c_str(), "P4 %d %d%n", &w, &h, &header) != 2 || w <= 0 || h <= 0) return {};
  const size_t row = (static_cast<size_t>(w) + 7) / 8;
  const size_t start = static_cast<size_t>(header) + 1;  // one white-space byte ends the header
  if (file.size() != start + row * static_cast<size_t>(h)) return {};
  std::vector<uint8_t> grey(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t bits = static_cast<uint8_t>(file[start + y * row + x / 8]);
      grey[static_cast<size_t>(y) * w + x] = (bits >> (7 - x % 8)) & 1 ? 0 : 255;
    }
  *width = w;
  *height = h;
  return grey;
}

bool pbm_write(const std::string& path, const std::vector<uint8_t>& grey, int width, int height) {
  const size_t row = (static_cast<size_t>(width) + 7) / 8;
  std::string file = "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
  std::string bits(row * height, '\0');
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (grey[static_cast<size_t>(y) * width + x] == 0) bits[y * row + x / 8] |= static_cast<char>(0x80 >> (x % 8));
  return write_file(path, file + bits);
}
