// burn_flash against a plain copy of the same payload bytes into the same
// device files, on file-backed flash. The screen is a no-op stand-in here.
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

int CBasicUI::SetUpgradingProgressBar(int) { return 0; }

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
// 832 KiB, two of 768 KiB), each region exactly its payload.
Image& image() {
  static Image im;
  if (!im.bytes.empty()) return im;
  size_t at = ROM_HEADER_COPY_SIZE + PARTITION_HEADER_COPY_SIZE * kPartitions;
  uint32_t flash_at = 0x90000000;
  uint32_t total = 0;
  for (int i = 0; i < kPartitions; ++i) {
    uint32_t size = (i < 8 ? 13u : 12u) * FLASH_BLOCK_SIZE;
    partition_header& h = im.headers[i];
    h.magic_num = PARTITION_MAGIC;
    h.partition_id = static_cast<uint32_t>(i);
    h.partition_size = size;
    h.partition_offset = static_cast<uint32_t>(at);
    im.flags[i] = 1;
    snprintf(im.env[i].name, ENV_NAME_SIZE, "mtd%d", i);
    im.env[i].start_addr = flash_at;
    im.env[i].end_addr = flash_at + size;
    flash_at += size;
    at += size;
    total += size;
  }
  if (total != kImageBytes) abort();
  im.bytes.resize(at);
  for (size_t k = 0; k < at; ++k) im.bytes[k] = static_cast<unsigned char>(k * 2654435761u >> 24);
  return im;
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
    if (fd < 0 || ftruncate(fd, im.headers[i].partition_size) != 0) return false;
    close(fd);
  }
  return true;
}

void BM_BurnFlash(benchmark::State& state) {
  Image& im = image();
  CBasicUI ui;
  for (auto _ : state) {
    int rc = burn_flash(im.bytes.data(), im.bytes.size(), im.env, kPartitions, im.headers, im.flags, &ui);
    if (rc != 0) state.SkipWithError("burn_flash failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
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
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
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
