#include "lcd/lcd_device.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include "common/unique_fd.h"
#include "lcd/lcd_bits.h"
#include "log/rl_log.h"
#include "platform/fb_device.h"

unsigned char g_is_Gtype_basicui = 0;

namespace {

const char kFbDevice[] = "/dev/fb0";
const char kRefreshFile[] = "/proc/glcd/refresh";

// The framebuffer: opened and mapped at most once per process.
int g_fb_fd = -1;
unsigned char* g_fb_addr = nullptr;
size_t g_fb_len = 0;

unsigned char* g_canvas = nullptr;
unsigned char g_staging[LCD_IMAGE_SIZE];
// Which canvas bytes the staging image already holds: a progress update
// repaints the whole screen, but only a few bytes of it change.
lcd_convert_cache g_staging_cache;

// The first refresh converts the whole screen.
struct redraw_region {
  uint16_t x1, y1, x2, y2;
};
redraw_region g_redraw = {0, 0, LCD_WIDTH - 1, LCD_HEIGHT - 1};

uint32_t panel_image_size() { return g_is_Gtype_basicui ? LCD_FB_SIZE_GTYPE : LCD_FB_SIZE_4BIT; }

int open_framebuffer() {
  unique_fd fd(open(kFbDevice, O_RDWR | O_SYNC));
  if (!fd.valid()) {
    rl_log_err("Error opening /dev/fb0\n");
    return -1;
  }
  struct fb_fix_screeninfo fix;
  if (plat_fb_get_fixed(fd.get(), &fix) != 0) {
    rl_log_err("error: ioctl(FBIOGET_FSCREENINFO) failed\n");
    return -1;
  }
  // Fetched as the driver expects; the geometry is fixed at 480 x 272.
  struct fb_var_screeninfo var;
  if (plat_fb_get_variable(fd.get(), &var) != 0) {
    rl_log_err("error: ioctl(FBIOGET_VSCREENINFO) failed\n");
    return -1;
  }
  size_t len = fix.smem_len;
  void* addr = len ? mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0) : MAP_FAILED;
  if (addr == MAP_FAILED) {
    rl_log_err("error: unable to mmap framebuffer\n");
    return -1;
  }
  g_fb_addr = static_cast<unsigned char*>(addr);
  g_fb_len = len;
  g_fb_fd = fd.release();
  return 0;
}

}  // namespace

int devctrl_open_lcd(unsigned char** fb_addr) {
  if (!g_fb_addr && open_framebuffer() != 0) return -1;
  if (fb_addr) *fb_addr = g_fb_addr;
  return 0;
}

void devctrl_close_lcd(void) {
  if (g_fb_addr) munmap(g_fb_addr, g_fb_len);
  g_fb_addr = nullptr;
  g_fb_len = 0;
  if (g_fb_fd >= 0) close(g_fb_fd);
  g_fb_fd = -1;
}

int devctrl_refresh_lcd(void) {
  unique_fd fd(open(kRefreshFile, O_RDWR));
  if (!fd.valid()) {
    rl_log_err("open glcd refresh procfs device failed.");
    return -1;
  }
  if (write(fd.get(), "1", 1) != 1) {
    rl_log_err("WRITE GLCD_REFRESH_DEV failed.");
    return -1;
  }
  return 0;
}

