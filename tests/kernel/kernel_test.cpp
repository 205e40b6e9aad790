// The mipsel program on Debian's MIPS Malta kernel under qemu-system-mipsel
// (simkernel): what only a real kernel checks (request numbers and layouts
// as the kernel decodes them, real driver errors, a real mmap of the
// framebuffer, 16-byte input events of a 32-bit kernel), compared with the
// simulator's boot of the same profile and ROM, and with the ROM's payloads.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/files.h"

namespace {

using e2e::Boot;
using e2e::BootRequest;

struct Tier {
  std::string runner = e2e::env_or("UPG_SIMKERNEL", ""), guest = e2e::env_or("UPG_SIMGUEST", "");
  std::string cache = e2e::env_or("UPG_KERNEL_CACHE", "");
  bool ready() const { return file_exists(cache + "/READY") && file_exists(guest) && file_exists(runner); }
};

// Skipped with a reason on a machine without the kernel; never on CI, where
// the set-up must provide it.
#define REQUIRE_KERNEL_TIER()                                                                             \
  do {                                                                                                   \
    if (!Tier().ready()) {                                                                               \
      if (getenv("CI")) FAIL() << "the real-kernel tier is not set up (scripts/kernel-cache.sh)";         \
      GTEST_SKIP() << "the real-kernel tier is not set up: run scripts/kernel-cache.sh and build the mipsel preset"; \
    }                                                                                                    \
  } while (0)

std::string rom_for(const std::string& name, const std::vector<std::pair<std::string, std::string>>& edits,
                    const std::string& extra = "") {
  std::string desc = read_file(e2e::paths().source + "/sim/roms/typical-upgrade.desc");
  for (const auto& [from, to] : edits) desc.replace(desc.find(from), from.size(), to);
  return e2e::build_rom(name, desc + extra);
}

Boot on_kernel(BootRequest r) {
  Tier t;
  r.name += "-kernel";
  r.runner = t.runner;
  r.options.insert(r.options.end(), {"--guest", t.guest, "--cache", t.cache});
  return e2e::boot(r);
}

Boot on_simulator(BootRequest r) {
  r.name += "-sim";
  return e2e::boot(r);
}

std::string last_frame(const Boot& b) {
  char name[64];
  snprintf(name, sizeof name, "/sim/boot/frames/frame-%04d.fb", b.frames);
  return b.frames > 0 ? b.file(name) : "";
}

// The lines written to the boot-loader environment, without their times.
std::vector<std::string> env_writes(const Boot& b) {
  std::vector<std::string> out;
  std::istringstream in(b.file("/sim/boot/env-writes"));
  for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find(' ') + 1));
  return out;
}

// Where two byte strings first differ, for a failure message.
std::string first_difference(const std::string& a, const std::string& b) {
  if (a == b) return "equal";
  size_t i = static_cast<size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
  char text[96];
  snprintf(text, sizeof text, "first difference at byte %zu of %zu/%zu", i, a.size(), b.size());
  return text;
}

// The ROM's partitions, each written to the partition of its id: "" when
// each holds its payload (when written) and is erased beyond.
std::string flash_differences(const Boot& b, const std::string& rom, bool written) {
  std::string out;
  for (unsigned id : {0, 1, 5, 6}) out += e2e::flash_difference(b, rom, id, written);
  return out;
}

// The partitions the boot's report calls changed, in its order.
std::string changed_in_report(const Boot& b) {
  nlohmann::json r = nlohmann::json::parse(read_file(b.root + ".report/report.json"), nullptr, false);
  if (r.is_discarded() || !r.contains("flash")) return "no report";
  std::string out;
  for (const nlohmann::json& f : r["flash"])
    if (f.value("changed", false)) out += f.value("name", "?") + " ";
  return out;
}

struct Panel {
  const char* name;
  const char* hwver;        // selects the program's pixel format
  const char* panel;        // the simulated phone's framebuffer
};

class FileModeUpgrade : public ::testing::TestWithParam<Panel> {};

// The whole upgrade from a ROM file: flash, the last frame, the environment
// and the bus as on the simulator.
TEST_P(FileModeUpgrade, MatchesTheSimulator) {
  REQUIRE_KERNEL_TIER();
  const Panel& p = GetParam();
  std::string rom = rom_for(std::string("typical-") + p.name, {});
  BootRequest r = {.name = std::string("upgrade-") + p.name,
                   .profile = e2e::profile({{"hwver = 59.0.0.1.0.0.0.0", p.hwver}}, p.panel), .rom_path = rom};
  Boot kernel = on_kernel(r), sim = on_simulator(r);
  ASSERT_EQ("reboot", kernel.end) << kernel.file("/sim/boot/serial");
  ASSERT_EQ("reboot", sim.end);
  EXPECT_EQ("", flash_differences(kernel, rom, true));
  // The report tells what the guest wrote, as the simulator's does.
  EXPECT_EQ(changed_in_report(sim), changed_in_report(kernel));
  // The sample release writes these four.
  EXPECT_EQ("mtd0 mtd1 mtd5 mtd6 ", changed_in_report(kernel));
  for (int mtd = 0; mtd <= 9; ++mtd) {
    std::string path = "/dev/mtd" + std::to_string(mtd);
    EXPECT_TRUE(kernel.file(path) == sim.file(path)) << path << ": " << first_difference(kernel.file(path), sim.file(path));
  }
  ASSERT_GT(kernel.frames, 0);
  std::string frame = last_frame(kernel), expected = last_frame(sim);
  EXPECT_TRUE(frame == expected) << first_difference(frame, expected);
  EXPECT_EQ(env_writes(sim), env_writes(kernel));
  EXPECT_EQ(sim.broadcasts, kernel.broadcasts);
  EXPECT_EQ(1, kernel.reboot_requests);
}

