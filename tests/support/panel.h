// The simulated phone's LCD for tests: a G-type framebuffer file and the
// kernel files the LCD layer reads and writes.
#pragma once

#include <sys/stat.h>

#include <string>

#include "lcd/lcd_device.h"
#include "tests/support/files.h"

// Lays out /proc/misc/hwver (a G-type panel, or the 4-bit one), /proc/glcd/refresh
// and /dev/fb0. True when every file was written.
inline bool make_simulated_panel(bool gtype = true) {
  mkdir("/proc/misc", 0755);
  mkdir("/proc/glcd", 0755);
  return write_file("/proc/misc/hwver", gtype ? "59.0.0.1.0.0.0.0\n" : "58.0.0.1.0.0.0.0\n") &&
         write_file("/proc/glcd/refresh", "") &&
         write_file("/dev/fb0", std::string(gtype ? LCD_FB_SIZE_GTYPE : LCD_FB_SIZE_4BIT, '\0'));
}
