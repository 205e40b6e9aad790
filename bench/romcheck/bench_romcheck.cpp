// What the ROM check costs on a full image: an 8 MiB shared-memory block
// holding a 10-partition ROM.
//
//   PlainXor        one XOR pass over the 8 MiB, aligned words (the floor)
//   RomXorWords     the check's word reader (unaligned little-endian loads)
//   CheckNoDevice   the whole check with in-memory device hooks: header,
//                   data area and every payload verified (each payload byte
//                   is read twice: data area, then its own checksum)
//   CheckNoDeviceQuiet  the same with logging off
//   CheckOnDevice   rom_upgrade_check as the program runs it (environment
//                   loading through the shell included); registered only
//                   inside a simulated device root:
//     build/host/sim/simdev run --root /tmp/benchroot --fresh --bind $PWD/build/host
//        -- $PWD/build/host/bench/romcheck/bench_romcheck      (one command line)
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/byteorder.h"
#include "log/rl_log.h"
#include "rom/rom_check.h"
#include "rom/rom_check_hooks.h"

namespace {

constexpr size_t kImageSize = 8u * 1024 * 1024;
constexpr int kPartitions = 10;
constexpr size_t kPayload = 800u * 1024;

void scramble(unsigned char* h) {
  unsigned char inv[256];
  for (int b = 0; b < 256; ++b) inv[decrypt[b]] = static_cast<unsigned char>(b);
  const int len = 92, k = h[0x7C] % len;
  unsigned char rot[92];
  for (int i = 0; i < len; ++i) rot[(i + k) % len] = h[12 + i];
  uint32_t pn = load_le32(h + 0x14), rs = load_le32(h + 0x24), rc = load_le32(h + 0x28);
  for (int i = 0; i < len; ++i) h[12 + i] = inv[rot[i]];
  store_le32(h + 0x6C, load_le32(h + 0x14));
  store_le32(h + 0x74, load_le32(h + 0x24));
  store_le32(h + 0x70, load_le32(h + 0x28));
  store_le32(h + 0x14, pn);
  store_le32(h + 0x24, rs);
  store_le32(h + 0x28, rc);
}

// The block as the shared-memory writer leaves it: the ROM, then 0xFF.
std::vector<uint32_t> make_image() {
  std::vector<uint32_t> words(kImageSize / 4, 0xFFFFFFFFu);
  unsigned char* img = reinterpret_cast<unsigned char*>(words.data());
  size_t header_end = 140 + 44 * kPartitions;
  uint32_t state = 12345;
  for (int i = 0; i < kPartitions; ++i) {
    size_t off = header_end + i * kPayload;
    for (size_t j = 0; j < kPayload; ++j) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      img[off + j] = static_cast<unsigned char>(state >> 24);
    }
    unsigned char* p = img + 140 + 44 * i;
    memset(p, 0, 44);
    store_le32(p + 0x00, PARTITION_MAGIC);
    store_le32(p + 0x04, 32);
    store_le32(p + 0x18, static_cast<uint32_t>(i));
    store_le32(p + 0x1C, 0x01020304);
    store_le32(p + 0x20, kPayload);
    store_le32(p + 0x24, rom_xor_words(img + off, kPayload / 4));
    store_le32(p + 0x28, static_cast<uint32_t>(off));
    store_le32(p + 0x08, rom_xor_words(p + 12, 8));
  }
  size_t rom_size = header_end + kPartitions * kPayload - 140;
  unsigned char* h = img;
  memset(h, 0, 140);
  store_le32(h + 0x00, ROM_MAGIC);
  store_le32(h + 0x04, 128);
  store_le32(h + 0x14, kPartitions);
  store_le32(h + 0x18, 59);
  store_le32(h + 0x20, 0x01900664);
  store_le32(h + 0x24, static_cast<uint32_t>(rom_size));
  store_le32(h + 0x28, rom_xor_words(img + 140, rom_size / 4));
  memset(h + 0x2C, 0, 16);
  store_le32(h + 0x68, ROM_MAGIC);
  h[0x7C] = 0x2A;
  scramble(h);
  store_le32(h + 0x08, rom_xor_words(h + 12, 32));
  return words;
}

const std::vector<uint32_t>& image() {
  static std::vector<uint32_t> img = make_image();
  return img;
}

