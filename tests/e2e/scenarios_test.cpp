// The upgrade, end to end: the real program on the simulated phone, one row
// a scenario. Each row says what the phone is given and what the phone
// shows, writes, logs and sends.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

using Edits = std::vector<std::pair<std::string, std::string>>;
using Messages = std::vector<std::pair<int, int>>;  // (type, first parameter) of broadcasts, in order
using Lines = std::vector<std::pair<int, std::string>>;  // (level, text) that must be logged

constexpr int kErr = 3, kInfo = 6, kDebug = 7;
constexpr unsigned kSaverLockKey = 0xB012, kMemoryLockKey = 0xA130, kProcessLockKey = 0xC002;

// Partition ids of the sample release, in image order.
const std::vector<unsigned> kReleasePartitions = {1, 0, 5, 6};

const char kKeysHeld[] = "[keypad]\nwait_for_reader = yes\n";
const char kRebootKey[] = "[keypad]\nwait_for_reader = yes\nkey = 0 35 1\n";
const char kRebootFails[] = "[reboot]\nworks = no\n";
// Ends a boot whose reboot fails once the program asked for `n` reboots.
std::string poweroff_after_reboots(int n) {
  return "[second]\nat = 0\ncommand = while [ $(grep -c reboot /sim/boot/reboot 2>/dev/null || echo 0) -lt " +
         std::to_string(n) + " ]; do usleep 100000; done; poweroff\n";
}

// The kernel keeps the re-map across reboots; the environment and the
// configuration partitions are filled with 0x33 and 0x44.
const std::pair<std::string, std::string> kMovedToStay = {
    "remap_persists = no", "mtd3 = env fill=0x33\nmtd4 = env fill=0x44\nremap_persists = yes"};

// A run that ends before the write-back moves the windows back to where the
// environment and configuration still are; the next boot starts from there.
void expect_moved_back(const Boot& b) {
  EXPECT_EQ(std::string(0x10000, '\x33'), b.file("/dev/mtd3"));
  EXPECT_EQ(std::string(0x80000, '\x44'), b.file("/dev/mtd4"));
  for (const char* back : {"mtd3 0x90020000 0x10000\n", "mtd4 0x90330000 0x80000\n"})
    EXPECT_NE(std::string::npos, b.file("/sim/boot/windows-after").find(back)) << back;
  if (b.exists("/dev/mtd3.log")) {
    // Put where the environment records them before their copies, moved,
    // and moved back.
    EXPECT_EQ("remap 0x20000 0x10000\nremap 0x7e0000 0x10000\nremap 0x20000 0x10000\n", b.file("/dev/mtd3.log"));
    EXPECT_EQ("remap 0x330000 0x80000\nremap 0x700000 0x80000\nremap 0x330000 0x80000\n", b.file("/dev/mtd4.log"));
  }
}

struct Scenario {
  const char* name;
  // What the phone is given.
  const char* release = "sim/roms/typical-upgrade.desc";  // the ROM's description (source tree)
  std::vector<std::string> rom_set = {};    // romtool --set SECTION.KEY=VALUE
  std::string rom_extra = "";                // more description text (special entries)
  const char* signer = nullptr;              // romtool sign with tests/keys/private/release-NAME.pem
  std::vector<std::pair<long, uint8_t>> tamper = {};  // after signing: (offset, from the end when negative; XOR mask)
  size_t cut = 0;                            // bytes cut from the signed image's end
  Edits edits = {};                          // edits of the typical phone's profile
  std::string profile_extra = "";            // more profile text
  const char* shm_state = nullptr;           // shared-memory mode: the writer's state (command: the program alone)
  std::vector<std::string> options = {};     // more simdev boot options
  std::vector<std::string> command = {};     // empty: /basic/bin/upgrader /data/rom.bin
  // What the phone shows, writes, logs and sends.
  std::string end = "reboot";
  std::vector<unsigned> burnt = {};          // written with their payloads; all others stay erased
  std::vector<unsigned> flashes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};  // the partitions so checked
  Messages broadcasts = {};
  std::string failure_text = "";             // the failure screen's text, when one is shown
  Lines logs = {};
  int killapps = -1;                         // runs of the applications' stop script (-1: not checked)
  int reboots = -1;                          // reboot requests (-1: not checked)
  std::vector<std::string> board = {"?"};    // lines of /dev/misc0 ({"?"}: not checked)
  std::vector<std::string> absent = {};      // never logged
  std::vector<std::string> once = {};        // logged exactly once
  std::vector<std::pair<unsigned, std::string>> semaphores = {};  // a set's values at the end of the boot
  std::vector<std::pair<std::string, std::string>> holds = {};  // (file, a text it contains)
  int frames = -1;                                              // frames captured (-1: not checked)
  std::vector<std::pair<int, const char*>> goldens = {};       // (frame, counted back from the last when <= 0; golden)
  std::function<void(const Boot&, const std::string& rom)> more = nullptr;
  int timeout = 90;
};

