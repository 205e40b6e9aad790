// Power cuts during an upgrade: a small release of three partitions, the
// power cut at every erase and every write request in turn; the next boot
// of the same phone runs the same upgrade and every partition ends equal to
// its payload.
#include <gtest/gtest.h>

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
// 128 KiB, 128 KiB and 64 KiB. In 64 KiB erase units and 64 KiB chunks the
// upgrade erases 2 + 2 + 1 units and writes 2 + 2 + 1 chunks.
std::string small_phone() {
  return profile({{"mtd1 = 0x90030000,0x90130000", "mtd1 = 0x90030000,0x90050000"},
                  {"mtd5 = 0x903b0000,0x904b0000", "mtd5 = 0x903b0000,0x903d0000"},
                  {"mtd6 = 0x904b0000,0x907b0000", "mtd6 = 0x904b0000,0x904c0000"}},
                 "");
}
constexpr int kErases = 5, kWrites = 5;
const unsigned kPartitions[] = {1, 5, 6};

// Each test builds its own copy: shards run side by side.
void expect_upgraded(const Boot& b, const std::string& rom, const std::string& what) {
  for (unsigned id : kPartitions) EXPECT_EQ("", flash_difference(b, rom, id, true)) << what;
}

TEST(PowerCut, TheUninterruptedUpgradeCountsItsRequestsAndModelledTime) {
  std::string rom = build_rom("power_cut_none", kSmallRelease);
  ASSERT_FALSE(rom.empty());
  Boot b = boot({.name = "power_cut_none", .profile = small_phone(), .rom_path = rom});
  EXPECT_EQ("reboot", b.end);
  expect_upgraded(b, rom, "no cut");
  // 5 units of 0.7 s and 210 KiB at 10 ms a KiB.
  EXPECT_EQ("erases 5\nwrites 5\nerase_ms 3500.0\nprogram_ms 2100.0\ntotal_ms 5600.0\n", b.file("/sim/boot/flash"));
  EXPECT_FALSE(b.exists("/sim/boot/cut"));
}

struct CutPoint {
  const char* kind;  // "erase" or "write"
  int n;
};

class PowerCutAt : public ::testing::TestWithParam<CutPoint> {};

TEST_P(PowerCutAt, TheNextBootCompletesTheUpgrade) {
  const CutPoint& c = GetParam();
  // Under qemu-user time is real: a sample of the points.
  if (paths().faketime.empty() && c.n != 2) GTEST_SKIP() << "sampled on this build";
  std::string name = std::string("power_cut_") + c.kind + "_" + std::to_string(c.n);
  std::string rom = build_rom(name, kSmallRelease);
  ASSERT_FALSE(rom.empty());
  Boot cut = boot({.name = name, .profile = small_phone(), .rom_path = rom,
                   .options = {std::string("--cut-") + c.kind, std::to_string(c.n)}});
  EXPECT_EQ("cut", cut.end);
  // "erase N", or "write N stored K of L".
  std::string record = cut.file("/sim/boot/cut"), expected = std::string(c.kind) + " " + std::to_string(c.n);
  EXPECT_TRUE(record == expected + "\n" || record.rfind(expected + " stored ", 0) == 0) << record;
  Boot again = boot({.name = name, .profile = small_phone(), .rom_path = rom, .fresh = false});
  EXPECT_EQ("reboot", again.end);
  expect_upgraded(again, rom, name);
  if (HasFailure()) ADD_FAILURE() << "reports: " << cut.root << ".report";
}

std::vector<CutPoint> cut_points() {
  std::vector<CutPoint> points;
  for (int n = 1; n <= kErases; ++n) points.push_back({"erase", n});
  for (int n = 1; n <= kWrites; ++n) points.push_back({"write", n});
  return points;
}

INSTANTIATE_TEST_SUITE_P(EveryRequest, PowerCutAt, ::testing::ValuesIn(cut_points()),
                         [](const ::testing::TestParamInfo<CutPoint>& p) {
                           return std::string(p.param.kind) + "_" + std::to_string(p.param.n);
                         });

}  // namespace
}  // namespace e2e
