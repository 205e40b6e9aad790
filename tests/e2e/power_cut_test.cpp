// Power cuts during an upgrade: a small release of three partitions, the
// power cut at every erase and every write request in turn; the next boot
// of the same phone runs the same upgrade and every partition ends equal to
// its payload.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

const char kSmallRelease[] =
    "[rom]\ndevice_id = 59\nrom_version = 59.1.6.10\nmatch_id = 0\nscramble_key = 0x5D\n"
    "[partition]\npartition_id = 1\npartition_version = 59.1.6.10\npattern = 21 100K\n"
    "[partition]\npartition_id = 5\npartition_version = 59.1.6.10\npattern = 25 70K\n"
    "[partition]\npartition_id = 6\npartition_version = 59.1.6.10\npattern = 26 40K\n";

// The phone's kernel, basic system and applications partitions made small:
// 128 KiB, 128 KiB and 64 KiB, in 64 KiB erase units and 64 KiB chunks.
std::string small_phone() {
  return profile({{"mtd1 = 0x90030000,0x90130000", "mtd1 = 0x90030000,0x90050000"},
                  {"mtd5 = 0x903b0000,0x904b0000", "mtd5 = 0x903b0000,0x903d0000"},
                  {"mtd6 = 0x904b0000,0x907b0000", "mtd6 = 0x904b0000,0x904c0000"}},
                 "");
}

// A power cut at the nth erase or write request; n = 0: no cut.
struct CutPoint {
  const char* kind;
  int n;
};

class PowerCutAt : public ::testing::TestWithParam<CutPoint> {};

// Each test builds its own copy of the ROM: shards run side by side.
TEST_P(PowerCutAt, TheNextBootCompletesTheUpgrade) {
  const CutPoint& c = GetParam();
  // Under qemu-user time is real: a sample of the points.
  if (paths().faketime.empty() && c.n > 0 && c.n != 2) GTEST_SKIP() << "sampled on this build";
  std::string name = std::string("power_cut_") + c.kind + "_" + std::to_string(c.n);
  std::string rom = build_rom(name, kSmallRelease);
  ASSERT_FALSE(rom.empty());
  BootRequest r = {.name = name, .profile = small_phone(), .rom_path = rom};
  if (c.n > 0) r.options = {std::string("--cut-") + c.kind, std::to_string(c.n)};
  Boot first = boot(r);
  // The cut's record: "erase N", or "write N stored K of L".
  std::string record = first.file("/sim/boot/cut"), expected = std::string(c.kind) + " " + std::to_string(c.n);
  if (c.n == 0) {
    // 2 + 2 + 1 units of 0.7 s, and 210 KiB at 10 ms a KiB.
    EXPECT_EQ("erases 5\nwrites 5\nerase_ms 3500.0\nprogram_ms 2100.0\ntotal_ms 5600.0\n", first.file("/sim/boot/flash"));
    EXPECT_EQ("", record);
  } else {
    EXPECT_EQ("cut", first.end);
    EXPECT_TRUE(record == expected + "\n" || record.rfind(expected + " stored ", 0) == 0) << record;
    r.fresh = false;
    r.options.clear();
  }
  Boot last = c.n == 0 ? first : boot(r);
  EXPECT_EQ("reboot", last.end);
  for (unsigned id : {1, 5, 6}) EXPECT_EQ("", flash_difference(last, rom, id, true)) << name;
  if (HasFailure()) ADD_FAILURE() << "reports: " << first.root << ".report";
}

// The upgrade erases 2 + 2 + 1 units and writes 2 + 2 + 1 chunks.
const CutPoint kCuts[] = {{"none", 0},  {"erase", 1}, {"erase", 2}, {"erase", 3}, {"erase", 4}, {"erase", 5},
                          {"write", 1}, {"write", 2}, {"write", 3}, {"write", 4}, {"write", 5}};

INSTANTIATE_TEST_SUITE_P(EveryRequest, PowerCutAt, ::testing::ValuesIn(kCuts),
                         [](const ::testing::TestParamInfo<CutPoint>& p) {
                           return std::string(p.param.kind) + "_" + std::to_string(p.param.n);
                         });

// What a partition holds before the upgrade: no 64 KiB block like another,
// so that a block written twice or in the wrong place shows.
std::string original_bytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>((k * 31 + (k >> 16) * 97 + seed) & 0xFF);
  return bytes;
}