// Frames captured before the boot's first reboot request: times in ms
// since the boot began, "N TIME SIZE" in the index and "TIME reboot".
int frames_before_the_first_reboot(const Boot& b) {
  double first = 1e300;
  (void)sscanf(b.file("/sim/boot/reboot").c_str(), "%lf", &first);
  std::istringstream index(b.file("/sim/boot/frames/index"));
  int n = 0;
  double at = 0;
  for (std::string line; std::getline(index, line);) n += sscanf(line.c_str(), "%*d %lf", &at) == 1 && at < first;
  return n;
}

const std::string kWrongBoard = "rom.device_id=58";  // refused with -95

// Regions that are not whole 64 KiB blocks: the kernel (mtd1, 1 MiB) comes
// first in the release, then the boot loader (mtd2) and mtd7 (the profile
// makes them 48 KiB and 96 KiB where a row says so).
const char kOddRegions[] = "tests/e2e/odd-regions.desc";
const std::vector<unsigned> kOddRegionPartitions = {1, 2, 7};
const std::pair<std::string, std::string> kMtd7Of96K = {"mtd7 = 0x907b0000,0x907d0000", "mtd7 = 0x907b0000,0x907c8000"};

// Release keys on the phone (tests/keys/release-NAME.pem).
const char kKeyA[] = "[keys]\nrelease-a = @KEYS@/release-a.pem\n";
const char kKeysAB[] = "[keys]\nrelease-a = @KEYS@/release-a.pem\nrelease-b = @KEYS@/release-b.pem\n";
// Key ids (the first 8 bytes of SHA-256 of the raw key) as openssl gives them.
const char kSignedByA[] = "release signed by key d7798f98beb6dce6\n";
const char kSignedByB[] = "release signed by key c1e7edd318620490\n";
const char kTool[] = "\n[partition]\nspecial = tool\nfile = @PROGRAM@\n";

// Refused by the signature before anything the phone cannot take back:
// nothing extracted, written, erased or re-mapped, no (4, 2), the
// applications left running; the failure screen names the code.
Scenario signature_refused(const char* name, const char* why, const char* signer,
                           std::vector<std::pair<long, uint8_t>> tamper = {}, size_t cut = 0) {
  return {.name = name, .signer = signer, .tamper = tamper, .cut = cut,
          .profile_extra = std::string(kKeyA) + kRebootKey, .broadcasts = {{4, 1}, {3, 0}},
          .failure_text = "Rom check Failed!",
          .logs = {{kErr, std::string("release signature refused: ") + why + "\n"},
                   {kErr, "rom pack check failed! ID:-70\n"}},
          .killapps = 0, .absent = {"upgrader_softversion_check!", "mtd_config"},
          .goldens = {{1, "failed_signature"}}};
}

