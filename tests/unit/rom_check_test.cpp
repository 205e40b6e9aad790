// The ROM check on the simulated phone: images built by romtool, the
// device's kernel files and version files laid out in the root, the real
// environment store and shell commands.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/process_flags.h"
#include "rom/rom_check.h"
#include "rom/rom_check_hooks.h"
#include "tests/support/files.h"
#include "tests/support/rom_descriptions.h"
#include "tests/support/syslog_capture.h"

namespace {

struct Device {
  std::string hwver = "59.0.0.0.0.0.0.0";
  std::string software = "1.0.0.1,Jan 1 2026";
  std::vector<std::pair<std::string, std::string>> env = {
      {"mtd0", "0x0,0x20000"}, {"mtd1", "0x20000,0x220000"}, {"SW_OEM", "0"}, {"SW_protect", "0"},
      {"MID_VERSION", "0"}};
  std::string app_version = "RomVersion=1.0.0.1\n";
  std::string root_version;
  int missing_mtd = -1;
  // Flash devices of 4 MiB in 64 KiB units; mtd1 of this size and control file.
  off_t mtd1_size = 0x400000;
  std::string mtd1_control = "";

  // Replaces or, with a null value, removes an environment variable.
  void set_env(const std::string& name, const char* value) {
    std::erase_if(env, [&](const auto& kv) { return kv.first == name; });
    if (value) env.emplace_back(name, value);
  }
};

const char* const kBase = kTwoPartitionRom;

const char kEmpty[] = "[rom]\ndevice_id = 59\nrom_version = 1.144.6.100\n";

// What the caller's records hold before the check: every byte 0x5A.
constexpr uint32_t kUntouched = 0x5A5A5A5Au;

struct Outcome {
  int code;
  env_info env[ENV_TABLE_SIZE];
  rom_header header;
  partition_header parts[ROM_MAX_PARTITIONS];
  uint32_t flags[ROM_MAX_PARTITIONS];
};

// Every environment write, as the kernel file holds it right after.
std::vector<std::string> g_env_writes;

int recording_set_env(const char* name, const char* value) {
  int rc = set_env_value(name, value);
  g_env_writes.push_back(read_file("/proc/avalanche/env"));
  return rc;
}

class RomCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A fresh copy each time: a repeated run finds the last one's links there.
    ASSERT_EQ(0, shell("rm -rf /tmp/bin && mkdir -p /proc/avalanche /proc/misc /proc/ver /tmp/bin /config /app "
                       "/basic && cp -a /bin/. /tmp/bin/"));
  }

  void SetUp() override {
    install(Device{});
    shell("rm -rf /tmp/upgrader_tool /tmp/mtd.conf /config/config_modify");
    mtd_config_present = 0;
    g_env_writes.clear();
  }

  // The device's kernel and version files. The test root's environment file
  // is a plain file that keeps only the last echoed line: SetUp and run()
  // install the device again for every check.
  static void install(const Device& d) {
    std::string env;
    for (const auto& kv : d.env) env += kv.first + " " + kv.second + "\n";
    ASSERT_TRUE(write_file("/proc/avalanche/env", env));
    ASSERT_TRUE(write_file("/proc/misc/hwver", d.hwver + "\n"));
    ASSERT_TRUE(write_file("/proc/ver/software", d.software + "\n"));
    ASSERT_TRUE(write_file("/app/version.conf", "[Version]\n" + d.app_version));
    ASSERT_TRUE(write_file("/basic/version.conf", "[Version]\n"));
    ASSERT_TRUE(write_file("/version.conf", "[Version]\n" + d.root_version));
    for (int i = 0; i < 10; ++i) {
      std::string path = "/dev/mtd" + std::to_string(i);
      if (i == d.missing_mtd) {
        unlink(path.c_str());
        continue;
      }
      ASSERT_TRUE(write_file(path, ""));
      ASSERT_EQ(0, truncate(path.c_str(), i == 1 ? d.mtd1_size : 0x400000));
      ASSERT_TRUE(write_file(path + ".sim", i == 1 ? d.mtd1_control : ""));
    }
  }

  static std::string build(const std::string& description, const std::string& args = "") {
    EXPECT_TRUE(write_file("/tmp/rom.desc", description));
    unlink("/tmp/rom.img");
    // romtool's own leaks are checked on the host (romtool_test); in this
    // root a process numbered past the linked /proc entries cannot be.
    std::string romtool = std::string("ASAN_OPTIONS=detect_leaks=0 ") + UPG_ROMTOOL;
    EXPECT_EQ(0, shell(romtool + " build /tmp/rom.desc /tmp/rom.img " + args)) << args;
    return read_file("/tmp/rom.img");
  }

  static Outcome check(const std::string& image, const rom_check_hooks* hooks = nullptr) {
    Outcome o;
    memset(&o, 0x5A, sizeof o);
    // A word-aligned copy, as a mapping or the shared block would be.
    std::vector<uint32_t> aligned((image.size() + 3) / 4 + 1);
    memcpy(aligned.data(), image.data(), image.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(aligned.data());
    o.code = hooks ? rom_check_with_hooks(hooks, p, image.size(), o.env, &o.header, o.parts, o.flags)
                   : rom_upgrade_check(p, image.size(), o.env, &o.header, o.parts, o.flags);
    return o;
  }

  // The check of an image built from `description` with romtool's `args`,
  // on the default device changed by `edit`.
  static Outcome run(const std::function<void(Device&)>& edit, const std::string& args,
                     const std::string& description = kBase, const rom_check_hooks* hooks = nullptr) {
    Device d;
    if (edit) edit(d);
    install(d);
    return check(build(description, args), hooks);
  }

  static std::vector<uint32_t> flags(const Outcome& o, size_t n) { return {o.flags, o.flags + n}; }

  // Names logged by upd_msg_report, in order.
  static std::vector<std::string> reports(SyslogCapture& cap) {
    std::vector<std::string> out;
    std::ranges::copy_if(cap.messages(3), std::back_inserter(out), [](auto& m) { return m.starts_with("UPD_MSG_"); });
    return out;
  }
};

