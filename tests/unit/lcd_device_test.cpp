#include <dirent.h>
#include <gtest/gtest.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "lcd/lcd_device.h"
#include "lcd/lcd_draw.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

namespace {

const char kFb[] = "/dev/fb0";
const char kRefresh[] = "/proc/glcd/refresh";
const char kHwver[] = "/proc/misc/hwver";
const char kGtype[] = "59.0.0.1.0.0.0.0\n";
const char kOther[] = "58.0.0.1.0.0.0.0\n";

// The layer's state lives for the process: each case that starts it runs in
// a child of its own, on a fresh simulated framebuffer.
void phone(const char* hwver, size_t fb_size, unsigned char fill = 0x5A) {
  ASSERT_EQ(0, shell("mkdir -p /proc/misc /proc/glcd && rm -f /dev/fb0.fail"));
  ASSERT_TRUE(write_file(kHwver, hwver));
  ASSERT_TRUE(write_file(kRefresh, ""));
  ASSERT_TRUE(write_file(kFb, std::string(fb_size, static_cast<char>(fill))));
}

int failures() { return ::testing::Test::HasFailure() ? 1 : 0; }

int open_fds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d && readdir(d)) n++;
  if (d) closedir(d);
  return n;
}

// Pixels of the 16-bit panel file that are not 0x0000 where dark(x, y) nor
// 0xFFFF elsewhere.
int wrong_pixels16(const std::function<bool(int, int)>& dark) {
  std::string fb = read_file(kFb);
  if (fb.size() != LCD_FB_SIZE_GTYPE) return -1;
  int wrong = 0;
  for (int y = 0; y < 272; y++)
    for (int x = 0; x < 480; x++) {
      size_t off = (static_cast<size_t>(y) * 480 + x) * 2;
      char v = dark(x, y) ? '\0' : '\xFF';
      wrong += fb[off] != v || fb[off + 1] != v;
    }
  return wrong;
}

// Runs fn in a child of its own, on a fresh simulated panel, once lcd_init
// has started the layer there.
int on_panel(const char* hwver, size_t fb_size, const std::function<void()>& fn) {
  phone(hwver, fb_size);
  return run_in_child([&] {
    if (lcd_init() != 0) return 2;
    fn();
    return failures();
  });
}

// Rows: the file's text (nullptr: no file), the panel found, the lines logged
// at error level (none: nothing logged at any level).
TEST(LcdDevice, PanelDetectionFromTheHardwareVersion) {
  const std::vector<std::tuple<const char*, int, std::vector<std::string>>> cases = {
      {"59.0.0.1.0.0.0.0\n", 1, {}},
      {"59.0.0.17.0.0.0.0\n", 1, {}},
      {"1.2.3.4.5.6.7.9\n", 1, {}},
      {"58.0.0.1.0.0.0.0\n", 0, {}},
      {"59.0.0.2.0.0.0.0\n", 0, {}},
      {"59.0.0", 0, {}},  // fields that do not parse stay 0
      {"x59.0.0.1.0.0.0.1", 0, {}},
      {"", 0, {"fgets cat /proc/misc/hwver  failed."}},
      {nullptr, 0, {"fgets cat /proc/misc/hwver  failed."}},
      {"\n", 0, {"lcdGetGtype  failed."}},
  };
  ASSERT_EQ(0, shell("mkdir -p /proc/misc"));
  for (const auto& [hwver, gtype, logged] : cases) {
    SCOPED_TRACE(hwver ? hwver : "(missing)");
    unlink(kHwver);
    ASSERT_TRUE(!hwver || write_file(kHwver, hwver));
    SyslogCapture cap;
    EXPECT_EQ(gtype, lcdGetGtype());
    EXPECT_EQ(logged, cap.messages(logged.empty() ? -1 : LOG_ERR));
  }
}

// The first refresh converts the whole screen; later ones only what was marked.
TEST(LcdDevice, RefreshAndRedrawRegion) {
  EXPECT_EQ(0, on_panel(kGtype, LCD_FB_SIZE_GTYPE, [] {
    unsigned char* canvas = lcd_get_canvas();
    memset(canvas, 0, LCD_CANVAS_SIZE);
    lcd_draw_point(0, 0, 1);
    lcd_draw_point(479, 271, 1);
    lcd_fill_color(100, 100, 50, 20, 1);
    EXPECT_EQ(0, lcd_refresh());
    EXPECT_EQ(0, wrong_pixels16([](int x, int y) {
      return (x == 0 && y == 0) || (x == 479 && y == 271) || (x >= 100 && x < 150 && y >= 100 && y < 120);
    }));
    EXPECT_EQ(0, memcmp(read_file(kFb).data(), lcd_get_staging_image(), LCD_FB_SIZE_GTYPE));
    EXPECT_EQ("1", read_file(kRefresh));
    uint16_t b[4];
    lcd_get_redraw(&b[0], &b[1], &b[2], &b[3]);
    EXPECT_EQ((std::vector<uint16_t>{0, 0, 0, 0}), std::vector<uint16_t>(b, b + 4));

    memset(canvas, 0, LCD_CANVAS_SIZE);
    lcd_set_redraw(0, 0, 479, 271);
    EXPECT_EQ(0, lcd_refresh());  // all light now
    // Everything goes dark on the canvas; only the marked region reaches the glass.
    memset(canvas, 0xFF, LCD_CANVAS_SIZE);
    lcd_set_redraw(10, 10, 5, 20);  // right bound left of the left bound: ignored
    lcd_set_redraw(100, 100, 200, 120);
    lcd_set_redraw(50, 130, 60, 125);  // bottom above the top: ignored
    EXPECT_EQ(0, lcd_refresh());
    EXPECT_EQ(0, wrong_pixels16([](int x, int y) { return x <= 200 && y <= 120; }));
    // Nothing marked: only pixel (0, 0) is converted.
    memset(canvas, 0, LCD_CANVAS_SIZE);
    EXPECT_EQ(0, lcd_refresh());
    EXPECT_EQ(0, wrong_pixels16([](int x, int y) { return (x > 0 || y > 0) && x <= 200 && y <= 120; }));
  }));
}

