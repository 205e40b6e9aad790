// Framebuffer device /dev/fb0: screen information.
//
// On a character device the requests are the kernel's FBIOGET_FSCREENINFO and
// FBIOGET_VSCREENINFO. On a regular file (the simulated phone) the file is the
// framebuffer memory: the fixed information gives the file's size as the
// memory length, the variable information a 480 x 272 screen whose depth
// follows from that size (16 bits for 261120 bytes or more, else 4). A file
// "<device path>.fail" beside it makes a request fail when it holds a line
// "fscreeninfo" or "vscreeninfo".
#pragma once

#include <linux/fb.h>

// 0, or -1 (errno set).
int plat_fb_get_fixed(int fd, struct fb_fix_screeninfo* fix);
int plat_fb_get_variable(int fd, struct fb_var_screeninfo* var);