INSTANTIATE_TEST_SUITE_P(
    OnTheRealKernel, FileModeUpgrade,
    ::testing::Values(Panel{"gtype_16bpp", "hwver = 59.0.0.1.0.0.0.0", "[panel]\ntype = gtype\n"},
                      // A framebuffer smaller than the 4-bit image: the copy must stay in the mapping.
                      Panel{"mono_1bpp", "hwver = 59.0.0.2.0.0.0.0", "[panel]\ntype = mono\nfb_size = 16320\n"}),
    [](const ::testing::TestParamInfo<Panel>& param_info) { return std::string(param_info.param.name); });

// A ROM for another board: the failure screen holds the phone until the
// "Reboot" soft key, pressed on the guest's keyboard through the monitor.
TEST(RealKernel, FailureScreenThenRebootKey) {
  REQUIRE_KERNEL_TIER();
  std::string rom = rom_for("kernel-other-board", {{"device_id = 59", "device_id = 58"}});
  BootRequest r = {.name = "failure-reboot-key",
                   .profile = e2e::profile({}, "[keypad]\nkey = 1 35\nwait_for_reader = yes\n"), .rom_path = rom};
  Boot kernel = on_kernel(r), sim = on_simulator(r);
  ASSERT_EQ("reboot", kernel.end) << kernel.file("/sim/boot/serial");
  EXPECT_NE(std::string::npos, kernel.file("/sim/boot/keys").find("code=35 value=press+release delivered"));
  EXPECT_EQ(1, kernel.reboot_requests);
  EXPECT_EQ("", flash_differences(kernel, rom, false));
  std::string frame = last_frame(kernel), expected = last_frame(sim);
  EXPECT_TRUE(frame == expected) << "the failure screen: " << first_difference(frame, expected);
  EXPECT_EQ(sim.broadcasts, kernel.broadcasts);
}

// A signed release on a phone with its key: the check runs on a private
// copy of the image (real mmap and madvise here), and what it passes on is
// what the kernel's flash receives.
TEST(RealKernel, SignedReleaseOnAPhoneWithItsKey) {
  REQUIRE_KERNEL_TIER();
  std::string rom = rom_for("kernel-signed", {});
  std::string keys = "[keys]\nrelease-a = " + e2e::paths().source + "/tests/keys/release-a.pem\n";
  Boot kernel = on_kernel({.name = "signed-release", .profile = e2e::profile({}, keys), .rom_path = e2e::sign_rom(rom, "a")});
  ASSERT_EQ("reboot", kernel.end) << kernel.file("/sim/boot/serial");
  EXPECT_TRUE(kernel.logged(6, "release signed by key d7798f98beb6dce6\n"));
  EXPECT_EQ("", flash_differences(kernel, rom, true));
}

// mtdram answers the program's MTD requests with the kernel's decoding and
// errors: a 128 KiB erase block, unaligned erases refused with EINVAL. The
// phone's re-map check answers ENOTTY there.
TEST(RealKernel, MtdramWith128KiBEraseBlocks) {
  REQUIRE_KERNEL_TIER();
  std::string rom = rom_for("typical-mtdram", {});
  // The key ends a failure screen at once instead of at the time-out.
  const char keys[] = "[keypad]\nkey = 1 35\nwait_for_reader = yes\n";
  Boot kernel = on_kernel({.name = "mtdram-128k",
                           .profile = e2e::profile({}, std::string("[kernel]\nmtdram = mtd6 128K\n") + keys),
                           .rom_path = rom});
  EXPECT_TRUE(kernel.logged(6, "kernel_support is :0 \n"));
  EXPECT_EQ("", flash_differences(kernel, rom, true));
  EXPECT_EQ("reboot", kernel.end);
}

// A ROM that moves partitions, on a kernel whose re-map requests answer
// ENOTTY: no repair support, so only the kernel partition is written.
TEST(RealKernel, EnottyMeansNoRepairSupport) {
  REQUIRE_KERNEL_TIER();
  const std::string layout =
      "\n[partition]\nspecial = mtd_config\ntext = [mtd]\\nmtd0 = 0x90130000,0x90330000\\nmtd1 = 0x90030000,0x90130000\\n"
      "mtd2 = 0x90000000,0x90020000\\nmtd3 = 0x907e0000,0x907f0000\\nmtd4 = 0x90700000,0x90780000\\n"
      "mtd5 = 0x903b0000,0x904b0000\\nmtd6 = 0x904b0000,0x907b0000\\nmtd7 = 0x907b0000,0x907d0000\\n"
      "mtd8 = 0x907d0000,0x907f0000\\nmtd9 = 0x907f0000,0x90800000\\n\n";
  std::string rom = rom_for("kernel-moved-layout", {}, layout);
  Boot kernel = on_kernel(
      {.name = "enotty-kernel-only", .profile = e2e::profile({}, "[kernel]\nmtdram = mtd1\n"), .rom_path = rom});
  ASSERT_EQ("reboot", kernel.end) << kernel.file("/sim/boot/serial");
  EXPECT_TRUE(kernel.logged(6, "kernel_support is :0 \n"));
  EXPECT_TRUE(kernel.logged(6, "kernel_support is UNAVAILABLE\n"));
  EXPECT_EQ("", e2e::flash_difference(kernel, rom, 1, true));
  for (unsigned mtd : {0, 5, 6}) EXPECT_EQ("", e2e::flash_difference(kernel, rom, mtd, false));
}

}  // namespace