TEST(LcdDevice, FailedStartLeavesTheFramebufferAndStillRefreshes) {
  struct Case {
    const char* name;
    const char* fault;  // contents of /dev/fb0.fail, or nullptr
    size_t fb_size;     // 0 with no fault: empty file (cannot be mapped); SIZE_MAX: no device
    std::vector<std::string> messages;
  } cases[] = {
      {"no device", nullptr, SIZE_MAX, {"Error opening /dev/fb0\n", "Unable to mmap framebuffer\n"}},
      {"fixed info", "fscreeninfo\n", LCD_FB_SIZE_GTYPE,
       {"error: ioctl(FBIOGET_FSCREENINFO) failed\n", "Unable to mmap framebuffer\n"}},
      {"variable info", "vscreeninfo\n", LCD_FB_SIZE_GTYPE,
       {"error: ioctl(FBIOGET_VSCREENINFO) failed\n", "Unable to mmap framebuffer\n"}},
      {"mapping", nullptr, 0, {"error: unable to mmap framebuffer\n", "Unable to mmap framebuffer\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    phone(kGtype, c.fb_size == SIZE_MAX ? 0 : c.fb_size, 0x33);
    if (c.fb_size == SIZE_MAX) unlink(kFb);
    ASSERT_TRUE(!c.fault || write_file("/dev/fb0.fail", c.fault));
    std::string before = file_exists(kFb) ? read_file(kFb) : "";
    SyslogCapture cap;
    EXPECT_EQ(0, run_in_child([&] {
      // The log's socket is opened now, not by the first failure: the count
      // then holds whether or not an earlier test has logged.
      openlog("", LOG_NDELAY, LOG_USER);
      int fds = open_fds();
      EXPECT_EQ(-1, lcd_init());
      EXPECT_EQ(fds, open_fds());  // the descriptor is closed again
      EXPECT_EQ(nullptr, lcd_get_canvas());
      EXPECT_EQ(nullptr, lcd_get_framebuffer());
      lcd_fill_color(0, 0, 480, 272, 1);  // drawing into no canvas does nothing
      EXPECT_EQ(0, lcd_refresh());
      return failures();
    }));
    EXPECT_EQ(c.messages, cap.messages(LOG_ERR));
    EXPECT_EQ(before, file_exists(kFb) ? read_file(kFb) : "");
    EXPECT_EQ("1", read_file(kRefresh));
  }
}

// The refresh request fails, with its line, when the driver's file is missing
// or refuses the write (a kernel file that takes no writes).
TEST(LcdDevice, RefreshFileFailures) {
  for (auto [link, message] : {std::pair<const char*, const char*>{nullptr, "open glcd refresh procfs device failed."},
                               {"/proc/self/attr/exec", "WRITE GLCD_REFRESH_DEV failed."}}) {
    ASSERT_EQ(0, shell("mkdir -p /proc/glcd && rm -rf /proc/glcd/refresh"));
    ASSERT_EQ(0, link ? symlink(link, kRefresh) : 0);
    SyslogCapture cap;
    EXPECT_EQ(-1, lcd_devctrl_refresh());
    EXPECT_EQ(std::vector<std::string>{message}, cap.messages(LOG_ERR));
  }
  unlink(kRefresh);
}

TEST(LcdDevice, SmallerFramebufferGetsWhatFits) {
  SyslogCapture cap;
  EXPECT_EQ(0, on_panel(kGtype, 1000, [] {
    EXPECT_EQ(1000u, lcd_get_framebuffer_length());
    memset(lcd_get_canvas(), 0xFF, LCD_CANVAS_SIZE);
    EXPECT_EQ(0, lcd_refresh());
  }));
  EXPECT_EQ(std::string(1000, '\0'), read_file(kFb));
  EXPECT_EQ(std::vector<std::string>{"framebuffer holds 1000 bytes, the panel image 261120: refreshes copy only "
                                     "the first 1000\n"},
            cap.messages(LOG_ERR));
}

}  // namespace