int devctrl_refresh_lcd_by_shell(void) {
  int status = system("echo \"1\" >/proc/glcd/refresh");
  return (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : -1;
}

int devctrl_write_lcd(const unsigned char* buf, size_t len) {
  if (!buf) return -1;
  unique_fd fd(open(kFbDevice, O_RDWR));
  if (!fd.valid()) {
    rl_log_err("Error opening /dev/fb0\n");
    return -1;
  }
  ssize_t n = write(fd.get(), buf, len);
  return n < 0 ? -1 : static_cast<int>(n);
}

int GetCmdResult(const char* cmd, char* buf, int size) {
  if (!cmd || !buf || size <= 0) return -1;
  FILE* pipe = popen(cmd, "r");
  if (!pipe) {
    rl_log_err("fopen %s failed.", cmd);
    return -1;
  }
  if (!fgets(buf, size, pipe)) {
    rl_log_err("fgets %s failed.", cmd);
    pclose(pipe);
    return -1;
  }
  pclose(pipe);
  size_t len = strlen(buf);
  if (len && buf[len - 1] == '\n') buf[len - 1] = '\0';
  return 0;
}

int lcdGetGtype(void) {
  char cmd[256] = {0};
  char result[256] = {0};
  int f[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  snprintf(cmd, sizeof cmd, "cat /proc/misc/hwver ");
  if (GetCmdResult(cmd, result, sizeof result) == 0) {
    int n = sscanf(result, "%d.%d.%d.%d.%d.%d.%d.%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7]);
    if (n < 0) {
      rl_log_err("lcdGetGtype  failed.");
      return 0;
    }
  }
  // Odd last field, or board 59 with revision 1 in the low four bits.
  return ((f[7] & 1) || (f[0] == 59 && (f[3] & 0xF) == 1)) ? 1 : 0;
}

int lcd_init(void) {
  unsigned char* fb = nullptr;
  if (devctrl_open_lcd(&fb) != 0) {
    rl_log_err("Unable to mmap framebuffer\n");
    return -1;
  }
  g_is_Gtype_basicui = static_cast<unsigned char>(lcdGetGtype());
  if (g_fb_len < panel_image_size())
    rl_log_err("framebuffer holds %u bytes, the panel image %u: refreshes copy only the first %u\n",
               static_cast<unsigned>(g_fb_len), panel_image_size(), static_cast<unsigned>(g_fb_len));
  return lcd_init_canvas();
}

int lcd_init_canvas(void) {
  if (!g_canvas) g_canvas = new (std::nothrow) unsigned char[LCD_CANVAS_SIZE];
  return g_canvas ? 0 : -1;
}

void lcd_denit(void) {
  delete[] g_canvas;
  g_canvas = nullptr;
}

void lcd_set_redraw(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2) {
  if (x2 < x1 || y2 < y1) return;
  if (x1 < g_redraw.x1) g_redraw.x1 = x1;
  if (y1 < g_redraw.y1) g_redraw.y1 = y1;
  if (x2 > g_redraw.x2) g_redraw.x2 = x2;
  if (y2 > g_redraw.y2) g_redraw.y2 = y2;
}

void lcd_get_redraw(uint16_t* x1, uint16_t* y1, uint16_t* x2, uint16_t* y2) {
  if (x1) *x1 = g_redraw.x1;
  if (y1) *y1 = g_redraw.y1;
  if (x2) *x2 = g_redraw.x2;
  if (y2) *y2 = g_redraw.y2;
  g_redraw = {0, 0, 0, 0};
}

void lcd_copy_framebuffer(unsigned char* fb, const unsigned char* canvas) {
  if (!fb || !canvas) return;
  uint16_t x1, y1, x2, y2;
  lcd_get_redraw(&x1, &y1, &x2, &y2);
  lcd_convert_region(g_staging, LCD_IMAGE_SIZE, canvas, LCD_CANVAS_SIZE, x1, y1, x2, y2, g_is_Gtype_basicui,
                     &g_staging_cache);
  size_t len = panel_image_size();
  // A driver that offers less memory than the panel image gets what fits.
  if (fb == g_fb_addr && len > g_fb_len) len = g_fb_len;
  memcpy(fb, g_staging, len);
  memcpy(fb, g_staging, len);
}

int lcd_devctrl_refresh(void) { return devctrl_refresh_lcd(); }

int lcd_refresh(void) {
  lcd_copy_framebuffer(g_fb_addr, g_canvas);
  return lcd_devctrl_refresh();
}

void SetPixel(uint16_t x, uint16_t y, unsigned char* image, uint32_t size, int color) {
  if (!image) return;
  uint32_t offset = (static_cast<uint32_t>(y) * LCD_WIDTH + x) * 2;
  if (offset >= size) {
    rl_log_err("%s failed: byte_offset = %d, size = %d", "SetPixel", static_cast<int>(offset), static_cast<int>(size));
    return;
  }
  unsigned char v = color ? 0x00 : 0xFF;
  image[offset] = v;
  image[offset + 1 < size ? offset + 1 : offset] = v;
}

void SetPixel_4bit(uint16_t x, uint16_t y, unsigned char* image, uint32_t size, int color) {
  if (!image) return;
  uint32_t n = static_cast<uint32_t>(y) * LCD_WIDTH + x;
  uint32_t offset = n * 4 / 8;
  unsigned shift = (n * 4) % 8;
  if (offset >= size) {
    rl_log_err("%s failed: byte_offset = %d, size = %d", "SetPixel_4bit", static_cast<int>(offset),
               static_cast<int>(size));
    return;
  }
  unsigned char nibble = color ? 0x0 : 0xF;
  image[offset] = static_cast<unsigned char>((image[offset] & ~(0xF << shift)) | (nibble << shift));
}

int test_bit(uint32_t n, const unsigned char* bytes, uint32_t size) {
  if (!bytes || n / 8 >= size) return 0;
  return (bytes[n / 8] >> (n % 8)) & 1;
}

void SetBitHByte(uint32_t n, unsigned char* bytes, uint32_t size) {
  if (!bytes || n / 8 >= size) return;
  bytes[n / 8] = static_cast<unsigned char>(bytes[n / 8] | (1u << (n % 8)));
}

void ClearBitHByte(uint32_t n, unsigned char* bytes, uint32_t size) {
  if (!bytes || n / 8 >= size) return;
  bytes[n / 8] = static_cast<unsigned char>(bytes[n / 8] & ~(1u << (n % 8)));
}

int GetBitHByte(uint32_t n, const unsigned char* bytes, uint32_t size) {
  if (!bytes) return 0;
  if (n / 8 >= size) {
    rl_log_err("%s failed: byte_offset = %d, size = %d", "GetBitHByte", static_cast<int>(n / 8),
               static_cast<int>(size));
    return 0;
  }
  return (bytes[n / 8] >> (n % 8)) & 1;
}

namespace {
inline uint32_t bit_number(uint16_t x, uint16_t y) { return static_cast<uint32_t>(y) * LCD_WIDTH + x; }
}  // namespace

void SetBit(uint16_t x, uint16_t y, unsigned char* bytes, uint32_t size) { SetBitHByte(bit_number(x, y), bytes, size); }
void ClearBit(uint16_t x, uint16_t y, unsigned char* bytes, uint32_t size) {
  ClearBitHByte(bit_number(x, y), bytes, size);
}
int GetBit(uint16_t x, uint16_t y, const unsigned char* bytes, uint32_t size) {
  return GetBitHByte(bit_number(x, y), bytes, size);
}

unsigned char* lcd_get_canvas(void) { return g_canvas; }
const unsigned char* lcd_get_staging_image(void) { return g_staging; }
unsigned char* lcd_get_framebuffer(void) { return g_fb_addr; }
size_t lcd_get_framebuffer_length(void) { return g_fb_len; }
int lcd_is_gtype(void) { return g_is_Gtype_basicui; }
