// Pictures of the LCD for people: turns a framebuffer image or a canvas into
// grey levels and writes grey images as PNG files. Host library (simulator,
// fb2png, tests); not part of the phone's program.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

constexpr int FBPNG_WIDTH = 480;
constexpr int FBPNG_HEIGHT = 272;
constexpr size_t FBPNG_SIZE_16BIT = 261120;  // G-type panel, 16 bits per pixel
constexpr size_t FBPNG_SIZE_4BIT = 65280;    // other panel, 4 bits per pixel (low nibble = even x)
constexpr size_t FBPNG_SIZE_CANVAS = 16320;  // one bit per pixel, bit 0 leftmost, 1 = dark

// Decodes a 480 x 272 image, recognised by its length, into one grey byte per
// pixel (0 black .. 255 white). 16-bit pixels keep their high byte (0x0000
// black, 0xFFFF white, little-endian), 4-bit pixels their nibble times 17,
// canvas bits 1 black and 0 white. 0, or -1 for a null argument or a length
// that is none of the three.
int fbpng_decode(const unsigned char* data, size_t len, std::vector<uint8_t>* gray, int* w, int* h);

// Writes a w x h grey image (row after row) as an 8-bit greyscale PNG. 0 or -1.
int fbpng_write_gray(const uint8_t* gray, int w, int h, const char* path);

// Reads a file and decodes it as above. 0 or -1.
int fbpng_decode_file(const char* path, std::vector<uint8_t>* gray, int* w, int* h);
