// The drawing and refresh work of one progress update: the whole screen
// repainted (picture, bar, percentage) and copied out twice; and its parts.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "lcd/lcd_bits.h"
#include "lcd/lcd_device.h"
#include "lcd/lcd_draw.h"
#include "lcd/reference/lcd_reference.h"

namespace {

std::vector<unsigned char> g_fb(LCD_FB_SIZE_GTYPE);

void setup(int gtype) {
  if (lcd_init_canvas() != 0) abort();
  g_is_Gtype_basicui = static_cast<unsigned char>(gtype);
}

// A progress screen: picture, bar outline and fill, percentage, whole-screen
// refresh into the framebuffer buffer.
__attribute__((noinline)) void repaint_progress_screen(int percent) {
  lcd_draw_icon(0, 0, LCD_WIDTH, LCD_HEIGHT, g_image_upgrading, LCD_CANVAS_SIZE);
  lcd_draw_rect(89, 179, 391, 201, 1);
  lcd_fill_color(90, 180, 300, 21, 0);
  lcd_fill_color(90, 180, static_cast<uint16_t>(3 * percent), 21, 1);
  char text[16];
  snprintf(text, sizeof text, "%d%%", percent);
  text_state st = {TEXT_ALIGN_CENTER, TEXT_NO_CURSOR, 0, 0};
  lcd_fill_color(0, 210, 480, 24, 0);
  lcd_draw_text(&st, 0, 210, 480, 24, text, 24, 1);
  lcd_set_redraw(0, 0, LCD_WIDTH - 1, LCD_HEIGHT - 1);
  lcd_copy_framebuffer(g_fb.data(), lcd_get_canvas());
}

__attribute__((noinline)) void repaint_progress_screen_reference(unsigned char* canvas, unsigned char* image,
                                                                 int percent) {
  ref_draw_icon(canvas, 0, 0, LCD_WIDTH, LCD_HEIGHT, g_image_upgrading, LCD_CANVAS_SIZE);
  ref_draw_rect(canvas, 89, 179, 391, 201, 1);
  ref_fill_color(canvas, 90, 180, 300, 21, 0);
  ref_fill_color(canvas, 90, 180, static_cast<uint16_t>(3 * percent), 21, 1);
  char text[16];
  snprintf(text, sizeof text, "%d%%", percent);
  text_state st = {TEXT_ALIGN_CENTER, TEXT_NO_CURSOR, 0, 0};
  ref_fill_color(canvas, 0, 210, 480, 24, 0);
  ref_draw_text(canvas, &st, 0, 210, 480, 24, text, 24, 1);
  ref_convert(image, canvas, 0, 0, LCD_WIDTH - 1, LCD_HEIGHT - 1, 1);
  memcpy(g_fb.data(), image, LCD_FB_SIZE_GTYPE);
  memcpy(g_fb.data(), image, LCD_FB_SIZE_GTYPE);
}

void Repaint(benchmark::State& state) {
  setup(static_cast<int>(state.range(0)));
  int percent = 15;
  for (auto _ : state) {
    repaint_progress_screen(percent);
    percent = percent == 100 ? 15 : percent + 1;
    benchmark::DoNotOptimize(g_fb.data());
  }
}
BENCHMARK(Repaint)->Arg(1)->Arg(0);

void RepaintReference(benchmark::State& state) {
  std::vector<unsigned char> canvas(LCD_CANVAS_SIZE), image(LCD_IMAGE_SIZE);
  int percent = 15;
  for (auto _ : state) {
    repaint_progress_screen_reference(canvas.data(), image.data(), percent);
    percent = percent == 100 ? 15 : percent + 1;
    benchmark::DoNotOptimize(g_fb.data());
  }
}
BENCHMARK(RepaintReference);

// The two block copies alone: nothing marked converts one pixel.
void FramebufferCopies(benchmark::State& state) {
  setup(1);
  for (auto _ : state) {
    lcd_copy_framebuffer(g_fb.data(), lcd_get_canvas());
    benchmark::DoNotOptimize(g_fb.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * LCD_FB_SIZE_GTYPE);
}
BENCHMARK(FramebufferCopies);

void ConvertFullScreen(benchmark::State& state) {
  setup(1);
  std::vector<unsigned char> image(LCD_IMAGE_SIZE);
  int gtype = static_cast<int>(state.range(0));
  for (auto _ : state) {
    lcd_convert_region(image.data(), LCD_IMAGE_SIZE, lcd_get_canvas(), LCD_CANVAS_SIZE, 0, 0, LCD_WIDTH - 1,
                       LCD_HEIGHT - 1, gtype);
    benchmark::DoNotOptimize(image.data());
  }
}
BENCHMARK(ConvertFullScreen)->Arg(1)->Arg(0);

void PictureIcon(benchmark::State& state) {
  setup(1);
  uint16_t x = static_cast<uint16_t>(state.range(0));
  for (auto _ : state) {
    lcd_draw_icon(x, 0, LCD_WIDTH, LCD_HEIGHT, g_image_upgrading, LCD_CANVAS_SIZE);
    benchmark::DoNotOptimize(lcd_get_canvas());
  }
}
BENCHMARK(PictureIcon)->Arg(0)->Arg(3);

void TextLine(benchmark::State& state) {
  setup(1);
  text_state st = {TEXT_ALIGN_LEFT, 20, 1, 1};
  for (auto _ : state) {
    lcd_draw_text(&st, 5, 100, 470, 24, "Upgrading partition 3 of 7, please wait", 24, 1);
    benchmark::DoNotOptimize(lcd_get_canvas());
  }
}
BENCHMARK(TextLine);

}  // namespace

BENCHMARK_MAIN();
