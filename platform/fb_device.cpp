#include "platform/fb_device.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "platform/device_file.h"

namespace {

// 1 when the emulation's fault file names this request.
int fault_requested(int fd, const char* request) {
  char path[512];
  if (plat_fd_path(fd, path, sizeof path - 8) != 0) return 0;
  strcat(path, ".fail");
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  char line[64];
  int found = 0;
  while (!found && fgets(line, sizeof line, f)) {
    line[strcspn(line, "\r\n")] = '\0';
    found = strcmp(line, request) == 0;
  }
  fclose(f);
  return found;
}

}  // namespace

int plat_fb_get_fixed(int fd, struct fb_fix_screeninfo* fix) {
  if (!fix) {
    errno = EFAULT;
    return -1;
  }
  if (!plat_is_emulated(fd)) return ioctl(fd, FBIOGET_FSCREENINFO, fix) < 0 ? -1 : 0;
  if (fault_requested(fd, "fscreeninfo")) {
    errno = EIO;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  memset(fix, 0, sizeof *fix);
  snprintf(fix->id, sizeof fix->id, "simfb");
  fix->smem_len = static_cast<__u32>(st.st_size);
  fix->type = FB_TYPE_PACKED_PIXELS;
  fix->visual = FB_VISUAL_TRUECOLOR;
  fix->line_length = st.st_size >= 261120 ? 960 : 240;
  return 0;
}

int plat_fb_get_variable(int fd, struct fb_var_screeninfo* var) {
  if (!var) {
    errno = EFAULT;
    return -1;
  }
  if (!plat_is_emulated(fd)) return ioctl(fd, FBIOGET_VSCREENINFO, var) < 0 ? -1 : 0;
  if (fault_requested(fd, "vscreeninfo")) {
    errno = EIO;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  memset(var, 0, sizeof *var);
  var->xres = var->xres_virtual = 480;
  var->yres = var->yres_virtual = 272;
  var->bits_per_pixel = st.st_size >= 261120 ? 16 : 4;
  return 0;
}