// A power cut during a layout change: at the nth erase or write request
// (the first nine of each are the write-back of mtd4, then mtd3), or at
// kind "time", after the re-maps and before the write-back.
struct LayoutCut {
  const char* persists;  // whether the kernel keeps re-maps across a reboot
  const char* kind;
  int n;
};

class LayoutCutAt : public ::testing::TestWithParam<LayoutCut> {};

TEST_P(LayoutCutAt, TheNextBootKeepsTheEnvironmentAndConfiguration) {
  const LayoutCut& c = GetParam();
  const std::string kind = c.kind;
  bool qemu = paths().faketime.empty(), sanitized = !env_or("UPG_PROGRAM_ENV", "").empty();
  // Under qemu-user time is real, and a sanitized program is slow: a sample
  // of the points (the first of mtd4's write-back, the write of mtd3's).
  if ((qemu || sanitized) && !(kind == "time" || (kind == "erase" && c.n == 2) || (kind == "write" && c.n == 9)))
    GTEST_SKIP() << "sampled on this build";
  std::string name = std::string("layout_cut_") + c.persists + "_" + kind + "_" + std::to_string(c.n);
  // The small release with a layout change (none of its places covers an old one).
  std::string rom = build_rom(name, kSmallRelease + std::string(kMovedLayout));
  ASSERT_FALSE(rom.empty());
  const std::string env = original_bytes(0x10000, 3), config = original_bytes(0x80000, 4);
  std::string data = paths().work + "/" + name;
  ASSERT_TRUE(write_file(data + ".mtd3", env) && write_file(data + ".mtd4", config));
  std::pair<std::string, std::string> edit = {
      "remap_persists = no", "mtd3 = env file=" + data + ".mtd3\nmtd4 = env file=" + data + ".mtd4\nremap_persists = " + c.persists};
  // For the cut in time, the applications take 3 s to stop: the re-maps
  // are done by then and the write-back has not begun.
  std::string apps = kind == "time" ? "[apps]\nkillapps_seconds = 3\n" : "";
  BootRequest r = {.name = name, .profile = profile({edit}, apps), .rom_path = rom};
  std::string at = kind == "time" ? (qemu ? "5" : "1.5") : std::to_string(c.n);
  r.options = {"--cut-" + kind, at};
  Boot first = boot(r);
  EXPECT_EQ("cut", first.end);
  std::string record = first.file("/sim/boot/cut"), expected = kind + " " + at;
  EXPECT_TRUE(record == expected + "\n" || record.rfind(expected + " stored ", 0) == 0) << record;
  if (kind == "time") {
    EXPECT_NE(std::string::npos, first.file("/dev/mtd6.log").find("remap 0x4b0000 0x250000\n")) << "not re-mapped yet";
    EXPECT_EQ(0u, first.file("/sim/boot/flash").rfind("erases 0\n", 0)) << "written back already";
  }
  r.fresh = false;
  r.options.clear();
  r.profile = profile({edit}, "");
  Boot last = boot(r);
  EXPECT_EQ("reboot", last.end);
  // Where each first differs from what it held before the upgrade.
  for (auto [mtd, was] : {std::pair{3, &env}, std::pair{4, &config}}) {
    std::string now = last.file("/dev/mtd" + std::to_string(mtd));
    auto from = std::mismatch(was->begin(), was->end(), now.begin(), now.end()).first - was->begin();
    EXPECT_TRUE(now == *was) << "mtd" << mtd << " differs at " << from;
  }
  for (unsigned id : {1, 5, 6}) EXPECT_EQ("", flash_difference(last, rom, id, true)) << id;
  if (HasFailure()) ADD_FAILURE() << "reports: " << first.root << ".report";
}

std::vector<LayoutCut> layout_cuts() {
  std::vector<LayoutCut> cuts;
  for (const char* persists : {"yes", "no"})
    for (int n = 0; n <= 18; ++n) cuts.push_back({persists, n == 0 ? "time" : n <= 9 ? "erase" : "write", (n - 1) % 9 + 1});
  return cuts;
}

INSTANTIATE_TEST_SUITE_P(EveryWriteBackRequest, LayoutCutAt, ::testing::ValuesIn(layout_cuts()),
                         [](const ::testing::TestParamInfo<LayoutCut>& p) {
                           return std::string("persists_") + p.param.persists + "_" + p.param.kind + "_" +
                                  std::to_string(p.param.n);
                         });

}  // namespace
}  // namespace e2e
