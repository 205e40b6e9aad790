// burn_flash against a plain copy of the same payload bytes into the same
// device files, on file-backed flash. The screen is a no-op stand-in here;
// built with BENCH_BURN_REAL_SCREEN (bench_burn_screen) the burn drives the
// real progress screen on a G-type panel whose framebuffer is a plain file,
// so the two binaries give the screen's share of a burn.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "basicui/basicui.h"
#include "log/rl_log.h"
#include "rom/flash.h"

#if defined(BENCH_BURN_REAL_SCREEN)
#include "lcd/lcd_device.h"
#else
int CBasicUI::SetUpgradingProgressBar(int) { return 0; }
#endif

namespace {

constexpr int kPartitions = 10;
constexpr uint32_t kImageBytes = 8u << 20;

struct Image {
  std::vector<unsigned char> bytes;
  partition_header headers[kPartitions] = {};
  uint32_t flags[kPartitions] = {};
  env_info env[ENV_TABLE_SIZE] = {};
};

// Ten partitions of whole blocks adding up to 8 MiB of payload (eight of
// 832 KiB, two of 768 KiB), each region exactly its payload. A smaller
// total in BENCH_IMAGE_BYTES (quick runs) gives ten payloads of a tenth of
// it each, every region one block larger than its payload or less.
Image& image() {
  static Image im;
  if (!im.bytes.empty()) return im;
  const char* wanted = getenv("BENCH_IMAGE_BYTES");
  uint32_t small = wanted ? static_cast<uint32_t>(strtoul(wanted, nullptr, 0)) : 0;
  if (small >= kImageBytes || small < 4 * kPartitions) small = 0;
  size_t at = ROM_HEADER_COPY_SIZE + PARTITION_HEADER_COPY_SIZE * kPartitions;
  uint32_t flash_at = 0x90000000;
  uint32_t total = 0;
  for (int i = 0; i < kPartitions; ++i) {
    uint32_t size = small ? small / kPartitions / 4 * 4 : (i < 8 ? 13u : 12u) * FLASH_BLOCK_SIZE;
    uint32_t region = (size + FLASH_BLOCK_SIZE - 1) / FLASH_BLOCK_SIZE * FLASH_BLOCK_SIZE;
    partition_header& h = im.headers[i];
    h.magic_num = PARTITION_MAGIC;
    h.partition_id = static_cast<uint32_t>(i);
    h.partition_size = size;
    h.partition_offset = static_cast<uint32_t>(at);
    im.flags[i] = 1;
    snprintf(im.env[i].name, ENV_NAME_SIZE, "mtd%d", i);
    im.env[i].start_addr = flash_at;
    im.env[i].end_addr = flash_at + region;
    flash_at += region;
    at += size;
    total += size;
  }
  if (!small && total != kImageBytes) abort();
  im.bytes.resize(at);
  for (size_t k = 0; k < at; ++k) im.bytes[k] = static_cast<unsigned char>(k * 2654435761u >> 24);
  return im;
}

int64_t payload_bytes() {
  int64_t n = 0;
  for (const partition_header& h : image().headers) n += h.partition_size;
  return n;
}

// Only inside a simulated phone (its root has /sim): never create device
// files on a real system.
bool prepare_devices() {
  struct stat st;
  if (stat("/sim", &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  Image& im = image();
  for (int i = 0; i < kPartitions; ++i) {
    char path[32];
    snprintf(path, sizeof path, "/dev/mtd%d", i);
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) return false;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, im.env[i].end_addr - im.env[i].start_addr) != 0) return false;
    close(fd);
  }
#if defined(BENCH_BURN_REAL_SCREEN)
  // The phone's panel files: a G-type board, its framebuffer and refresh file.
  mkdir("/proc/misc", 0755);
  mkdir("/proc/glcd", 0755);
  static unsigned char zeros[LCD_FB_SIZE_GTYPE];
  const char hwver[] = "59.0.0.1.0.0.0.0\n";
  struct {
    const char* path;
    const void* data;
    size_t len;
  } files[] = {{"/dev/fb0", zeros, sizeof zeros}, {"/proc/misc/hwver", hwver, sizeof hwver - 1}, {"/proc/glcd/refresh", "", 0}};
  for (const auto& f : files) {
    if (lstat(f.path, &st) == 0 && !S_ISREG(st.st_mode)) return false;
    FILE* out = fopen(f.path, "wb");
    if (!out) return false;
    bool ok = fwrite(f.data, 1, f.len, out) == f.len;
    if (fclose(out) != 0 || !ok) return false;
  }
#endif
  return true;
}

void BM_BurnFlash(benchmark::State& state) {
  Image& im = image();
  CBasicUI ui;
#if defined(BENCH_BURN_REAL_SCREEN)
  ui.Init();
  if (!lcd_get_canvas()) {
    state.SkipWithError("the display did not start");
    return;
  }
#endif
  for (auto _ : state) {
    int rc = burn_flash(im.bytes.data(), im.bytes.size(), im.env, kPartitions, im.headers, im.flags, &ui);
    if (rc != 0) state.SkipWithError("burn_flash failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * payload_bytes());
}

void BM_PlainCopy(benchmark::State& state) {
  Image& im = image();
  for (auto _ : state) {
    for (int i = 0; i < kPartitions; ++i) {
      char path[32];
      snprintf(path, sizeof path, "/dev/mtd%d", i);
      int fd = open(path, O_WRONLY);
      const partition_header& h = im.headers[i];
      if (fd < 0 || pwrite(fd, im.bytes.data() + h.partition_offset, h.partition_size, 0) !=
                        static_cast<ssize_t>(h.partition_size))
        state.SkipWithError("copy failed");
      if (fd >= 0) close(fd);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * payload_bytes());
}

BENCHMARK(BM_BurnFlash)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  rl_log_init("bench_burn", 7);
  if (!prepare_devices()) {
    fprintf(stderr, "bench_burn: run inside a simulated phone (simdev run), see bench/burn/CMakeLists.txt\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
