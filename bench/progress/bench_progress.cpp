// Calls CBasicUI::SetUpgradingProgressBar N times on a regular-file
// framebuffer and prints the wall time per call. Run it inside a simulated
// device root (run.sh does, under callgrind): it creates the phone's /dev/fb0,
// /proc/misc/hwver and /proc/glcd/refresh as plain files.
//
//   bench_progress [N]
//
// The calls are made by progress_updates(), so that
//   valgrind --tool=callgrind --toggle-collect='progress_updates(CBasicUI&, int)'
// counts exactly N updates.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "basicui/basicui.h"
#include "lcd/lcd_device.h"

namespace {

bool write_whole(const char* path, const void* data, size_t len) {
  FILE* f = fopen(path, "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, len, f) == len;
  return fclose(f) == 0 && ok;
}

// Refuses anything but a regular file (or nothing) at /dev/fb0: a real
// framebuffer means this is not a simulated root.
bool prepare_panel() {
  struct stat st;
  if (stat("/dev/fb0", &st) == 0 && !S_ISREG(st.st_mode)) {
    fprintf(stderr, "bench_progress: /dev/fb0 is a device; run me inside a simulated root\n");
    return false;
  }
  mkdir("/proc/misc", 0755);
  mkdir("/proc/glcd", 0755);
  static unsigned char zeros[LCD_FB_SIZE_GTYPE];
  const char hwver[] = "59.0.0.1.0.0.0.0\n";
  return write_whole("/dev/fb0", zeros, sizeof zeros) && write_whole("/proc/misc/hwver", hwver, strlen(hwver)) &&
         write_whole("/proc/glcd/refresh", "", 0);
}

}  // namespace

__attribute__((noinline)) void progress_updates(CBasicUI& ui, int n) {
  for (int i = 0; i < n; ++i) ui.SetUpgradingProgressBar(15 + i % 86);
}

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 200;
  if (n <= 0 || !prepare_panel()) return 1;
  CBasicUI ui;
  ui.Init();
  if (!lcd_get_canvas()) {
    fprintf(stderr, "bench_progress: the display did not start\n");
    return 1;
  }
  ui.SetUpgradingProgressBar(0);  // the first refresh converts everything anyway

  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  progress_updates(ui, n);
  clock_gettime(CLOCK_MONOTONIC, &end);
  double ns = (end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec);
  printf("%d progress updates, %.1f us per update\n", n, ns / n / 1000.0);
  return 0;
}