int mem_load_env(env_info* t) {
  for (int i = 0; i < kPartitions; ++i) {
    snprintf(t[i].name, sizeof t[i].name, "mtd%d", i);
    t[i].start_addr = static_cast<uint32_t>(i) << 20;
    t[i].end_addr = t[i].start_addr + (1u << 20);
  }
  return 0;
}
int mem_hw(unsigned char hw[8]) {
  memset(hw, 0, 8);
  hw[0] = 59;
  return 0;
}
int mem_set_env(const char*, const char*) { return 0; }
int mem_exists(const char*) { return 0; }
int mem_extract(const char*, const unsigned char*, size_t) { return 0; }
int mem_probe(const char*, uint32_t) { return 0; }
const rom_check_hooks kMemHooks = {mem_load_env, mem_hw, mem_set_env, mem_exists, mem_extract, mem_probe};

void PlainXor(benchmark::State& state) {
  const std::vector<uint32_t>& img = image();
  for (auto _ : state) {
    uint32_t x = 0;
    for (uint32_t w : img) x ^= w;
    benchmark::DoNotOptimize(x);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(PlainXor)->Unit(benchmark::kMillisecond);

void RomXorWords(benchmark::State& state) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(image().data());
  for (auto _ : state) benchmark::DoNotOptimize(rom_xor_words(p, kImageSize / 4));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(RomXorWords)->Unit(benchmark::kMillisecond);

struct Records {
  env_info env[ENV_TABLE_SIZE];
  rom_header header;
  partition_header parts[ROM_MAX_PARTITIONS];
  uint32_t flags[ROM_MAX_PARTITIONS];
};

void CheckNoDevice(benchmark::State& state) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(image().data());
  static Records r;
  for (auto _ : state) {
    int code = rom_check_with_hooks(&kMemHooks, p, kImageSize, r.env, &r.header, r.parts, r.flags);
    if (code != 0) state.SkipWithError("the image was refused");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(CheckNoDevice)->Unit(benchmark::kMillisecond);

// The same with logging off: what the checksums themselves cost.
void CheckNoDeviceQuiet(benchmark::State& state) {
  rl_log_set_level(-1);
  CheckNoDevice(state);
  rl_log_set_level(7);
}
BENCHMARK(CheckNoDeviceQuiet)->Unit(benchmark::kMillisecond);

std::string g_device_env;

bool write_text(const char* path, const std::string& text) {
  FILE* f = fopen(path, "w");
  if (!f) return false;
  bool ok = fputs(text.c_str(), f) >= 0;
  return fclose(f) == 0 && ok;
}

void CheckOnDevice(benchmark::State& state) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(image().data());
  static Records r;
  for (auto _ : state) {
    // The check's environment write replaces the plain kernel file of the root.
    state.PauseTiming();
    write_text("/proc/avalanche/env", g_device_env);
    state.ResumeTiming();
    int code = rom_upgrade_check(p, kImageSize, r.env, &r.header, r.parts, r.flags);
    if (code != 0) state.SkipWithError("the image was refused");
  }
}

// Inside a simulated root (it has /sim), lay out a phone that accepts the image.
void register_device_benchmark() {
  if (access("/sim", F_OK) != 0) return;
  if (system("mkdir -p /proc/avalanche /proc/misc /proc/ver /tmp/bin /app && cp -a /bin/. /tmp/bin/") != 0) return;
  std::string env;
  for (int i = 0; i < kPartitions; ++i) {
    char line[64];
    snprintf(line, sizeof line, "mtd%d 0x%x,0x%x\n", i, i << 20, (i + 1) << 20);
    env += line;
    // A sparse 1 MiB device per region, in 64 KiB erase units.
    std::string dev = "/dev/mtd" + std::to_string(i);
    if (!write_text(dev.c_str(), "") || truncate(dev.c_str(), 1 << 20) != 0) return;
  }
  env += "SW_OEM 0\n";
  g_device_env = env;
  if (!write_text("/proc/avalanche/env", env) || !write_text("/proc/misc/hwver", "59.0.0.0.0.0.0.0\n") ||
      !write_text("/proc/ver/software", "1.0.0.1,Jan 1 2026\n") ||
      !write_text("/app/version.conf", "[Version]\nRomVersion=1.0.0.1\n")) {
    return;
  }
  benchmark::RegisterBenchmark("CheckOnDevice", CheckOnDevice)->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  register_device_benchmark();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
