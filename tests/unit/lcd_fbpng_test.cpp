#include <dirent.h>
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "lcd/lcd_device.h"
#include "tests/support/files.h"
#include "hostlib/fbpng.h"
#include "tests/support/pbm.h"

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

// Names in a folder that end with `suffix`, without it.
std::set<std::string> names_ending(const std::string& dir, const std::string& suffix) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.insert(name.substr(0, name.size() - suffix.size()));
  }
  closedir(d);
  return names;
}

// docs/screens.md shows the golden pictures of tests/golden as PNG copies in
// docs/screens (Markdown viewers do not show PBM files): every golden has its
// copy, every copy shows its golden's pixels, and the page shows copies only.
// With UPG_UPDATE_GOLDEN=1 the copies are written into /tmp/screens instead
// (the target update_golden_screens does that).
TEST(FbPng, DocsShowEachGoldenAsAPngCopy) {
  const std::string golden_dir = std::string(UPG_SOURCE_DIR) + "/tests/golden";
  const std::string png_dir = std::string(UPG_SOURCE_DIR) + "/docs/screens";
  const bool update = getenv("UPG_UPDATE_GOLDEN") && strcmp(getenv("UPG_UPDATE_GOLDEN"), "1") == 0;
  const std::set<std::string> goldens = names_ending(golden_dir, ".pbm");
  ASSERT_FALSE(goldens.empty()) << golden_dir;
  if (update) mkdir("/tmp/screens", 0755);
  for (const std::string& name : goldens) {
    SCOPED_TRACE(name);
    int w = 0, h = 0, png_w = 0, png_h = 0;
    std::vector<uint8_t> golden = pbm_read(golden_dir + "/" + name + ".pbm", &w, &h), copy;
    ASSERT_FALSE(golden.empty());
    if (update) {
      EXPECT_EQ(0, fbpng_write_gray(golden.data(), w, h, ("/tmp/screens/" + name + ".png").c_str()));
      continue;
    }
    ASSERT_TRUE(read_png(png_dir + "/" + name + ".png", &copy, &png_w, &png_h))
        << "no readable docs/screens/" << name << ".png: make the copies again (docs/screens.md)";
    EXPECT_EQ(std::make_pair(w, h), std::make_pair(png_w, png_h));
    EXPECT_TRUE(golden == copy) << "docs/screens/" << name << ".png is older than its golden: make the copies again";
  }
  if (update) return;
  EXPECT_EQ(goldens, names_ending(png_dir, ".png")) << "docs/screens holds a copy of no golden";
  // Every picture of the page is one of the copies.
  const std::string page = read_file(std::string(UPG_SOURCE_DIR) + "/docs/screens.md");
  const std::regex picture(R"(!\[[^\]]*\]\(([^)]*)\))");
  int shown = 0;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), picture); it != std::sregex_iterator(); ++it, ++shown) {
    const std::string target = (*it)[1];
    EXPECT_EQ(0u, target.rfind("screens/", 0)) << target;
    EXPECT_TRUE(target.size() > 4 && goldens.count(target.substr(8, target.size() - 12)) &&
                target.compare(target.size() - 4, 4, ".png") == 0)
        << target;
  }
  EXPECT_GT(shown, 0);
}

}  // namespace