TEST_F(RomCheck, AcceptsAStandardImageAndFillsTheCallersRecords) {
  SyslogCapture cap;
  Outcome o = check(build(kBase));
  ASSERT_EQ(0, o.code);
  // Mtd0Version absent, Mtd1Version 1.0.0.1 differs.
  EXPECT_EQ(flags(o, 3), (std::vector<uint32_t>{1, 1, kUntouched}));
  EXPECT_EQ(0x01900664u, o.header.rom_version);
  EXPECT_EQ(999u, o.parts[1].partition_size);
  EXPECT_EQ(kUntouched, o.parts[2].magic_num);  // only partition_num slots are touched
  int index;
  ASSERT_EQ(0, env_find(o.env, "Mtd1Version", &index));
  EXPECT_STREQ("1.0.0.1", o.env[index].value);

  const std::pair<const char*, int> logged[] = {
      {"rom--------:0x52524f4d\n", 7}, {"upgrader_softversion_check!\n", 6}, {"headers size:0xe4\n", 7},
      {"mtd0 start_addr:0 end_addr:20000\n", 6}, {"mtd1 start_addr:20000 end_addr:220000\n", 6},
      {"Mtd0Version env isnot exist!\n", 6}, {"Mtd1Version name:Mtd1Version value:1.0.0.1\n", 6},
      {"mtdn_version:1.0.0.1 version:1.144.6.100\n", 6}, {"rom_upgrade_check start\n", 7}, {"sw_oem :0 \n", 7},
      {"RomVersion name:RomVersion value:1.0.0.1\n", 6}, {"rom_version_cmp:1.144.6.100 rom_version:1.0.0.1\n", 7}};
  for (const auto& [text, level] : logged) EXPECT_TRUE(cap.has(text, level)) << text;
  EXPECT_TRUE(reports(cap).empty());
  EXPECT_EQ(0u, cap.messages(4).size());  // no warning: the header was descrambled
  // Unprotected device, plain ROM: its OEM is recorded through the kernel file.
  EXPECT_EQ("SW_OEM 0\n", read_file("/proc/avalanche/env"));
  EXPECT_FALSE(file_exists("/tmp/upgrader_tool"));
  EXPECT_EQ(0, mtd_config_present);
}

