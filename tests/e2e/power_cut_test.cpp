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

}  // namespace
}  // namespace e2e
