#include <gtest/gtest.h>
#include <png.h>

#include <string>
#include <vector>

#include "lcd/lcd_device.h"
#include "tests/support/files.h"
#include "hostlib/fbpng.h"

namespace {

const std::string kTool = std::string(UPG_BINARY_DIR) + "/tools/fb2png/fb2png";

// Reads an 8-bit greyscale PNG back.
bool read_png(const std::string& path, std::vector<uint8_t>* gray, int* w, int* h) {
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_GRAY;
  gray->resize(PNG_IMAGE_SIZE(image));
  *w = static_cast<int>(image.width);
  *h = static_cast<int>(image.height);
  return png_image_finish_read(&image, nullptr, gray->data(), 0, nullptr) != 0;
}

// The same picture in the three formats, through the command:
// (x, y) dark when x == y or x == 479.
TEST(FbPng, DecodesEachPanelFormatAndTheCanvas) {
  std::vector<unsigned char> canvas(LCD_CANVAS_SIZE, 0), fb16(LCD_FB_SIZE_GTYPE), fb4(LCD_FB_SIZE_4BIT);
  std::vector<uint8_t> want(480 * 272);
  for (uint16_t y = 0; y < 272; y++)
    for (uint16_t x = 0; x < 480; x++) {
      bool dark = x == y || x == 479;
      want[y * 480 + x] = dark ? 0 : 255;
      if (dark) SetBit(x, y, canvas.data(), LCD_CANVAS_SIZE);
      SetPixel(x, y, fb16.data(), LCD_FB_SIZE_GTYPE, dark);
      SetPixel_4bit(x, y, fb4.data(), LCD_FB_SIZE_4BIT, dark);
    }
  for (auto* data : {&canvas, &fb16, &fb4}) {
    SCOPED_TRACE(data->size());
    ASSERT_TRUE(write_file("/tmp/fb", std::string(data->begin(), data->end())));
    EXPECT_EQ(0, shell(kTool + " /tmp/fb /tmp/fb.png"));
    std::vector<uint8_t> gray;
    int w = 0, h = 0;
    ASSERT_TRUE(read_png("/tmp/fb.png", &gray, &w, &h));
    EXPECT_EQ(std::make_pair(480, 272), std::make_pair(w, h));
    EXPECT_EQ(want, gray);
  }
}

TEST(FbPng, RefusesOtherSizesAndPaths) {
  std::vector<unsigned char> data(1000, 0);
  std::vector<uint8_t> gray;
  int w = 0, h = 0;
  EXPECT_EQ(-1, fbpng_decode(data.data(), data.size(), &gray, &w, &h));
  EXPECT_EQ(-1, fbpng_decode(nullptr, LCD_CANVAS_SIZE, &gray, &w, &h));
  EXPECT_EQ(-1, fbpng_decode_file("/tmp/missing", &gray, &w, &h));
  EXPECT_EQ(-1, fbpng_write_gray(data.data(), 0, 2, "/tmp/x.png"));
  EXPECT_EQ(-1, fbpng_write_gray(data.data(), 3, 2, "/no/such/dir/x.png"));
  ASSERT_TRUE(write_file("/tmp/bad", "short"));
  EXPECT_EQ(1, shell(kTool + " /tmp/bad /tmp/bad.png 2>/dev/null"));
  EXPECT_EQ(2, shell(kTool + " 2>/dev/null"));
}

}  // namespace