struct Refusal {
  std::string name;
  std::string args;
  std::function<void(Device&)> device;
  int code;
  std::string report;    // the name logged after "UPD_MSG_", or empty
  std::string log = "";  // an error line expected besides the report, or empty
  std::string description = kBase;
};

std::function<void(Device&)> odd_mtd1(const char* region, off_t size, const char* control) {
  return [=](Device& d) { d.set_env("mtd1", region), d.mtd1_size = size, d.mtd1_control = control; };
}

std::function<void(Device&)> hwver(const std::string& text) {
  return [text](Device& d) { d.hwver = text; };
}

// Two payloads of 3 and 6 bytes; the image ends with the second, at 248.
const std::string kSmall = std::string(kEmpty) +
                           "[partition]\npartition_id = 0\npartition_header_size = 40\ntext = abc\n"
                           "[partition]\npartition_id = 1\npartition_header_size = 40\ntext = abcdef\n";

// Every refusal code for an image or a device broken in one way, and the
// board, minimum-version and match-id rules with what they accept.
TEST_F(RomCheck, RefusalsAndTheDeviceRules) {
  std::vector<Refusal> rows = {
      {"first word", "--set rom.magic_num=0", {}, -100, "ARG_ADDR_ERR"},
      {"shorter than a header", "--truncate 139", {}, -100, "ARG_ADDR_ERR",
       "rom image of 139 bytes is shorter than its header\n"},
      {"magic_num2", "--set rom.magic_num2=0", {}, -99, "ROM_HEADER_RROM_ERR"},
      {"header size 149 puts the key in the region", "--set rom.rom_header_size=149", {}, -99, "ROM_HEADER_RROM_ERR"},
      {"header size 165 runs past the copy", "--set rom.rom_header_size=165", {}, -99, "ROM_HEADER_RROM_ERR"},
      {"partition_num 17 before any checksum",
       "--set rom.partition_num=17 --set rom.rom_header_checksum_xor=1 --set rom.rom_checksum_xor=1", {}, -79,
       "PART_NUM_ERR"},
      {"header checksum", "--set rom.rom_header_checksum_xor=1", {}, -98, "ROM_HEADER_CHECKSUM_ERR"},
      {"scrambled byte", "--flip 12", {}, -98, "ROM_HEADER_CHECKSUM_ERR"},
      {"reserved word at 0x78", "--flip 0x78:0x80", {}, -98, "ROM_HEADER_CHECKSUM_ERR"},
      {"last header byte", "--flip 139", {}, -98, "ROM_HEADER_CHECKSUM_ERR"},
      {"data checksum", "--set rom.rom_checksum_xor=1", {}, -97, "ROM_CHECKSUM_ERR"},
      {"data area past the image", "--set rom.rom_size=0x100000", {}, -97, "ROM_CHECKSUM_ERR"},
      {"partition magic", "--set part0.magic_num=0", {}, -93, "PART_HEADER_RPAT_ERR"},
      {"more headers than written", "--set rom.partition_num=3", {}, -93, "PART_HEADER_RPAT_ERR"},
      {"header past the image", "--set rom.partition_num=1", {}, -93, "PART_HEADER_RPAT_ERR",
       "partition header 0 at 0x8c lies outside the image\n", kEmpty},
      {"partition header checksum", "--set part1.partition_header_checksum_xor=1", {}, -92,
       "PART_HEADER_CHECKSUM_ERR"},
      {"partition header size past the image", "--set rom.rom_size=0 --poke 144=0x7ffffff0", {}, -92,
       "PART_HEADER_CHECKSUM_ERR", "partition header 0 of 2147483632 bytes runs past the image\n"},
      {"payload checksum", "--set part0.partition_checksum_xor=1", {}, -91, "PART_CHECKSUM_ERR"},
      {"payload offset past the image", "--set part1.partition_offset=0xffffff00", {}, -91, "PART_CHECKSUM_ERR"},
      {"payload size past the image", "--set part1.partition_size=0x10000000", {}, -91, "PART_CHECKSUM_ERR"},
      {"partition id 10", "--set part0.partition_id=10", {}, -90, "PARTITION_ID_ERROR"},
      {"partition id 254", "--set part1.partition_id=254", {}, -90, "PARTITION_ID_ERROR"},
      {"flash partition of type 1", "--set part0.partition_type=1", {}, -89, "PARTITION_TYPE_ERROR"},
      {"software version without comma", "", [](Device& d) { d.software = "1.0.0.1 Jan 1"; }, -88,
       "READ_ENV_FAILED"},
      {"hardware version of seven numbers", "", [](Device& d) { d.hwver = "59.0.0.0.0.0.0"; }, -87,
       "READ_HWVERSION_FAILED", "hwver read fail2\n"},
      {"no mtd1 variable", "", [](Device& d) { d.set_env("mtd1", nullptr); }, -85, "MTD_ENV_LOSED",
       "mtd1 isnot exist!\n"},
      {"empty region", "", [](Device& d) { d.set_env("mtd1", "0x20000,0x20000"); }, -84, "MTD_ADDR_ERR"},
      {"region smaller than the payload", "", [](Device& d) { d.set_env("mtd0", "0x0,0x3e7"); }, -84, "MTD_ADDR_ERR"},
      {"no flash device", "", [](Device& d) { d.missing_mtd = 1; }, -83, "MTD_ADDR_ERR", "/dev/mtd1 open failed!\n"},
      // mtd1 of 96 KiB: its erase units cover it exactly, or run past it.
      {"96 KiB region of 32 KiB units", "", odd_mtd1("0x20000,0x38000", 0x18000, "erasesize 32768\n"), 0, ""},
      {"96 KiB region of 64 KiB units", "", odd_mtd1("0x20000,0x38000", 0x18000, ""), -84, "MTD_ADDR_ERR"},
      {"96 KiB region of 64 KiB units in a larger device", "", odd_mtd1("0x20000,0x38000", 0x20000, ""), 0, ""},
      // Whole units past the device: left to the burn, after the layout step.
      {"128 KiB region in a 64 KiB device", "", odd_mtd1("0x20000,0x40000", 0x10000, ""), 0, ""},
      {"another board", "--set rom.device_id=60", {}, -95, "MACHINE_ID_ERR",
       "hardware_version:3b prom_header->device_id:3c\n"},
      {"forced ROM, another board", "--set rom.process_type=1 --set rom.device_id=60", {}, -95, "MACHINE_ID_ERR"},
      {"forced ROM, match id", "--set rom.process_type=1 --set rom.match_id=3", {}, -94, "MATCH_ID_ERR"},
      // Under key 42 the stream byte at 0x52 descrambles into 0x28; the flip at
      // 0x0A keeps the header's XOR. The plain rom_checksum must win.
      {"descrambled rom_checksum word replaced by the plain one", "--flip 0x52 --flip 0x0A", {}, 0, ""},
      {"empty payload in an empty region", "--set part1.partition_size=0",
       [](Device& d) { d.set_env("mtd1", "0x20000,0x20000"); }, -84, "MTD_ADDR_ERR"},
      {"no partition at all", "", {}, 0, "", "", kEmpty},
      // Board model: byte 0 of the hardware version against the whole device_id word.
      {"board 1 / 53", "--set rom.device_id=53", hwver("1.0.0.0.0.0.0.0"), 0, "", "hardware_version is 1\n"},
      {"board 53 / 1", "--set rom.device_id=1", hwver("53.0.0.0.0.0.0.0"), 0, "", "hardware_version is 1\n"},
      {"board 52 / 55", "--set rom.device_id=55", hwver("52.0.0.0.0.0.0.0"), 0, "", "Upgrade Q60 rom on Q57 device."},
      {"board 55 / 52", "--set rom.device_id=52", hwver("55.0.0.0.0.0.0.0"), -95, "MACHINE_ID_ERR",
       "hardware_version:37 prom_header->device_id:34\n"},
      {"board 1 / 1", "--set rom.device_id=1", hwver("1.0.0.0.0.0.0.0"), 0, ""},
      {"board 53 / 55", "--set rom.device_id=55", hwver("53.0.0.0.0.0.0.0"), -95, "MACHINE_ID_ERR",
       "hardware_version:35 prom_header->device_id:37\n"},
      {"board 59 / 315", "--set rom.device_id=315", hwver("59.0.0.0.0.0.0.0"), -95, "MACHINE_ID_ERR",
       "hardware_version:3b prom_header->device_id:13b\n"},
      // Payloads are checked by whole words: "abc" by none, "abcdef" by "abcd"
      // alone, and neither checksum covers the image's last two bytes, "ef".
      {"payloads under a word", "", {}, 0, "", "", kSmall},
      {"3-byte payload with a checksum", "--set part0.partition_checksum=1", {}, -91, "PART_CHECKSUM_ERR", "", kSmall},
      {"last byte of the image", "--flip 253", {}, 0, "", "", kSmall},
      {"byte 4 of 6 in the data checksum", "--flip 251", {}, -97, "ROM_CHECKSUM_ERR", "", kSmall},
      {"byte 4 of 6 in its payload's", "--set rom.rom_size=0 --flip 251", {}, -91, "PART_CHECKSUM_ERR", "", kSmall},
  };
  const struct { const char* hwver; const char* version; int code; } minimums[] = {
      {"59.0.0.1.0.0.0.0", "1.143.6.199", -74}, {"59.0.0.1.0.0.0.0", "1.143.6.200", 0},
      {"59.0.0.1.0.0.0.0", "1.164.6.199", -74}, {"59.0.0.1.0.0.0.0", "1.144.5.255", -74},
      {"59.0.0.1.0.0.0.0", "1.144.6.0", 0},     {"59.0.0.17.0.0.0.0", "1.144.5.0", -74},
      {"59.0.0.2.0.0.0.0", "1.144.0.0", 0},     {"59.0.0.1.0.0.0.2", "1.144.5.0", -74},
      {"59.0.0.0.0.0.0.1", "1.143.7.255", -74}, {"59.0.0.0.0.0.0.1", "1.143.8.0", 0},
      {"59.0.0.0.0.0.0.1", "1.144.5.199", -74}, {"59.0.0.0.0.0.0.1", "1.144.5.200", 0},
      {"53.0.0.0.0.0.0.1", "1.164.7.0", -74},   {"53.0.0.0.0.0.0.1", "1.100.5.200", 0},
      {"52.0.0.0.0.0.0.1", "1.100.5.199", -74}, {"55.0.0.0.0.0.0.1", "1.144.6.99", -74},
      {"55.0.0.0.0.0.0.1", "1.144.6.100", 0},   {"55.0.0.0.0.0.0.1", "1.145.6.0", 0},
      {"55.0.0.0.0.0.0.1", "1.145.5.255", -74}, {"55.0.0.0.0.0.0.1", "255.144.6.99", -74},
      {"55.0.0.0.0.0.0.0", "1.0.0.0", 0},       {"60.0.0.0.0.0.0.1", "1.0.0.0", 0},
  };
  for (const auto& m : minimums) {
    rows.push_back({std::string("minimum ") + m.hwver + " " + m.version,
                    std::string("--set rom.rom_version=") + m.version + " --set rom.device_id=" +
                        std::to_string(atoi(m.hwver)),
                    hwver(m.hwver), m.code, ""});
  }
  // Match id: the low nibble of byte 4 must be listed; romtool's default lists 0 to 15.
  const std::string any_match = std::string(kBase).replace(std::string(kBase).find("match_id = 0\n"), 13, "");
  const struct { int hw4; const char* ids; int code; } matches[] = {
      {0, "0", 0},  {0, "1,2,3", -94}, {5, "0,5", 0}, {21, "5", 0},     {5, "21", -94},
      {15, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15", 0}, {0, nullptr, 0}, {7, "255", -94},
  };
  for (const auto& m : matches) {
    rows.push_back({"match " + std::to_string(m.hw4) + " in " + (m.ids ? m.ids : "default"),
                    m.ids ? std::string("--set rom.match_id=") + m.ids : "",
                    hwver("59.0.0.0." + std::to_string(m.hw4) + ".0.0.0"), m.code, m.code ? "MATCH_ID_ERR" : "",
                    m.code ? "match_id:" + std::to_string(m.hw4 & 15) + "\n" : "", any_match});
  }
  for (const Refusal& r : rows) {
    SCOPED_TRACE(r.name);
    SyslogCapture cap;
    EXPECT_EQ(r.code, run(r.device, r.args, r.description).code);
    EXPECT_EQ(r.report.empty() ? std::vector<std::string>{} : std::vector{"UPD_MSG_" + r.report + "\n"}, reports(cap));
    if (!r.log.empty()) {
      EXPECT_TRUE(cap.has(r.log, 3)) << r.log;
    } else if (r.code == 0) {
      EXPECT_TRUE(cap.messages(3).empty());
    }
    if (r.code == -74) { EXPECT_FALSE(cap.has("upgrader_softversion_check!\n")); }  // refused before the environment
  }
}

TEST_F(RomCheck, ProtectionRulesAndTheVariablesTheyWrite) {
  struct Row {
    const char* name;
    int header_size;
    const char *e_oem, *e_mid, *e_prot;  // the device's variables, null: absent
    uint32_t r_oem, r_mid, r_prot;
    int code;
    std::vector<std::string> writes;
  } rows[] = {
      {"older header, protected", 127, "5", "0", "1", 5, 0, 0, -77, {}},
      {"header 132 counts as older", 132, "5", "0", "1", 5, 0, 1, -77, {}},
      {"older header, protection 2", 127, "5", "0", "2", 5, 1, 0, 0, {"MID_VERSION 1\n"}},
      {"mid on mid, other OEM", 128, "6", "1", "0", 5, 1, 0, -78, {}},
      {"mid on mid, same OEM", 128, "5", "1", "1", 5, 1, 0, 0, {}},
      {"protected, mid ROM, same OEM", 128, "5", "0", "1", 5, 1, 0, 0, {"SW_protect 0\n", "MID_VERSION 1\n"}},
      {"protected, mid ROM, other OEM", 128, "5", "0", "1", 6, 1, 0, -76, {}},
      {"protected, plain ROM, other OEM", 128, "5", "0", "1", 6, 0, 1, -76, {}},
      {"protected, plain ROM not protected", 128, "5", "0", "1", 5, 0, 0, -76, {}},
      {"protected, protected ROM", 128, "5", "0", "1", 5, 0, 1, 0, {}},
      {"protected mid device, plain protected ROM", 128, "5", "1", "1", 5, 0, 1, 0, {"MID_VERSION 0\n"}},
      {"unprotected, mid ROM, same OEM", 128, "5", "0", "0", 5, 1, 0, 0,
       {"SW_protect 1\n", "SW_OEM 5\n", "MID_VERSION 1\n"}},
      {"unprotected, mid ROM, no OEM yet", 128, "0", "0", "0", 9, 1, 1, 0,
       {"SW_protect 1\n", "SW_OEM 9\n", "MID_VERSION 1\n"}},
      {"unprotected, mid ROM, other OEM", 128, "3", "0", "0", 9, 1, 0, -75, {}},
      {"unprotected, protected ROM", 128, "3", "0", "0", 3, 0, 1, -75, {}},
      {"unprotected mid device, plain ROM", 128, "3", "1", "0", 7, 0, 0, 0, {"SW_OEM 7\n", "MID_VERSION 0\n"}},
      {"no variables at all", 128, nullptr, nullptr, nullptr, 4, 0, 0, 0, {"SW_OEM 4\n"}},
      {"OEM above 2^31 round trips", 128, "-1", "1", "0", 0xFFFFFFFFu, 1, 0, 0, {}},
      {"OEM above 2^31 written as %d", 128, "0", "0", "0", 0xFFFFFFFEu, 0, 0, 0, {"SW_OEM -2\n"}},
  };
  rom_check_hooks hooks = rom_check_device_hooks;
  hooks.set_env_value = recording_set_env;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto device = [&](Device& d) {
      d.set_env("SW_OEM", r.e_oem);
      d.set_env("MID_VERSION", r.e_mid);
      d.set_env("SW_protect", r.e_prot);
    };
    std::string args = "--set rom.rom_header_size=" + std::to_string(r.header_size) + " --set rom.oem_id=" +
                       std::to_string(r.r_oem) + " --set rom.mid_version=" + std::to_string(r.r_mid) +
                       " --set rom.sw_protect=" + std::to_string(r.r_prot);
    g_env_writes.clear();
    SyslogCapture cap;
    EXPECT_EQ(r.code, run(device, args, kBase, &hooks).code);
    EXPECT_EQ(r.writes, g_env_writes);
    EXPECT_TRUE(reports(cap).empty());  // the refusals here are not logged
  }
}

