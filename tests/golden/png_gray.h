// Reads the golden pictures of the screens: 8-bit greyscale PNG files, as the
// fbpng writer makes them. Self-contained (its own inflate), so the tests of
// every build, the cross build included, can compare against them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Decodes a non-interlaced 8-bit greyscale PNG held in memory into one byte
// per pixel, row after row. Checks chunk CRCs and the zlib checksum. true, or
// false with a reason in *error.
bool png_decode_gray(const std::vector<uint8_t>& file, std::vector<uint8_t>* pixels, int* width, int* height,
                     std::string* error);
