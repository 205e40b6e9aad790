// The LCD panel behind /dev/fb0 and the one-bit canvas every drawing works on.
//
// Pixel (x, y) of the canvas is bit n = y * 480 + x, stored in byte n / 8 at
// bit n % 8 (bit 0 is the leftmost pixel of the byte); colour 1 is dark ink,
// 0 light paper. A refresh converts the redraw region of the canvas into the
// panel's own format in a static staging image, copies that image into the
// mapped framebuffer and asks the LCD driver to refresh the glass.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr int LCD_WIDTH = 480;
constexpr int LCD_HEIGHT = 272;
constexpr uint32_t LCD_CANVAS_SIZE = 16320;     // 480 * 272 / 8, one bit per pixel
constexpr uint32_t LCD_IMAGE_SIZE = 261120;     // staging image: 480 * 272 * 2
constexpr uint32_t LCD_FB_SIZE_GTYPE = 261120;  // G-type panel, 16 bits per pixel
constexpr uint32_t LCD_FB_SIZE_4BIT = 65280;    // other panel, 4 bits per pixel

// 1 when the fitted panel is the G-type panel (16-bit pixels), 0 otherwise.
// Set once by lcd_init.
extern unsigned char g_is_Gtype_basicui;

// Maps the framebuffer, detects the panel and allocates the canvas (its
// content is not cleared). 0, or -1 when the framebuffer cannot be mapped or
// the canvas cannot be allocated.
int lcd_init(void);
// Allocates the canvas alone, without a framebuffer (benchmarks and tools that
// draw without a panel). Keeps an existing canvas. 0, or -1.
int lcd_init_canvas(void);
// Frees the canvas; later drawing has no effect. The framebuffer stays mapped.
void lcd_denit(void);
// Converts the redraw region, copies the image into the framebuffer and asks
// the driver to refresh: the result of devctrl_refresh_lcd (0 or -1).
int lcd_refresh(void);

// Widens the redraw region to include (x1, y1)-(x2, y2), inclusive corners.
// Ignored unless x2 >= x1 and y2 >= y1.
void lcd_set_redraw(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2);
// Hands out the redraw region and resets all four bounds to 0.
void lcd_get_redraw(uint16_t* x1, uint16_t* y1, uint16_t* x2, uint16_t* y2);

// Converts the redraw region of the canvas into the staging image and copies
// the staging image twice into the framebuffer (261120 bytes on the G-type
// panel, 65280 otherwise). Does nothing when either address is null. When fb
// is this module's mapping the copy never runs past the mapped length.
void lcd_copy_framebuffer(unsigned char* fb, const unsigned char* canvas);
// Forwards to devctrl_refresh_lcd.
int lcd_devctrl_refresh(void);

// Opens and maps /dev/fb0 once per process. Stores the mapping address through
// fb_addr when it is not null (also when the framebuffer was already mapped).
// 0, or -1 on failure.
int devctrl_open_lcd(unsigned char** fb_addr);
// Writes "1" to /proc/glcd/refresh. 0 or -1.
int devctrl_refresh_lcd(void);
// Unmaps and closes the framebuffer. Not used by the upgrade.
void devctrl_close_lcd(void);
// Asks for a refresh through the shell. Not used by the upgrade. 0 or -1.
int devctrl_refresh_lcd_by_shell(void);
// Writes a caller's buffer to /dev/fb0 with a plain write. Not used by the
// upgrade. The number of bytes written, or -1.
int devctrl_write_lcd(const unsigned char* buf, size_t len);

// 1 for the G-type panel, 0 otherwise, from "cat /proc/misc/hwver ".
int lcdGetGtype(void);
// Runs cmd through popen and reads one line of its output into buf (at most
// size - 1 characters, trailing newline removed). 0 or -1.
int GetCmdResult(const char* cmd, char* buf, int size);

// Write one pixel of the staging image (16-bit or 4-bit format). color 1 is
// dark. Nothing for a null image; an offset at or beyond size is logged.
void SetPixel(uint16_t x, uint16_t y, unsigned char* image, uint32_t size, int color);
void SetPixel_4bit(uint16_t x, uint16_t y, unsigned char* image, uint32_t size, int color);

// Bit n of a byte array (bit 0 of byte 0 first); 0 for a null array or a bit
// beyond size bytes.
int test_bit(uint32_t n, const unsigned char* bytes, uint32_t size);
// Bit y * 480 + x of a byte array with the layout of the canvas. An x beyond
// 479 lands in the following row; only the end of the array bounds the access.
void SetBit(uint16_t x, uint16_t y, unsigned char* bytes, uint32_t size);
void ClearBit(uint16_t x, uint16_t y, unsigned char* bytes, uint32_t size);
int GetBit(uint16_t x, uint16_t y, const unsigned char* bytes, uint32_t size);
// The same by bit number.
void SetBitHByte(uint32_t n, unsigned char* bytes, uint32_t size);
void ClearBitHByte(uint32_t n, unsigned char* bytes, uint32_t size);
int GetBitHByte(uint32_t n, const unsigned char* bytes, uint32_t size);

// The canvas (LCD_CANVAS_SIZE bytes), null before lcd_init or after lcd_denit.
unsigned char* lcd_get_canvas(void);
// The staging image (LCD_IMAGE_SIZE bytes, panel format).
const unsigned char* lcd_get_staging_image(void);
// The framebuffer mapping and its length (null and 0 while unmapped).
unsigned char* lcd_get_framebuffer(void);
size_t lcd_get_framebuffer_length(void);
// g_is_Gtype_basicui.
int lcd_is_gtype(void);