// Accepted images (and the same ROM, -86): what decides each partition's flag.
TEST_F(RomCheck, VersionsAndForceFlagsDecideTheFlags) {
  const char* const offered = "1.144.6.100";
  struct Row {
    const char* name;
    const char *mtd0, *rom;  // the installed Mtd0Version and RomVersion, null: absent
    std::string args;
    int code;
    uint32_t flag0, flag1;
    std::vector<std::string> reports;
    std::vector<std::tuple<const char*, int, int>> logged;  // text, level, times (0: never, at any level)
  } rows[] = {
      {"mtd0 installed at the offered version", offered, "1.0.0.1", "", 0, 0, 1, {"UPD_MSG_PART_VERSION_SAME\n"},
       {{"mtdn_version:1.144.6.100 version:1.144.6.100\n", 6, 1}}},
      {"forced partition", offered, "1.0.0.1", "--set part0.process_type=1", 0, 1, 1, {},
       {{"mtd0 force upgrade!\n", 6, 1}}},
      {"forced ROM skips the ROM version", offered, offered, "--set rom.process_type=1", 0, 1, 1, {},
       {{"rom force upgrade!\n", 6, 2}, {"rom force upgrader!\n", 6, 1},
        {"rom_version_cmp:1.144.6.100 rom_version:1.144.6.100\n", 7, 0}}},
      {"same ROM version after the flags and the environment", nullptr, offered, "--set rom.oem_id=8", -86, 1, 1,
       {"UPD_MSG_ROM_VERSION_SAME\n"}, {{"rom_version_cmp:1.144.6.100 rom_version:1.144.6.100\n", 7, 1}}},
      {"same ROM version, the widest text", nullptr, "255.255.255.255",
       "--set rom.oem_id=8 --set rom.rom_version=255.255.255.255", -86, 1, 1, {"UPD_MSG_ROM_VERSION_SAME\n"}, {}},
      {"no RomVersion: a new ROM", nullptr, nullptr, "", 0, 1, 1, {}, {{"RomVersion env isnot exist!\n", 6, 1}}},
      {"older header read as stored", nullptr, "1.0.0.1", "--set rom.rom_header_size=127 --set rom.magic_num2=0", 0,
       1, 1, {}, {{"ignore aes decrypt, invalid rom header size 127.\n", 4, 1}, {"headers size:0xe4\n", 7, 1}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto versions = [&](Device& d) {
      d.root_version = r.mtd0 ? std::string("Mtd0Version=") + r.mtd0 + "\n" : "";
      d.app_version = r.rom ? std::string("RomVersion=") + r.rom + "\n" : "";
    };
    SyslogCapture cap;
    Outcome o = run(versions, r.args);
    EXPECT_EQ(r.code, o.code);
    EXPECT_EQ(flags(o, 2), (std::vector<uint32_t>{r.flag0, r.flag1}));
    EXPECT_EQ(r.reports, reports(cap));
    for (auto [text, level, times] : r.logged)
      EXPECT_EQ(times, times ? cap.count(text, level) : cap.count(text)) << text;
    if (r.code == -86) { EXPECT_EQ("SW_OEM 8\n", read_file("/proc/avalanche/env")); }
  }
}

TEST_F(RomCheck, SixteenPartitionsAreAccepted) {
  // Ten flash partitions, taking turns on mtd0 and mtd1, then six specials of a type nobody extracts.
  std::string desc = kEmpty;
  for (int i = 0; i < 16; ++i) {
    desc += i < 10 ? "[partition]\npartition_id = " + std::to_string(i % 2) + "\n"
                   : "[partition]\npartition_id = 255\npartition_type = 7\n";
    desc += "pattern = " + std::to_string(i + 1) + " 64\n";
  }
  Outcome o = run(nullptr, "", desc);
  ASSERT_EQ(0, o.code);
  EXPECT_EQ(flags(o, 16), (std::vector<uint32_t>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0}));
}

// A flash partition, the three special entries, then another flash partition.
const std::string kWithSpecials = std::string(kEmpty) + "[partition]\npartition_id = 0\npattern = 1 100\n" +
                                  "[partition]\nspecial = mtd_config\ntext = [mtd]\\nmtd0=0x0,0x20000\\n\n" +
                                  "[partition]\nspecial = config_modify\ntext = modify me\n" +
                                  "[partition]\nspecial = tool\npattern = 7 3000\n" +
                                  "[partition]\npartition_id = 1\npattern = 2 100\n";

TEST_F(RomCheck, SpecialEntriesAreExtractedAndTheToolEndsTheCheck) {
  SyslogCapture cap;
  std::string image = build(kWithSpecials, "--set part4.magic_num=0");  // after the tool: never read
  Outcome o = check(image);
  EXPECT_EQ(11, o.code);
  EXPECT_EQ(flags(o, 5), (std::vector<uint32_t>{1, 0, 0, 0, kUntouched}));
  EXPECT_EQ("[mtd]\nmtd0=0x0,0x20000\n", read_file("/tmp/mtd.conf"));
  EXPECT_EQ(1, mtd_config_present);
  EXPECT_EQ("modify me", read_file("/config/config_modify"));
  const partition_header& tool = o.parts[3];
  EXPECT_EQ(image.substr(tool.partition_offset, 3000), read_file("/tmp/upgrader_tool"));
  struct stat st;
  ASSERT_EQ(0, stat("/tmp/upgrader_tool", &st));
  EXPECT_EQ(0777u, st.st_mode & 0777u);
  for (const char* line : {"MTD CONFIG ppartition_addr->partition_type:2\n",
                           "CONFIG MODIFY ppartition_addr->partition_type:3\n", "ppartition_addr->partition_type:1\n",
                           "shellcmd:/tmp/bin/touch /tmp/upgrader_tool\n"})
    EXPECT_TRUE(cap.has(line, 6)) << line;
  EXPECT_FALSE(cap.has("rom_upgrade_check start\n"));
  EXPECT_TRUE(reports(cap).empty());
}

TEST_F(RomCheck, ExistingToolIsKeptAndLongerFilesAreCut) {
  ASSERT_TRUE(write_file("/tmp/upgrader_tool", "older tool"));
  ASSERT_TRUE(write_file("/config/config_modify", std::string(5000, 'x')));
  Outcome o = check(build(kWithSpecials));
  EXPECT_EQ(0, o.code);
  EXPECT_EQ(1u, o.flags[4]);
  EXPECT_EQ("older tool", read_file("/tmp/upgrader_tool"));
  EXPECT_EQ("modify me", read_file("/config/config_modify"));
}

TEST_F(RomCheck, AnEntryThatCannotBeOpenedIsLoggedAndSkipped) {
  ASSERT_EQ(0, shell("mkdir -p /tmp/mtd.conf /config/config_modify"));
  SyslogCapture cap;
  Outcome o = check(build(kWithSpecials, "--set part3.partition_type=9"));  // tool entry ignored
  EXPECT_EQ(0, o.code);
  EXPECT_EQ(0, mtd_config_present);
  EXPECT_TRUE(cap.has("/tmp/mtd.conf open failed!\n", 3));
  EXPECT_TRUE(cap.has("/config/config_modify open failed!\n", 3));
  EXPECT_FALSE(file_exists("/tmp/upgrader_tool"));
  EXPECT_EQ(0u, o.flags[3]);
}

}  // namespace
