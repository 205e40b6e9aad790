// fb2png: turns a framebuffer file of either panel (261120 bytes, 16 bits per
// pixel, or 65280 bytes, 4 bits per pixel) or a 16320-byte canvas into a PNG.
//
//   fb2png INPUT OUTPUT.png
#include <stdio.h>

#include <vector>

#include "hostlib/fbpng.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s INPUT OUTPUT.png\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> gray;
  int w = 0, h = 0;
  if (fbpng_decode_file(argv[1], &gray, &w, &h) != 0) {
    fprintf(stderr, "%s: cannot read %s as a 261120-, 65280- or 16320-byte image\n", argv[0], argv[1]);
    return 1;
  }
  if (fbpng_write_gray(gray.data(), w, h, argv[2]) != 0) {
    fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
    return 1;
  }
  return 0;
}