const Scenario kScenarios[] = {
    // --- success ---
    {.name = "file_mode_success", .burnt = kReleasePartitions, .broadcasts = {{4, 2}},
     .logs = {{kDebug, "locked upgrader_process"}, {kDebug, "locked burn_flash_semid"}, {kInfo, "kernel_support is :1 \n"}},
     .killapps = 1, .board = {"watchdog 0"},  // the reboot came before the re-arm
     .more = [](const Boot& b, const std::string&) {
       EXPECT_FALSE(b.exists("/config/upgrader_autop"));
       EXPECT_GT(b.frames, 20);
     }},
    {.name = "shared_memory_ordinary", .shm_state = "0", .burnt = kReleasePartitions, .broadcasts = {{4, 2}},
     .logs = {{kDebug, "locked memory_semid"}, {kInfo, "config_deleteLineKey8 excute"}}, .killapps = 1,
     // The replaced version 59.1.2.3 gathers the configuration for the provisioning retry.
     .holds = {{"/config/autop_retry_save.cfg", "Config.Autoprovision.Reboot.Enable = 1 "}},
     .more = [](const Boot& b, const std::string&) { EXPECT_FALSE(b.exists("/config/upgrader_autop")); }},
    {.name = "shared_memory_autoprovision", .shm_state = "1", .burnt = kReleasePartitions, .broadcasts = {{4, 2}},
     .killapps = 1},
    {.name = "shared_memory_keeps_applications", .shm_state = "2", .burnt = kReleasePartitions,
     .broadcasts = {{4, 2}}, .killapps = 0},
    {.name = "shared_memory_state_minus_3_runs_as_2", .shm_state = "-3", .burnt = kReleasePartitions,
     .broadcasts = {{4, 2}}, .killapps = 0},
    {.name = "direct_mode", .command = {"/basic/bin/upgrader", "/data/rom.bin", "direct"},
     .burnt = kReleasePartitions, .logs = {{kInfo, "rom upgrader completed!"}}, .killapps = 1,
     .board = {}, .absent = {"wait lock upgrader_process"}},  // the watchdog is left alone
    {.name = "same_version_reboots_then_goes_on", .edits = {{"RomVersion = 59.1.2.3", "RomVersion = 59.1.6.10"}},
     .profile_extra = std::string(kRebootFails) + poweroff_after_reboots(2), .end = "poweroff",
     // The bar climbs to 100 and a reboot is asked for; when the phone is
     // still alive 10 s later the watchdog is re-armed and the upgrade goes on.
     .flashes = {}, .broadcasts = {{4, 2}}, .logs = {{kDebug, "locked burn_flash_semid"}}, .reboots = 2,
     .board = {"watchdog 0", "watchdog 1"}, .goldens = {{10, "progress_100"}},
     // The bar before the first request: 15, 25 .. 95 and 100, a frame each.
     .more = [](const Boot& b, const std::string&) { EXPECT_EQ(10, frames_before_the_first_reboot(b)); }},
    {.name = "hand_over_to_the_tool_in_the_rom", .rom_extra = "\n[partition]\nspecial = tool\nfile = @PROGRAM@\n",
     .shm_state = "0", .burnt = kReleasePartitions, .broadcasts = {{4, 2}},
     .logs = {{kDebug, "upgrader_tool_check /tmp/upgrader_tool exist"}, {kDebug, "locked upgrader_tool_process"},
              {kDebug, "locked upgrader_process"}},
     .once = {"locked burn_flash_semid"},
     .more = [](const Boot& b, const std::string&) {
       // The first driver hands over before anything is written; the tool,
       // started under its own path, runs the whole sequence.
       EXPECT_LT(b.find("upgrader_tool_check /tmp/upgrader_tool exist"), b.find("locked upgrader_tool_process"));
     }},
    {.name = "layout_change_writes_back_env_and_config", .rom_extra = kMovedLayout,
     .edits = {{"remap = yes", "remap = yes\nmtd3 = env fill=0x33\nmtd4 = env fill=0x44"}},
     .burnt = kReleasePartitions, .flashes = {}, .broadcasts = {{4, 2}},
     .logs = {{kDebug, "mtd_config"}, {kDebug, "mtd_diffrent_deal mtd3"}, {kDebug, "mtd_diffrent_deal mtd4"},
              {kDebug, "mtd_write :4 \n"}, {kDebug, "mtd_write :3 \n"}},
     // Both partitions are copied once, before the first re-map.
     .once = {"shellcmd:/tmp/bin/cat /dev/mtdblock/3 > /tmp/mtdblock3",
              "shellcmd:/tmp/bin/cat /dev/mtdblock/4 > /tmp/mtdblock4"},
     .holds = {{"/dev/mtd3.log", "remap 0x7e0000 0x10000"}, {"/dev/mtd4.log", "remap 0x700000 0x80000"}},
     .more = [](const Boot& b, const std::string& rom) {
       // The kernel moved the windows (and the block devices with them).
       std::string windows = b.file("/sim/boot/windows-after");
       for (const char* moved : {"mtd3 0x907e0000 0x10000\n", "mtd4 0x90700000 0x80000\n", "mtd6 0x904b0000 0x250000\n",
                                 "mtdblock/3 0x907e0000 0x10000\n", "mtdblock/4 0x90700000 0x80000\n"})
         EXPECT_NE(std::string::npos, windows.find(moved)) << moved << windows;
       EXPECT_LT(b.find("shellcmd:/tmp/bin/cat /dev/mtdblock/4 > /tmp/mtdblock4"), b.find("offset:7e0000 size:10000"));
       // Both saved partitions are back in their new places, whole: what the
       // chip holds there now (the places held erased flash before).
       EXPECT_EQ(std::string(0x10000, '\x33'), b.file("/dev/mtd3"));
       EXPECT_EQ(std::string(0x80000, '\x44'), b.file("/dev/mtd4"));
       EXPECT_EQ(std::string(0x10000, '\x33'), b.file("/dev/mtd8").substr(0x10000));
       std::string p6 = payload_of(rom, 6);
       EXPECT_EQ(p6, b.file("/dev/mtd6").substr(0, p6.size()));
     }},
    // Each region is erased in the device's own units, which cover it.
    {.name = "region_of_96k_in_32k_units", .release = kOddRegions,
     .edits = {{"erase_size = 65536", "erase_size = 32768"}, kMtd7Of96K}, .burnt = kOddRegionPartitions,
     .broadcasts = {{4, 2}}, .absent = {"UPD_MSG_MTD_ADDR_ERR"}},
    {.name = "region_of_48k_in_8k_boot_sectors", .release = kOddRegions,
     .edits = {{"mtd2 = 0x90000000,0x90020000", "mtd2 = 0x90000000,0x9000c000"},
               {"erase_size = 65536", "erase_size = 65536\nregion = 0x90000000 0x10000 0x2000"}},
     .burnt = kOddRegionPartitions, .broadcasts = {{4, 2}}},
    // 64 KiB units cannot erase 96 KiB within the device: refused by the
    // check, before the kernel's partition is written.
    {.name = "region_the_units_cannot_cover_is_refused_by_the_check", .release = kOddRegions, .edits = {kMtd7Of96K},
     .profile_extra = kRebootKey, .broadcasts = {{4, 1}, {3, 0}}, .failure_text = "Rom check Failed!",
     .logs = {{kErr, "rom pack check failed! ID:-84"}, {kErr, "UPD_MSG_MTD_ADDR_ERR"}}, .killapps = 0},
    {.name = "kernel_without_remap_writes_partition_1_only", .rom_extra = kMovedLayout,
     .edits = {{"remap = yes", "remap = no"}}, .burnt = {1}, .broadcasts = {{4, 2}},
     .logs = {{kInfo, "kernel_support is :0 \n"}, {kInfo, "kernel_support is UNAVAILABLE"}}},

    // --- failures of the sequence: screen, detail, messages ---
    {.name = "rom_refused_shows_rom_check_failed", .rom_set = {kWrongBoard}, .profile_extra = kRebootKey,
     .broadcasts = {{4, 1}, {3, 0}}, .failure_text = "Rom check Failed!",
     .logs = {{kErr, "rom pack check failed! ID:-95"}, {kErr, "UPD_MSG_MACHINE_ID_ERR"}}},
    {.name = "minimum_version_refusal_shows_upgrade_failed", .rom_set = {"rom.rom_version=59.1.5.0"},
     .profile_extra = kRebootKey, .broadcasts = {{4, 1}, {3, 0}}, .failure_text = "Upgrade Failed!",
     .logs = {{kErr, "rom pack check failed! ID:-74"}},
     // On the glass: the failure screen with its detail code, then, after the
     // Reboot key, the notice.
     .frames = 2, .goldens = {{1, "failed_id"}, {2, "notice"}}},
    {.name = "applications_that_do_not_stop", .profile_extra = kRebootKey, .options = {"--killapps-exit", "1"},
     .broadcasts = {{4, 2}, {4, 3}, {3, 0}}, .failure_text = "Killapps Failed!", .logs = {{kErr, "killapps failed!"}},
     .absent = {"wait lock burn_flash_semid"},
     .semaphores = {{kSaverLockKey, "1"}}},  // the configuration lock, taken and given back
    // mtd1 comes first in the image and is written; mtd0 fails; mtd5 and mtd6 stay erased.
    {.name = "erase_failure", .profile_extra = std::string(kRebootKey) + "[faults]\nmtd0 = fail erase 2\n",
     .burnt = {1}, .flashes = {1, 5, 6}, .broadcasts = {{4, 2}, {4, 4}, {3, 0}}, .failure_text = "Burn Flash Failed!",
     .logs = {{kErr, "burn flash failed!"}, {kErr, "UPD_MSG_FLASH_ERASE_ERR"}}, .semaphores = {{kSaverLockKey, "1"}},
     .goldens = {{-1, "burn_failed_82"}}},  // the failure screen names the erase's code, -82
    {.name = "write_failure", .profile_extra = std::string(kRebootKey) + "[faults]\nmtd5 = fail write 1\n",
     .burnt = {0}, .flashes = {0, 6}, .broadcasts = {{4, 2}, {4, 4}, {3, 0}}, .failure_text = "Burn Flash Failed!",
     .logs = {{kErr, "UPD_MSG_FLASH_WRITE_ERR"}}},
    {.name = "write_back_failure", .rom_extra = kMovedLayout,
     .edits = {{"remap = yes", "remap = yes\nmtdblock3 = 32K"}}, .profile_extra = kRebootKey, .flashes = {},
     .broadcasts = {{4, 2}, {3, 0}}, .failure_text = "Burn Flash Failed!",
     .logs = {{kDebug, "env mtd_write failed!"}}},
    {.name = "missing_shared_state", .profile_extra = kRebootKey, .command = {"/basic/bin/upgrader"},
     .broadcasts = {{3, 0}}, .failure_text = "Get shm Failed!"},
    {.name = "failed_load_of_the_rom", .profile_extra = kRebootKey, .shm_state = "0", .options = {"--shm-fail"},
     .broadcasts = {{3, 0}}, .failure_text = "Load Rom Failed!", .logs = {{kInfo, "upgrader_state is failed"}}},
    // A failed load of a provisioning request: the countdown screen, and the
    // Reboot key still works.
    {.name = "failed_load_of_a_provisioning_rom", .profile_extra = kRebootKey, .shm_state = "1",
     .options = {"--shm-fail"}, .broadcasts = {{3, 0}},
     .logs = {{kInfo, "upgrader_state is failed"}, {kDebug, "Do ShowUpgradingAutop2FailedInfoWithID"}},
     .timeout = 200},

    // --- the failure screen and the countdown ---
    {.name = "release_and_other_keys_do_not_reboot", .rom_set = {kWrongBoard},
     .profile_extra = std::string(kKeysHeld) + "key = 0 35 0\nkey = 0 20 1\nkey = 0 35 2\n", .end = "timeout",
     .broadcasts = {{4, 1}, {3, 0}}, .failure_text = "Rom check Failed!", .reboots = 0, .timeout = 20},
    {.name = "autoprovision_countdown_reboots_and_asks_again", .rom_set = {kWrongBoard},
     // Another key pressed during the countdown changes nothing.
     .profile_extra = std::string(kRebootFails) + poweroff_after_reboots(2) + kKeysHeld + "key = 20 20 1\nkey = 20 20 0\n",
     .shm_state = "1", .end = "poweroff", .broadcasts = {{4, 1}, {3, 0}},
     .logs = {{kDebug, "Do ShowUpgradingAutop2FailedInfoWithID"}}, .reboots = 2,
     // Off for the upgrade, re-armed once after the first reboot request
     // (the second ends the boot).
     .board = {"watchdog 0", "watchdog 1"},
     .semaphores = {{kMemoryLockKey, "1"}},  // given back after the failure
     // 60 .. 1, a reboot that fails, 0 and the second reboot: one frame for
     // each value, each different from every other, then the notice.
     .frames = 63, .goldens = {{61, "notice"}, {63, "notice"}},
     .more = [](const Boot& b, const std::string&) {
       EXPECT_EQ(61, b.count("Do ShowUpgradingAutop2FailedInfoWithID"));
       std::set<std::vector<uint8_t>> values;
       for (int n = 1; n <= 60; ++n) values.insert(b.frame(n));
       values.insert(b.frame(62));
       EXPECT_EQ(61u, values.size());
     }, .timeout = 200},

    // --- signed releases ---
    {.name = "signed_release_installs", .signer = "a", .profile_extra = kKeyA, .burnt = kReleasePartitions,
     .broadcasts = {{4, 2}}, .logs = {{kInfo, kSignedByA}}, .killapps = 1},
    {.name = "two_keys_either_signer_a", .signer = "a", .profile_extra = kKeysAB, .burnt = kReleasePartitions,
     .broadcasts = {{4, 2}}, .logs = {{kInfo, kSignedByA}}},
    {.name = "two_keys_either_signer_b", .signer = "b", .profile_extra = kKeysAB, .burnt = kReleasePartitions,
     .broadcasts = {{4, 2}}, .logs = {{kInfo, kSignedByB}}},
    // A phone without keys reads a signed image as the unsigned one.
    {.name = "no_key_installs_a_signed_release", .signer = "a", .burnt = kReleasePartitions, .broadcasts = {{4, 2}},
     .absent = {kSignedByA}},
    [] {
      Scenario s = signature_refused("unsigned_release_on_a_phone_with_keys", "no signature block after the data area",
                                     nullptr);
      s.rom_extra = kMovedLayout;  // a layout change that is never made
      s.edits = {kMovedToStay};
      s.flashes = {0, 1, 2, 5, 6, 7, 8, 9};  // mtd3 and mtd4 hold the environment and configuration
      s.more = [](const Boot& b, const std::string&) { expect_moved_back(b); };
      return s;
    }(),
    signature_refused("rom_header_byte_changed_after_signing", "signature does not match the image", "a", {{0x7D, 1}}),
    signature_refused("partition_header_byte_changed_after_signing", "signature does not match the image", "a",
                      {{140 + 0x1C, 1}}),
    signature_refused("payload_byte_changed_after_signing", "signature does not match the image", "a",
                      {{0x100000, 0x80}}),
    signature_refused("signature_byte_changed", "signature does not match the image", "a", {{-1, 0x20}}),
    signature_refused("rom_size_changed_after_signing", "no signature block after the data area", "a", {{0x24, 4}}),
    signature_refused("signed_length_changed", "signed length is not the data area's end", "a", {{-76, 1}}),
    signature_refused("signature_block_cut_short", "signature block cut short", "a", {}, 1),
    signature_refused("signed_by_a_key_the_phone_lacks", "signed by a key this phone does not hold", "b"),
    [] {
      Scenario s = signature_refused("unsigned_tool_is_neither_extracted_nor_run", "no signature block after the data area",
                                     nullptr);
      s.rom_extra = kTool;
      s.shm_state = "0";
      s.absent.push_back("upgrader_tool_check /tmp/upgrader_tool exist");
      s.more = [](const Boot& b, const std::string&) { EXPECT_FALSE(b.exists("/tmp/upgrader_tool")); };
      return s;
    }(),
    // The tool carried by a signed release checks the signature again.
    {.name = "signed_release_hands_over_to_its_tool", .rom_extra = kTool, .signer = "a", .profile_extra = kKeyA,
     .shm_state = "0", .burnt = kReleasePartitions, .broadcasts = {{4, 2}},
     .logs = {{kDebug, "upgrader_tool_check /tmp/upgrader_tool exist"}, {kDebug, "locked upgrader_tool_process"}},
     .more = [](const Boot& b, const std::string&) { EXPECT_EQ(2, b.count(kSignedByA)); }},
    {.name = "direct_mode_refuses_an_unsigned_release", .profile_extra = kKeyA,
     .command = {"/basic/bin/upgrader", "/data/rom.bin", "direct"}, .end = "exit 62",  // -194
     .logs = {{kErr, "release signature refused: no signature block after the data area\n"},
              {kErr, "rom pack check failed!\n"}},
     .killapps = 0, .board = {}},
    // Another process rewrites the ROM file once its signature was checked:
    // what is burnt is what was checked.
    {.name = "rom_file_rewritten_after_the_signature_check", .signer = "a",
     .profile_extra = std::string(kKeyA) + "[second]\nat = 0\ncommand = while ! grep -q 'release signed by key' "
                      "/sim/boot/messages; do usleep 10000; done; "
                      "dd if=/dev/zero of=/data/rom.bin bs=65536 seek=1 count=16 conv=notrunc\n",
     .burnt = kReleasePartitions, .broadcasts = {{4, 2}}, .holds = {{"/sim/boot/second", " exit 0\n"}}},

    // --- exits before the ROM is in hand, and locks ---
    {.name = "state_5_shows_nothing_and_returns_the_step_code", .rom_set = {kWrongBoard}, .shm_state = "5",
     .end = "exit 63",  // -193
     .broadcasts = {{4, 1}}, .logs = {{kDebug, "upgrader_state:5"}}},
    {.name = "three_arguments", .command = {"/basic/bin/upgrader", "a", "b", "c"},
     .end = "exit 56",  // -200
     .logs = {{kInfo, "\nusage: /basic/bin/upgrader  or  /basic/bin/upgrader rom_file\n"}}},
    {.name = "wrong_program_path", .options = {"--install", "@PROGRAM@:/usr/bin/upgrader"},
     .command = {"/usr/bin/upgrader", "/data/rom.bin"}, .end = "exit 0", .logs = {{kDebug, "upgrader path error"}},
     .board = {"watchdog 0"}, .absent = {"wait lock upgrader_process"}},
    {.name = "missing_rom_file", .command = {"/basic/bin/upgrader", "/data/none.bin"},
     .end = "exit 60",  // -196
     .logs = {{kErr, "/data/none.bin File open failed!"}, {kDebug, "locked upgrader_process"}}},
    {.name = "rom_file_that_cannot_be_mapped",
     .command = {"/bin/sh", "-c", "touch /data/empty.bin && exec /basic/bin/upgrader /data/empty.bin"},
     .end = "exit 61",  // -195
     .logs = {{kErr, "memory map failed!"}}},
    // The second starts while the first checks the ROM with the tools it
    // copied to /tmp/bin. A directory in /bin where /tmp/bin has a file makes
    // any copy of /bin over them fail, and show.
    {.name = "second_upgrader_stops_at_the_process_lock",
     .profile_extra = "[second]\nat = 0\ncommand = while [ ! -s /tmp/avalanche_env_file ]; do usleep 10000; done; "
                      "touch /tmp/bin/in_the_way; mkdir /bin/in_the_way; exec /basic/bin/upgrader /data/rom.bin\n",
     .burnt = kReleasePartitions, .broadcasts = {{4, 2}}, .logs = {{kErr, "lock upgrader_process failed"}},
     .absent = {"copy_bins failed!"}, .once = {"locked upgrader_process"}},
    // The saver holds its lock from before the program starts and gives it
    // back while the program still tries (ten tries a second apart). The
    // program takes it before it stops the applications and, in file mode,
    // gives it back only after its reboot request, which ends the boot.
    {.name = "configuration_saver_holding_its_lock",
     // Sees whether the saver had given the lock back when the applications were stopped.
     .profile_extra = "[second]\nat = 0\ncommand = while [ ! -s /sim/boot/killapps ]; do usleep 10000; done; "
                      "grep -q ' released' /sim/boot/saver\n",
     .options = {"--saver", "0.3"}, .burnt = kReleasePartitions, .broadcasts = {{4, 2}}, .killapps = 1,
     .absent = {"cfg_semid:0"}, .holds = {{"/sim/boot/saver", " released\n"}, {"/sim/boot/second", " exit 0\n"}},
     .more = [](const Boot& b, const std::string&) {
       // The ready profile's other sets come first: the saver's id is not 0.
       int id_lines = 0;
       for (const LogEntry& e : b.log) id_lines += e.level == kDebug && e.message.rfind("cfg_semid:", 0) == 0;
       EXPECT_EQ(1, id_lines);
       EXPECT_EQ("0", b.semaphore_values(kSaverLockKey));
     }},
    // Without the profile's sets the saver's set is the boot's first: id 0,
    // a lock like any other.
    {.name = "configuration_lock_with_id_0", .edits = {{"sem_sets = 3\n", ""}}, .options = {"--saver", "0.3"},
     .burnt = kReleasePartitions, .broadcasts = {{4, 2}}, .logs = {{kDebug, "cfg_semid:0\n"}},
     .semaphores = {{kSaverLockKey, "0"}}},  // taken, and kept past the reboot request
    {.name = "flash_lock_already_taken", .profile_extra = std::string(kRebootFails) +
                      "[second]\nat = 0\ncommand = while ! grep -q reboot /sim/boot/reboot 2>/dev/null; "
                      "do usleep 100000; done; cp /basic/bin/upgrader /tmp/upgrader_tool && /tmp/upgrader_tool "
                      "/data/rom.bin\n",
     .end = "exit 0", .flashes = {}, .broadcasts = {{4, 2}, {4, 2}},
     // The second driver stopped the applications, then found the flash taken.
     .logs = {{kErr, "lock burn_flash_semid failed"}, {kDebug, "locked upgrader_tool_process"}}, .killapps = 2,
     .once = {"locked burn_flash_semid"}},
    {.name = "fatal_signal", .rom_set = {kWrongBoard},
     .profile_extra = "[second]\nat = 0\ncommand = while ! grep -q 'Do ShowUpgradingFailedInfo' /sim/boot/messages; "
                      "do usleep 100000; done; kill -INT $(pidof upgrader)\n",
     .end = "exit 0", .broadcasts = {{4, 1}, {3, 0}}, .failure_text = "Rom check Failed!",
     .more = [](const Boot& b, const std::string&) {
       bool caught = false;
       for (const LogEntry& e : b.log)
         caught = caught || (e.level == kErr && e.message.rfind("Catch a signal SIGINT, thread id ", 0) == 0);
       EXPECT_TRUE(caught);
     }},

    // --- sound behaviour where a plain reading would lose data or hang ---
    {.name = "countdown_reboots_without_a_key_device", .rom_set = {kWrongBoard}, .shm_state = "1",
     .command = {"/bin/sh", "-c", "rm -f /dev/input/event0; exec /basic/bin/upgrader"},
     .broadcasts = {{4, 1}, {3, 0}}, .logs = {{kDebug, "Do ShowUpgradingAutop2FailedInfoWithID"}}, .reboots = 1,
     .holds = {{"/sim/boot/console", "failed to open \n: No such file or directory"}}, .timeout = 200},
    // Switching the watchdog off fails twice; the third of its tries works.
    {.name = "watchdog_off_works_at_the_third_try", .profile_extra = "[faults]\nmisc0 = fail watchdog 2\n",
     .burnt = kReleasePartitions, .broadcasts = {{4, 2}},
     .board = {"fail watchdog 2", "failed watchdog", "failed watchdog", "watchdog 0"}},
    // All three tries fail: the failure screen, and the process lock, taken
    // at start-up, is free again for another driver.
    {.name = "watchdog_that_stays_on_gives_the_process_lock_back",
     .profile_extra = std::string(kRebootKey) + "[faults]\nmisc0 = fail watchdog 3\n",
     .broadcasts = {{3, 0}}, .failure_text = "Upgrade Failed!", .logs = {{kDebug, "upgrader_state:0\n"}},
     .board = {"fail watchdog 3", "failed watchdog", "failed watchdog", "failed watchdog"},
     .absent = {"wait lock upgrader_process"}, .semaphores = {{kProcessLockKey, "1"}}},
    {.name = "rom_path_that_is_a_fifo",
     .command = {"/bin/sh", "-c", "mkfifo /data/rom.fifo && exec /basic/bin/upgrader /data/rom.fifo"},
     .end = "exit 61",  // -195
     .logs = {{kErr, "memory map failed!"}}, .timeout = 30},
    {.name = "same_version_moves_the_environment_back_before_its_reboot", .rom_extra = kMovedLayout,
     .edits = {{"RomVersion = 59.1.2.3", "RomVersion = 59.1.6.10"},
               kMovedToStay},
     .flashes = {}, .broadcasts = {{4, 2}}, .absent = {"locked burn_flash_semid"},
     .more = [](const Boot& b, const std::string&) { expect_moved_back(b); }},  // nothing is written back first
    {.name = "failure_screen_after_a_move_moves_the_environment_back", .rom_extra = kMovedLayout,
     .edits = {kMovedToStay}, .profile_extra = kRebootKey, .options = {"--killapps-exit", "1"},
     .flashes = {}, .broadcasts = {{4, 2}, {4, 3}, {3, 0}}, .failure_text = "Killapps Failed!",
     .more = [](const Boot& b, const std::string&) { expect_moved_back(b); }},
};

// @PROGRAM@: the program under test; @KEYS@: the test keys' folder.
std::string substitute(std::string text) {
  for (size_t at; (at = text.find("@PROGRAM@")) != std::string::npos;) text.replace(at, 9, paths().program);
  for (size_t at; (at = text.find("@KEYS@")) != std::string::npos;) text.replace(at, 6, paths().source + "/tests/keys");
  return text;
}

// The scenario's ROM as signed and then changed; "" when romtool failed.
std::string signed_and_tampered(const Scenario& s, std::string rom) {
  if (s.signer) rom = sign_rom(rom, s.signer);
  if (rom.empty() || (s.tamper.empty() && s.cut == 0)) return rom;
  std::string image = read_file(rom);
  for (auto [at, mask] : s.tamper) {
    size_t index = at < 0 ? image.size() + at : static_cast<size_t>(at);
    if (index >= image.size()) return "";  // the release is smaller than the row thinks
    image[index] ^= mask;
  }
  image.resize(image.size() - s.cut);
  rom += ".changed";
  return write_file(rom, image) ? rom : "";
}

class Upgrade : public ::testing::TestWithParam<Scenario> {};

TEST_P(Upgrade, Scenario) {
  const Scenario& s = GetParam();
  std::vector<std::string> rom_options;
  for (const std::string& set : s.rom_set) rom_options.insert(rom_options.end(), {"--set", set});
  std::string release = read_file(paths().source + "/" + s.release);
  std::string rom = signed_and_tampered(s, build_rom(s.name, release + substitute(s.rom_extra), rom_options));
  ASSERT_FALSE(rom.empty()) << "romtool could not build the scenario's ROM";

  BootRequest r;
  r.name = s.name;
  r.profile = profile(s.edits, substitute(s.profile_extra));
  r.rom_path = rom;
  if (s.shm_state) r.options = {"--shm", "/data/rom.bin", "--shm-state", s.shm_state};
  for (const std::string& o : s.options) r.options.push_back(substitute(o));
  r.command = s.shm_state && s.command.empty() ? std::vector<std::string>{"/basic/bin/upgrader"} : s.command;
  r.timeout = s.timeout;
  Boot b = boot(r);

  EXPECT_EQ(s.end, b.end);
  std::vector<std::pair<int, int>> got;
  for (const IpcMessage& m : b.broadcasts) {
    got.emplace_back(m.type, m.param1);
    EXPECT_EQ(6, m.sender);
    EXPECT_EQ(0, m.param2);
  }
  EXPECT_EQ(s.broadcasts, got);
  for (const auto& [level, text] : s.logs) EXPECT_TRUE(b.logged(level, text)) << "missing log line " << level << " " << text;
  if (!s.failure_text.empty()) {
    // The failure screen: its text logged at error level, drawn, then the
    // phone waits for the Reboot key.
    EXPECT_TRUE(b.logged(kErr, s.failure_text)) << s.failure_text;
    EXPECT_NE(-1, b.find("Do ShowUpgradingFailedInfo"));
    EXPECT_GT(b.frames, 0);
  } else {
    EXPECT_EQ(-1, b.find("Do ShowUpgradingFailedInfo"));
  }
  for (unsigned id : s.flashes)
    EXPECT_EQ("", flash_difference(b, rom, id, std::count(s.burnt.begin(), s.burnt.end(), id) > 0)) << id;
  EXPECT_TRUE(s.killapps < 0 || s.killapps == b.killapps_runs) << "killapps ran " << b.killapps_runs;
  EXPECT_TRUE(s.reboots < 0 || s.reboots == b.reboot_requests) << "reboots asked " << b.reboot_requests;
  if (s.board != std::vector<std::string>{"?"}) {
    EXPECT_EQ(s.board, b.board);
  }
  for (const std::string& text : s.absent) EXPECT_EQ(-1, b.find(text)) << text;
  for (const std::string& text : s.once) EXPECT_EQ(1, b.count(text)) << text;
  for (const auto& [key, values] : s.semaphores) EXPECT_EQ(values, b.semaphore_values(key)) << std::hex << key;
  for (const auto& [path, text] : s.holds) EXPECT_NE(std::string::npos, b.file(path).find(text)) << path << " " << text;
  EXPECT_TRUE(s.frames < 0 || s.frames == b.frames) << b.frames << " frames";
  for (auto [n, name] : s.goldens)
    EXPECT_TRUE(golden(name) == b.frame(n > 0 ? n : b.frames + n)) << "frame " << n << " differs from " << name;
  if (s.more) s.more(b, rom);
  if (HasFailure()) ADD_FAILURE() << "report: " << b.root << ".report/report.txt";
}

INSTANTIATE_TEST_SUITE_P(OnThePhone, Upgrade, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace e2e
