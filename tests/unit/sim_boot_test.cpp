// The simulated phone seen from outside: each case boots a device root with
// simdev around the stand-in program and checks what the phone's kernel,
// its other processes and the boot report saw.
#include <gtest/gtest.h>

#include "tests/support/files.h"
#include <signal.h>
#include <stdlib.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/report.h"
#include "sim/simroot.h"

namespace {

std::string setting(const char* env, const char* fallback) {
  const char* v = getenv(env);
  return v && *v ? v : fallback;
}

const std::string kSimdev = setting("SIM_SIMDEV", SIM_SIMDEV);
const std::string kStandin = setting("SIM_STANDIN", SIM_STANDIN);
const std::string kWork = setting("SIM_WORK_DIR", SIM_WORK_DIR);
const std::string kRomtool = setting("SIM_ROMTOOL", SIM_ROMTOOL);
const std::string kCon = "/sim/boot/console";

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

// The pieces of `needle` between "..." occur in `hay` in this order.
bool contains_in_order(const std::string& hay, const std::string& needle) {
  size_t at = 0, from = 0;
  for (size_t end; from <= needle.size(); from = end + 3) {
    end = std::min(needle.find("...", from), needle.size());
    at = hay.find(needle.substr(from, end - from), at);
    if (at == std::string::npos) return false;
    at += end - from;
  }
  return true;
}

using Json = nlohmann::json;

std::string bytes_of(std::initializer_list<std::pair<int, size_t>> runs, size_t size) {
  std::string out;
  for (auto [byte, count] : runs) out.append(count, static_cast<char>(byte));
  out.resize(size, '\xff');
  return out;
}

// A ready profile of sim/profiles with more text.
std::string ready(const char* file, const std::string& extra = "") {
  return read_file(std::string(SIM_PROFILES) + "/" + file) + "\n" + extra;
}

// One thing seen after a boot. `where`: a path in the root, "report/PATH" in
// the report, or "json:POINTER" for a value of report.json (as JSON text,
// "absent" when missing). `how`: '~' contains (pieces split by "..." in that
// order), '!' lacks, '=' equals, '^' starts with, '#' has this many bytes,
// 'L' has a line equal to the text, 'R' has `n` matches of the regular
// expression.
struct Seen {
  std::string where;
  char how;
  std::string text;
  long n = 1;
};

// One boot of a case; a case's boots share its root.
struct Boot {
  std::vector<std::string> steps;
  std::vector<std::string> options = {};  // more simdev boot options
  std::string profile = "";               // written and given when not empty
  bool fresh = true;                      // false: the root as the case's last boot left it
  std::string before = "";                // a shell command run in the root (simdev run) before the boot
  int status = 0;
  std::vector<Seen> seen = {};
};

struct Case {
  const char* name;
  std::vector<Boot> boots;
};

// One device root per test; boots of the same test share it.
class SimBoot : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ignored;  // the folder above may not be there when this test runs first, or alone
    std::filesystem::create_directories(kWork, ignored);
    remove_root(kWork + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    if (!HasFailure()) remove_root(root_);
  }
  // Sets the root (and its report) and removes what a last run left there.
  void remove_root(const std::string& root) {
    root_ = root;
    report_ = root_ + ".report";
    sim::simroot_remove(root_.c_str());
    run_argv({"/bin/rm", "-rf", report_});
  }

  // simdev boot OPTIONS... -- /basic/bin/upgrader STEPS...
  int boot(const std::vector<std::string>& options, const std::vector<std::string>& steps) {
    std::vector<std::string> argv = {kSimdev, "boot", "--root", root_, "--report", report_, "--program", kStandin,
                                     "--timeout", "60"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");
    argv.push_back("/basic/bin/upgrader");
    argv.insert(argv.end(), steps.begin(), steps.end());
    return run_argv(argv);
  }
  std::string write_profile(const std::string& text) {
    std::string path = root_ + ".ini";
    write_file(path, text);
    return path;
  }

  std::string seen(const std::string& where) {
    if (where.rfind("report/", 0) == 0) return read_file(report_ + where.substr(6));
    if (where.rfind("json:", 0) != 0) return read_file(root_ + where);
    Json r = Json::parse(read_file(report_ + "/report.json"), nullptr, false);
    Json::json_pointer at(where.substr(5));
    return r.contains(at) ? r.at(at).dump() : "absent";
  }

  void expect(const Seen& s) {
    std::string got = seen(s.where);
    std::regex re(s.how == 'R' ? s.text : "");
    bool ok = s.how == '~'   ? contains_in_order(got, s.text)
              : s.how == '!' ? !contains(got, s.text)
              : s.how == '=' ? got == s.text
              : s.how == '^' ? got.rfind(s.text, 0) == 0
              : s.how == '#' ? std::to_string(got.size()) == s.text
              : s.how == 'R' ? std::distance(std::sregex_iterator(got.begin(), got.end(), re), {}) == s.n
                             : contains("\n" + got, "\n" + s.text + "\n");
    EXPECT_TRUE(ok) << s.where << " " << s.how << " " << s.text.substr(0, 200) << "\ngot: " << got.substr(0, 400);
  }

  // Each case on a root of its own: a fresh boot without a profile keeps
  // the root's last one.
  void run_cases(const std::vector<Case>& cases) {
    const std::string base = root_;
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      if (i > 0) TearDown();  // the last case's root, when it passed
      remove_root(base + "-" + std::to_string(i));
      for (size_t n = 0; n < c.boots.size(); ++n) {
        const Boot& b = c.boots[n];
        SCOPED_TRACE(std::string(c.name) + ", boot " + std::to_string(n + 1));
        std::vector<std::string> options = b.options;
        if (b.fresh) options.push_back("--fresh");
        if (!b.profile.empty()) options.insert(options.end(), {"--profile", write_profile(b.profile)});
        std::vector<std::string> before = {kSimdev, "run", "--root", root_, "--", "/bin/sh", "-c", b.before};
        ASSERT_EQ(0, b.before.empty() ? 0 : run_argv(before));
        ASSERT_EQ(b.status, boot(options, b.steps));
        for (const Seen& s : b.seen) expect(s);
      }
    }
  }

  std::string root_, report_;
};

// Boots seen through their files, console and report.
TEST_F(SimBoot, WhatEachBootShows) {
  std::string rom = root_ + ".rom";
  ASSERT_TRUE(write_file(rom, "ROMDATA0123456789abcdef"));
  // A key of this build tree's: runs in other trees share the host's semaphores.
  const int host_key = ftok(kWork.c_str(), 'S');
  ASSERT_NE(-1, host_key);
  int host_sem = semget(host_key, 1, IPC_CREAT | 0600);
  ASSERT_GE(host_sem, 0);
  const std::vector<std::string> shm = {"--install", rom + ":/data/rom.bin", "--shm", "/data/rom.bin", "--shm-state", "1"};
  const std::vector<std::string> exit0 = {"exit", "0"};
  std::vector<Case> cases = {
      {"the environment is set, cleared and kept across boots",
       {{.steps = {"env-set", "SW_protect", "1", ",", "env-set", "SW_OEM", ",", "env-set", "NEW_VAR", "two  words",
                   ",", "env-set", "NOT_THERE", ",", "cat", "/proc/avalanche/env", ",", "cat", "/proc/misc/hwver",
                   ",", "cat", "/proc/ver/software"},
         .seen = {{kCon, '~', "env-set SW_protect 1: 0\n"}, {kCon, '~', "\nSW_protect 1\n"},
                  {kCon, '~', "env-set SW_OEM: 0\n"}, {kCon, '!', "\nSW_OEM "},  // cleared by the name alone
                  {kCon, '~', "\nNEW_VAR two  words\n"}, {kCon, '!', "NOT_THERE "},
                  {kCon, '~', "mtd3 0x90020000,0x90030000\n"}, {kCon, '~', "59.0.0.1.0.0.0.0\n59.1.2.3,Jan 1 2026\n"},
                  {"json:/env_before/SW_OEM", '=', "\"0\""}, {"json:/env_after/NEW_VAR", '=', "\"two  words\""}}},
        // The next boot of the same phone finds the environment as it was
        // left; the console is this boot's.
        {.steps = {"cat", "/proc/avalanche/env"}, .fresh = false,
         .seen = {{kCon, '~', "\nSW_protect 1\n"}, {kCon, '~', "\nNEW_VAR two  words\n"}, {kCon, '!', "SW_OEM"},
                  {kCon, '!', "env-set"}}}}},
      // The shell's echo fails, so the stand-in ends with its status.
      {"an environment write fault fails the echo",
       {{.steps = {"env-set", "SW_protect", "1"}, .profile = "[faults]\nprocfs = env_write\n", .status = 1,
         .seen = {{kCon, '~', "env-set SW_protect 1: 1\n"}, {"/sim/state/env", '!', "SW_protect 1"}}}}},
      // The stand-in may be ended before it reports the reboot command's
      // status (a reboot does not wait for it), but never runs past it.
      {"a reboot is recorded and ends every process of the boot",
       {{.steps = {"spawn", "20", ",", "reboot"},
         .seen = {{kCon, '!', "still running after the reboot"}, {kCon, '!', "leftover done"},
                  {"/sim/reboot-requests", '=', "reboot\n"}, {"/sim/boot/result", '~', "end reboot\n"},
                  {"json:/end", '=', "\"reboot\""}, {"json:/reboot_requested", '=', "true"}}}}},
      {"the boot waits for what the program left running unless told not",
       {{.steps = {"spawn", "0.3"}, .seen = {{kCon, '~', "leftover done"}}},
        {.steps = {"spawn", "5", ",", "exit", "3"}, .options = {"--end", "program"}, .fresh = false, .status = 3,
         .seen = {{kCon, '!', "leftover done"}, {"json:/end", '=', "\"exit 3\""}}}}},
      // A ROM the writer cannot read is a failed load of its kind (a ROM it
      // hands over, and a failed load: the shared-memory end-to-end rows).
      {"the writer fails to load a missing ROM",
       {{.steps = {"shm"}, .options = {"--shm", "/data/missing.bin", "--shm-state", "2"},
         .seen = {{kCon, '~', "shm state -3 rom"}}}}},
      // Pressed at 0.1 s, read from 0.5 s on: without --key-wait it is lost.
      {"a key waits for the keypad's reader when asked",
       {{.steps = {"sleep", "0.5", ",", "keys", "1"}, .options = {"--key", "0.1:35:1", "--key-wait"},
         .seen = {{kCon, '~', "key type 1 code 35 value 1 at"}, {"/sim/boot/keys", '~', "code=35 value=1 delivered"}}}}},
      // mtd7 (0x907b0000..0x907d0000) reaching into a region of 128 KiB units
      // takes those: one unit at 500 ms per 64 KiB, and 2 KiB at 4 ms a KiB.
      // (The typical phone's own times: power_cut_test.)
      {"erase and program add modelled time",
       {{.steps = {"mtd-erase", "/dev/mtd7", "0", "0x20000", ",", "mtd-write", "/dev/mtd7", "0", "0", "2048", ",", "cat",
                   "/dev/mtd7.sim"},
         .profile = ready("typical.ini", "[flash]\nregion = 0x907c0000 0x40000 0x20000\nerase_ms_per_64k = 500\n"
                                         "program_ms_per_kib = 4\n"),
         .seen = {{kCon, '~', "erasesize 0x20000\n"},
                  {"/sim/boot/flash", '=', "erases 1\nwrites 1\nerase_ms 1000.0\nprogram_ms 8.0\ntotal_ms 1008.0\n"}}}}},
      // The typical phone: mtd8 is 0x907d0000..0x907f0000, so 0x907e0000 is
      // its second half. 0x5a there, then mtd3 moved onto it and written 0x0f;
      // the block device moves too.
      {"a re-map moves the window and overlapping windows share bytes",
       {{.steps = {"mtd-write", "/dev/mtd8", "0x10000", "0x5a", "16", ",", "mtd-remap", "/dev/mtd3", "0x7e0000",
                   "0x10000", ",", "sh", "head -c 4 /dev/mtd3 | od -An -tx1", ",", "mtd-write", "/dev/mtd3", "8",
                   "0x0f", "8", ",", "sh", "head -c 16 /dev/mtdblock/3 | od -An -tx1"},
         .seen = {{kCon, '~', " 5a 5a 5a 5a\n... 5a 5a 5a 5a 5a 5a 5a 5a 0a 0a 0a 0a 0a 0a 0a 0a\n"},
                  {"/sim/boot/windows-after", 'L', "mtd3 0x907e0000 0x10000"},
                  {"/sim/boot/windows-after", 'L', "mtdblock/3 0x907e0000 0x10000"},
                  {"/sim/boot/windows-before", 'L', "mtd3 0x90020000 0x10000"},
                  {"/dev/mtd3.log", '=', "remap 0x7e0000 0x10000\n"},
                  {"/dev/mtd3", '=', bytes_of({{0x5a, 8}, {0x0a, 8}}, 0x10000)},
                  {"/dev/mtd8", '=', std::string(0x10000, '\xff') + bytes_of({{0x5a, 8}, {0x0a, 8}}, 0x10000)}}}}},
      // Semaphores start empty at each boot; nothing of a boot reaches the
      // host (checked after the cases).
      {"the boot's semaphores are its own",
       {{.steps = {"sem-state", std::to_string(host_key), ",", "sem-hold", "0x5A5A", ",", "sem-state", "0x5A5A",
                   ",", "env-set", "HOST_CHECK", "1", ",", "frames", "1", ",", "broadcast", "3", "0", "0"},
         // 0x5A5A is taken without undo: it stays taken.
         .seen = {{kCon, '~', std::to_string(host_key) + " absent\n"}, {kCon, '~', "23130 value 0\n"}}},
        {.steps = {"sem-state", "0x5A5A"}, .fresh = false, .seen = {{kCon, '~', "23130 absent\n"}}}}},
      {"log lines keep their levels",
       {{.steps = {"log"},
         .seen = {{"json:/log", 'R', R"("level":3,"text":"standin [^"]*: standin error line")"},
                  {"json:/log", 'R', R"("level":6,"text":"standin [^"]*: standin info line")"},
                  {"json:/log", 'R', R"("level":7,"text":"standin [^"]*: standin debug line")"},
                  {"json:/log", '!', "simdev-flush"}}}}},
      // The profile's sets and segments come first (its [ipc] sections merged
      // in order), then the writer's lock
      // (free) and segment (an 8-byte head and 8 MiB); the report lists them all.
      {"the report lists every semaphore set and segment",
       {{.steps = {"sem-hold", "0x5A5A", ",", "shm"}, .options = shm,
         .profile = "[ipc]\nsem = 0x1234 3\n[boot]\n[ipc]\nshm = 0x4321 4096\nsem_sets = 2\n",
         .seen = {{"json:/semaphores", '=',
                   R"([{"id":0,"key":4660,"values":[0,0,0]},{"id":1,"key":1577058305,"values":[0]},)"
                   R"({"id":2,"key":1577058306,"values":[0]},{"id":3,"key":41264,"values":[1]},)"
                   R"({"id":4,"key":23130,"values":[0]}])"},
                  {"json:/shared_memory", '=', R"([{"attached":0,"id":0,"key":17185,"size":4096},)"
                                               R"({"attached":0,"id":1,"key":41264,"size":8388616}])"},
                  {"report/report.txt", '~',
                   "semaphore set key 0x00001234 id 0 values 0 0 0\n...segment key 0x00004321 id 0 "}}}}},
      // Without the profile's the writer's set and segment are the first: id 0.
      {"the first set and segment have id 0",
       {{.steps = {"sem-hold", "0x5A5A", ",", "shm"}, .options = shm, .profile = "[ipc]\n",
         .seen = {{"json:/semaphores", '=', R"([{"id":0,"key":41264,"values":[1]},{"id":1,"key":23130,"values":[0]}])"},
                  {"json:/shared_memory", '=', R"([{"attached":0,"id":0,"key":41264,"size":8388616}])"}}}}},
      // What a boot starts from and what it changed: the partitions follow
      // the profile; what the program writes shows in the report, and so do
      // the board's records, which do not outlive their boot. A write through
      // the block device between boots changes the partition, not the boot.
      {"flash files follow the profile and changes are reported",
       {{.steps = exit0, .profile = "[env]\nmtd3 = 0x90020000,0x90030000\nmtd4 = 0x90330000,0x903b0000\n"
                                    "[flash]\nerase_size = 0x20000\nremap = no\nmtd3 = env fill=0x00\nmtd7 = 128K\n"
                                    "[faults]\nmtd4 = fail erase 2\n",
         .seen = {{"/dev/mtd3", '=', std::string(65536, '\0')}, {"/dev/mtdblock/3", '=', std::string(65536, '\0')},
                  {"/dev/mtd4", '=', std::string(524288, '\xff')}, {"/dev/mtd7", '#', "131072"},
                  {"/dev/mtd3.sim", '=', "erasesize 0x20000\nremap 0\n"},
                  {"/dev/mtd4.sim", '=', "erasesize 0x20000\nremap 0\nfail erase 2\n"},
                  {"json:/flash/3/size", '=', "65536"}, {"json:/flash", '!', "\"changed\":true"}}},
        {.steps = {"sh", "printf abc | dd of=/dev/mtd7 conv=notrunc 2>/dev/null", ",", "watchdog", "0", ",",
                   "watchdog", "1"},
         .fresh = false,
         .seen = {{"json:/flash", 'R', "\"changed\":true"}, {"json:/watchdog", '=', "[0,1]"},
                  {"json:/flash/7", '~', "\"changed\":true,...\"size\":131072"}}},
        {.steps = exit0, .fresh = false, .seen = {{"json:/watchdog", '=', "[]"}}},
        {.steps = exit0, .fresh = false, .before = "printf x | dd of=/dev/mtdblock/3 conv=notrunc 2>/dev/null",
         .seen = {{"json:/flash", '!', "\"changed\":true"}, {"/dev/mtd3", '^', "x"}}}}},
  };
  // Every id but the program's own gets the broadcast. A sender that
  // trickles its message holds up nobody else's, and the end of the boot
  // waits for it.
  const std::string message = " type=4 sender=6 p1=3 p2=0 len=20\n";
  Boot broadcast = {.steps = {"broadcast", "4", "3", "0"},
                    .seen = {{"json:/ipc", 'R',
                              R"("length":20,"ms":[^,]*,"param1":3,"param2":0,"sender":6,"to":[0-9]+,)"
                              R"("type":4,"well_formed":true)", 11}}};
  for (int id = 1; id <= 12; ++id)
    broadcast.seen.push_back({"/sim/boot/ipc", 'R', " to=" + std::to_string(id) + message, id != 6});
  Boot trickled = {.steps = {"trickle", "1", "100", ",", "broadcast", "4", "3", "0"}, .options = {"--end", "program"},
                   .seen = {{"/sim/boot/ipc", '~', " to=1" + message + "... to=1 type=9 sender=6 p1=7 p2=0 len=20\n"}}};
  cases.push_back({"the listener", {broadcast, trickled}});
  // A re-map survives a reboot only where the profile says so.
  for (auto [persists, start] : {std::pair<const char*, const char*>{"no", "0x90020000"}, {"yes", "0x907e0000"}}) {
    std::string window = std::string("mtd3 ") + start + " 0x10000";
    cases.push_back({persists, {{.steps = {"mtd-remap", "/dev/mtd3", "0x7e0000", "0x10000"},
                                 .profile = ready("typical.ini", std::string("[flash]\nremap_persists = ") + persists + "\n")},
                                {.steps = exit0, .fresh = false,
                                 .seen = {{"/sim/boot/windows-before", 'L', window}, {"/sim/boot/windows-after", 'L', window}}}}});
  }
  // The framebuffer is sized for the panel the program will pick: the same
  // rule on the same /proc/misc/hwver, unless the profile names the panel.
  const char *gtype = "261120", *mono = "65280";
  for (auto [profile, size] : {std::pair<const char*, const char*>{"", gtype},  // the default is 59.0.0.1...
                               {"[device]\nhwver = 59.0.0.2.0.0.0.0\n", mono},
                               {"[device]\nhwver = 59.0.0.17.0.0.0.0\n", gtype},
                               {"[device]\nhwver = 60.0.0.1.0.0.0.0\n", mono},
                               {"[device]\nhwver = 58.0.0.0.0.0.0.3\n", gtype},
                               {"[device]\nhwver = 59.0.0.1.0.0.0.0\n[faults]\nprocfs = hwver_read\n", mono},
                               {"[device]\nhwver = 58.0.0.0.0.0.0.0\n[panel]\ntype = gtype\n", gtype}})
    cases.push_back({*profile ? profile : "the default hardware version", {{.steps = exit0, .profile = profile, .seen = {{"/dev/fb0", '#', size}}}}});
  // Each refresh is captured before the write returns: the stand-in repaints
  // right after each write, so only a synchronous capture holds the picture
  // of its own refresh. The 4-bit panel's frames are a quarter the size.
  Boot frames = {.steps = {"frames", "3"}};
  for (int k = 1; k <= 3; ++k) {
    std::string frame = "frame-000" + std::to_string(k);
    frames.seen.insert(frames.seen.end(),
                       {{"/sim/boot/frames/" + frame + ".fb", '=', std::string(261120, static_cast<char>(0x11 * k))},
                        {"report/frames/" + frame + ".png", '^', "\x89PNG"},
                        {"json:/frames/" + std::to_string(k - 1) + "/png", '=', "\"frames/" + frame + ".png\""}});
  }
  frames.seen.insert(frames.seen.end(), {{"/sim/boot/frames/frame-0004.fb", '=', ""}, {"json:/frames/3", '=', "absent"},
                                         {"report/frames.png", '^', "\x89PNG"}});
  cases.push_back({"frames", {frames, {.steps = {"frames", "1"}, .profile = "[device]\nhwver = 58.0.0.2.0.0.0.0\n",
                                       .seen = {{"/sim/boot/frames/frame-0001.fb", '#', "65280"}}}}});
  // A power cut freezes the chip and the environment at that instant: each
  // boot ends with a write and an environment change that must not happen;
  // the next boot starts from there.
  const std::vector<std::string> after = {",", "mtd-write", "/dev/mtd7", "4000", "0", "4", ",", "env-set", "AFTER", "1"};
  struct Cut {
    std::vector<std::string> cut, steps;
    const char* record;
    std::string mtd7;
    std::vector<Seen> frames = {{"/sim/boot/frames/index", '=', ""}};
  };
  for (Cut c : {Cut{{"--cut-erase", "2"}, {"mtd-erase", "/dev/mtd7", "0", "0x10000", ",", "mtd-write", "/dev/mtd7", "0",
                                            "0x11", "16", ",", "mtd-erase", "/dev/mtd7", "0", "0x10000"},
                    "erase 2", bytes_of({{0x11, 16}}, 0x20000)},
                // 1002 bytes cut on a word boundary before their end: 500 are in.
                {{"--cut-write", "3"}, {"mtd-write", "/dev/mtd7", "0", "0x11", "1000", ",", "mtd-write", "/dev/mtd7",
                                        "1000", "0x22", "1000", ",", "mtd-write", "/dev/mtd7", "2000", "0x33", "1002"},
                 "write 3 stored 500 of 1002", bytes_of({{0x11, 1000}, {0x22, 1000}, {0x33, 500}}, 0x20000)},
                {{"--cut-frame", "2"}, {"mtd-write", "/dev/mtd7", "0", "0x44", "8", ",", "frames", "3"}, "frame 2",
                 bytes_of({{0x44, 8}}, 0x20000),
                 {{"/sim/boot/frames/frame-0001.fb", '#', "261120"}, {"/sim/boot/frames/frame-0002.fb", '=', ""}}},
                {{"--cut-time", "0.5"}, {"mtd-write", "/dev/mtd7", "0", "0x66", "8", ",", "sleep", "5"}, "time 0.5",
                 bytes_of({{0x66, 8}}, 0x20000)}}) {
    c.steps.insert(c.steps.end(), after.begin(), after.end());
    c.frames.insert(c.frames.end(), {{"/sim/boot/cut", '=', std::string(c.record) + "\n"}, {"/sim/boot/result", '~', "end cut\n"},
                                     {"json:/end", '=', "\"cut\""}, {"/dev/mtd7", '=', c.mtd7}, {"/sim/state/env", '!', "AFTER"}});
    cases.push_back({c.record, {{.steps = c.steps, .options = c.cut, .seen = c.frames},
                                {.steps = {"sh", "od -An -tx1 /dev/mtd7 | head -1"}, .fresh = false,
                                 .seen = {{"/sim/boot/result", '!', "end cut"}, {"/dev/mtd7", '=', c.mtd7}}}}});
  }
  run_cases(cases);
  unlink(rom.c_str());
  semctl(host_sem, 0, IPC_RMID);
  EXPECT_LT(semget(0x5A5A, 0, 0), 0);
  for (const char* path : {"/proc/avalanche", "/proc/glcd", "/var/ipc/1"}) EXPECT_FALSE(file_exists(path)) << path;
  EXPECT_FALSE(contains(read_file("/proc/self/mountinfo"), kWork));
}

TEST(SimFrames, FourBitPanelNibbles) {
  std::string fb(480 * 272 / 2, '\0');
  fb[0] = static_cast<char>(0xF0);  // x = 0 dark (low nibble), x = 1 light
  std::vector<unsigned char> grey;
  ASSERT_TRUE(sim::frame_to_grey(fb, &grey));
  EXPECT_EQ((std::vector<unsigned char>{0, 255, 0}), std::vector<unsigned char>(grey.begin(), grey.begin() + 3));
  EXPECT_FALSE(sim::frame_to_grey(std::string(100, '\0'), &grey));
}

// After a boot, and after a power cut, the root still tells what happened.
TEST_F(SimBoot, AReportCanBeMadeOfAnExistingRoot) {
  ASSERT_EQ(3, boot({"--fresh"}, {"sh", "printf abc | dd of=/dev/mtd7 conv=notrunc 2>/dev/null", ",", "exit", "3"}));
  std::string boot = root_ + "/sim/boot";
  write_file(boot + "/windows-before", "mtd3 0x90020000 0x10000\nmtd4 0x90330000 0x80000\n");
  write_file(boot + "/windows-after", "mtd3 0x907e0000 0x10000\n");
  // Times past 86.4 s (records are in ms); bus messages too short for a
  // header, or whose length lies, as the listener records them.
  write_file(boot + "/flash", "erases 3\nwrites 2\nerase_ms 92100.5\nprogram_ms 12\ntotal_ms 92112.5\n");
  ASSERT_EQ(0, shell("echo end_ms 90123.4 >> " + boot + "/result"));
  write_file(boot + "/ipc", "10.5 to=1 type=4 sender=6 p1=3 p2=0 len=20\n11 to=2 bad short=3\n"
                            "90001 to=3 type=4 sender=6 p1=3 p2=0 len=30 got=20 bad=length\n");
  ASSERT_EQ(0, run_argv({kSimdev, "report", "--root", root_, "--report", report_}));
  // (A JSON object's text lists its keys in order.)
  for (const Seen& s : {Seen{"json:/flash/7/changed", '=', "true"}, {"json:/flash/6/changed", '=', "false"},
                        {"json:/end", '=', "\"exit 3\""}, {"json:/status", '=', "3"}, {"json:/cut", '=', "null"},
                        {"json:/windows_before", '=', R"([{"name":"mtd3","size":65536,"start":2416050176},)"
                                                       R"({"name":"mtd4","size":524288,"start":2419261440}])"},
                        {"json:/windows_after", '=', R"([{"name":"mtd3","size":65536,"start":2424176640}])"},
                        {"json:/flash_time", '=', R"({"erase_ms":92100.5,"erases":3,"program_ms":12,"total_ms":92112.5,)"
                                                  R"("writes":2})"},
                        {"json:/ipc_state", '=', "\"recorded\""}, {"json:/end_ms", '=', "90123.4"},
                        {"report/report.txt", '~', "boot ended at 90.123 s"},
                        {"json:/ipc/0/well_formed", '=', "true"}, {"json:/ipc/1/well_formed", '=', "false"},
                        {"json:/ipc/2/well_formed", '=', "false"}, {"json:/ipc/2/ms", '=', "90001.0"}})
    expect(s);

  // A cut boot leaves no semaphore behind to show, and says where it stopped.
  // The report folder, used again, keeps no file of the last report but
  // keeps what is not the report's.
  write_file(boot + "/cut", "write 2 stored 8 of 16\n");
  for (const char* name : {"/frames/frame-0099.png", "/frames.png", "/notes.txt", "/frames/frame-1.png"})
    ASSERT_TRUE(write_file(report_ + name, "old"));
  ASSERT_EQ(0, run_argv({kSimdev, "report", "--root", root_, "--report", report_}));
  for (const Seen& s : {Seen{"json:/cut", '=', "\"write 2 stored 8 of 16\""}, {"json:/ipc_state", '=', "\"power cut\""},
                        {"json:/semaphores", '=', "null"}, {"report/report.txt", '~', "the power was cut"}})
    expect(s);
  EXPECT_FALSE(file_exists(report_ + "/frames/frame-0099.png"));
  EXPECT_FALSE(file_exists(report_ + "/frames.png"));
  EXPECT_EQ("old", read_file(report_ + "/notes.txt"));
  EXPECT_EQ("old", read_file(report_ + "/frames/frame-1.png"));
  // A link at frames/ is not followed: the report is refused, the folder it
  // leads to keeps its files.
  std::string elsewhere = root_ + ".elsewhere";
  ASSERT_EQ(0, run_argv({"/bin/sh", "-c", "mkdir -p " + elsewhere + " && echo old > " + elsewhere + "/frame-0001.png && rm -r " +
                                              report_ + "/frames && ln -s " + elsewhere + " " + report_ + "/frames"}));
  EXPECT_EQ(1, run_argv({kSimdev, "report", "--root", root_, "--report", report_}));
  EXPECT_EQ("old\n", read_file(elsewhere + "/frame-0001.png"));
  run_argv({"/bin/rm", "-rf", elsewhere});
}

TEST_F(SimBoot, KeysArriveAtTheirTimesAndArePressedOnlyForAReader) {
  // A press and release of 2 at 0.2 s, a press of 35 at 0.4 s; the stand-in
  // reads those three events and closes the device, so the press at 1.2 s
  // finds nobody reading.
  std::string profile = write_profile("[keypad]\nkey = 0.2 2\nkey = 0.4 35 1\nkey = 1.2 7\n");
  ASSERT_EQ(0, boot({"--fresh", "--profile", profile}, {"keys", "3", ",", "sleep", "1.6"}));
  for (const Seen& s : {Seen{kCon, 'R', "key type ", 3},
                        {kCon, '~', "key type 1 code 2 value 1 at ...key type 1 code 2 value 0 at ..."
                                    "key type 1 code 35 value 1 at"},
                        {"/sim/boot/keys", 'R', " delivered\n", 2},
                        {"/sim/boot/keys", '~', "code=7 value=press+release lost (nobody reads the keypad)\n"}})
    expect(s);
  // Times of the keypad's records are from the boot's start; the program
  // started a little later.
  double program_start = 0, at = 0;
  sscanf(read_file(root_ + "/sim/boot/result").c_str(), "program_start_ms %lf", &program_start);
  std::istringstream records(read_file(root_ + "/sim/boot/keys"));
  for (double due : {200, 400, 1200}) {
    ASSERT_TRUE(records >> at && std::getline(records, profile)) << due;
    EXPECT_GE(at - program_start, due);
  }
}

TEST_F(SimBoot, AKilledSimulatorTakesItsBootWithIt) {
  pid_t pid = fork();
  if (pid == 0) {
    execl(kSimdev.c_str(), "simdev", "boot", "--root", root_.c_str(), "--fresh", "--program", kStandin.c_str(), "--",
          "/basic/bin/upgrader", "sleep", "31.25", static_cast<char*>(nullptr));
    _exit(127);
  }
  auto started = [&] { return contains(read_file(root_ + "/sim/boot/result"), "program_start_ms"); };
  auto left = [] { return run_argv({"/bin/sh", "-c", "grep -qs 'sleep.31\\.25' /proc/[0-9]*/cmdline"}) == 0; };
  // Wait until the stand-in runs inside the boot.
  for (int i = 0; i < 500 && !started(); ++i) usleep(10000);
  ASSERT_TRUE(started());
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  // Every process of the boot ends with it: no stand-in is left sleeping.
  for (int i = 0; i < 300 && left(); ++i) usleep(10000);
  EXPECT_FALSE(left());
}

// What simdev cannot honour is refused before the boot, with a message that
// names the option, the key or the path, and the value: numbers, sizes and
// paths it cannot take, a path through a link that leads out of the root, a
// directory it did not make (whichever command asks; its files are kept) and
// one with nothing to report.
TEST_F(SimBoot, RefusesWhatItCannotHonour) {
  std::string dir = root_ + ".dir", outside = root_ + ".outside", stranger = root_ + ".stranger";
  for (const std::string& d : {dir, outside, stranger}) mkdir(d.c_str(), 0755);
  ASSERT_TRUE(write_file(stranger + "/precious", "mine"));
  // An empty directory is the simulator's to use; the root made there is its own.
  mkdir(root_.c_str(), 0755);
  ASSERT_EQ(0, boot({"--fresh"}, {"exit", "0"}));
  ASSERT_EQ(0, symlink(outside.c_str(), (root_ + "/data").c_str()));
  struct Row {
    std::vector<std::string> args;  // simdev's; "--profile FILE" goes before "--"
    std::string profile;            // written and given when not empty
    int status;
    std::vector<std::string> named;
  };
  const std::vector<std::string> fresh = {"boot", "--root", root_, "--fresh", "--timeout", "60", "--program", kStandin};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), fresh.begin(), fresh.end());
    return more;
  };
  std::vector<Row> rows = {
      {{"boot", "--root", root_, "--program", kStandin}, "[files]\n/data/x = 1\n", 125, {"/data/x"}},
      {{"boot", "--root", root_, "--install", "/etc/hostname:/data/y"}, "", 125, {"/data/y"}},
      {{"boot", "--root", stranger, "--fresh", "--program", kStandin}, "", 125, {stranger}},
      {{"run", "--root", stranger, "--fresh", "--", "/bin/true"}, "", 125, {stranger}},
      {{"mkroot", "--fresh", stranger}, "", 1, {stranger}},
      {{"run", "--root", stranger, "--", "/bin/true"}, "", 125, {stranger}},
      {{"report", "--root", dir, "--report", dir + ".report"}, "", 1, {dir, "no boot records"}},
      {with({"--install", "/etc/hostname:/../../escaped"}), "", 125, {"--install", "/../../escaped"}},
      {with({"--", "/no/such/command"}), "", 127, {"/no/such/command"}},
      {fresh, "[flash]\nmtd1 = 16777216M\n", 125, {"mtd1", "16777216M"}},
      {fresh, "[flash]\nmtd1 = 17592186044416M\n", 125, {"mtd1", "17592186044416M"}},
      {fresh, "[flash]\nerase_size = abc\n", 125, {"[flash] erase_size = \"abc\""}},
      {fresh, "[flash]\nerase_size = 0\n", 125, {"erase_size", "0"}},
      {fresh, "[flash]\nerase_size = -1\n", 125, {"erase_size", "-1"}},
      {fresh, "[env]\nmtd2 = 0x0,0xFFFFFFFFFFFFFFFF\n", 125, {"mtd2", "0xFFFFFFFFFFFFFFFF"}},
      {fresh, "[saver]\nhold = 1e300\n", 125, {"hold", "1e300"}},
      {fresh, "[keypad]\nkey = nan 35\n", 125, {"key", "nan 35"}},
      {fresh, "[boot]\ntimeout = 0\n", 125, {"timeout", "0"}},
      {fresh, "[apps]\nkillapps_seconds = 1; reboot\n", 125, {"killapps_seconds", "1"}},
      {fresh, "[panel]\nfb_size = 99999999999\n", 125, {"fb_size", "99999999999"}},
      {fresh, "[files]\n/../../escaped = x\n", 125, {"/../../escaped"}},
      {fresh, "[flash]\nsize = 16777216M\n", 125, {"[flash] size = \"16777216M\""}},
      {fresh, "[flash]\nerase_size = 1000\n", 125, {"[flash] erase_size = \"1000\""}},
      {fresh, "[flash]\nprogram_ms_per_kib = nan\n", 125, {"[flash] program_ms_per_kib = \"nan\""}},
      {fresh, "[cut]\nwrite = -1\n", 125, {"[cut] write = \"-1\""}},
      {fresh, "[boot]\nhostname = " + std::string(65, 'h') + "\n", 125, {"[boot] hostname", "64"}},
      {fresh, "[ipc]\nsem = 0x1234 1\nshm = 0x1234 16\nsem = 0x1234 2\n", 125, {"[ipc] sem = \"0x1234 2\"", "duplicate"}},
      {fresh, "[ipc]\nsem = 0x5E000002 1\nsem_sets = 2\n", 125, {"[ipc] sem_sets = \"2\"", "duplicate"}},
  };
  // Times take digits and a fraction only, as every other time of a profile.
  for (const char* ms : {"0x10", "1e3", "0x1p3", "-0"})
    rows.push_back({fresh, std::string("[flash]\nerase_ms_per_64k = ") + ms + "\n", 125,
                    {std::string("[flash] erase_ms_per_64k = \"") + ms + "\""}});
  for (auto [option, value, status] : std::initializer_list<std::tuple<const char*, std::string, int>>{
           {"--timeout", "abc", 2}, {"--timeout", "-1", 2}, {"--timeout", "0", 2}, {"--saver", "1e300", 2},
           {"--timeout", "99999999999999999999", 2}, {"--second-at", "nan", 2}, {"--key", "inf:35", 2},
           {"--key", "1:35:99999999999", 2}, {"--shm-state", "1x", 2}, {"--killapps-exit", "256", 2},
           {"--bind", "/../../escaped", 2}, {"--profile", dir, 125}, {"--program", dir, 125}})
    rows.push_back({with({option, value}), "", status, {option, value}});
  for (const char* line : {"sem_sets = abc", "sem_sets = -1", "sem_sets = 65", "sem = 0x1234", "sem = 0x1234 0",
                           "shm = 0x1FFFFFFFF 16", "shm = 1 99999999999", "sems = 1"}) {
    std::string key = std::string(line).substr(0, std::string(line).find(' '));
    rows.push_back({fresh, std::string("[ipc]\n") + line + "\n", 125, {"[ipc] " + key + " = "}});
  }
  for (Row& r : rows) {
    if (!r.profile.empty())
      r.args.insert(std::find(r.args.begin(), r.args.end(), "--"), {"--profile", write_profile(r.profile)});
    SCOPED_TRACE(r.args[0] + " " + r.args[2] + " " + r.args.back() + " " + r.profile);
    std::string cmd = kSimdev;
    for (const std::string& a : r.args) cmd += " '" + a + "'";
    EXPECT_EQ(r.status, shell(cmd + " > /dev/null 2> " + root_ + ".err"));
    std::string err = read_file(root_ + ".err");
    for (const std::string& n : r.named) EXPECT_TRUE(contains(err, n)) << err;
    EXPECT_FALSE(file_exists(kWork + "/../escaped"));
    EXPECT_EQ("mine", read_file(stranger + "/precious"));
  }
  EXPECT_FALSE(file_exists(outside + "/x"));
  EXPECT_FALSE(file_exists(outside + "/y"));
  run_argv({"/bin/rm", "-rf", dir, dir + ".report", outside, stranger, root_ + ".err"});
}

// What a phone, or a root left hostile, tries on the host. Each row plants
// its attack (`plant`: a host shell command on the booted root $R, or steps
// the program runs inside the phone), then simdev works on the root; a
// canary folder outside ($O: a file, a folder with a file, nothing else)
// must be as it was, and the report must not carry the canary's text.
TEST_F(SimBoot, NothingInARootReachesTheHost) {
  const std::string outside = root_ + ".outside", canary = outside + "/canary", kCanary = "host file 7f3a\n";
  std::string up;  // enough "..\0x" steps from the root to reach "/"
  for (int i = 0; i < 16; ++i) up += std::string("/..\0x", 5);
  std::string deep;
  for (int i = 0; i < 3000; ++i) deep += "/d";
  struct Row {
    const char* attack;
    std::string plant;                     // host shell, $R the root, $O the canary folder
    std::vector<std::string> steps;        // the program's steps in the phone, then a reboot
    std::vector<std::string> simdev = {};  // then this simdev command ($R, $O replaced); none: a boot
    std::string profile = "";
    int status = 0;                        // -1: any
    std::string named = "";
  };
  const std::vector<Row> rows = {
      {"a link at /sim/boot/sysvipc, then a reboot", "", {"sh", "ln -sf $O/canary /sim/boot/sysvipc"}},
      {"a relative link at /sim/boot/console", "", {"sh", "ln -sf ../../../../../../../../../../../$O/canary /sim/boot/console"}},
      {"links at /sim/boot/result and /sim/boot/flash", "",
       {"sh", "ln -sf $O/canary /sim/boot/result; ln -sf $O/canary /sim/boot/flash"}, {}, "", -1},
      {"the phone leaves its chroot the classic way", "", {"chroot-out", "$O/canary"}},
      {"the boot's descriptors and /proc links walked upwards", "",
       {"sh", "up=../../../../../../../../../../../../../../../..; for l in /sim/realproc/[0-9]*/fd/* "
              "/sim/realproc/[0-9]*/cwd /sim/realproc/[0-9]*/root /proc/1/fd/*; do cat $l/$up$O/canary; "
              "echo x > $l/$up$O/x; done 2>/dev/null; true"}},
      {"links at the records the device servers write", "",
       {"sh", "rm -rf /sim/boot/frames; ln -s $O /sim/boot/frames; ln -sf $O/canary /sim/boot/env-writes; "
              "ln -sf $O/canary /sim/reboot-requests; ln -sf $O/canary /sim/boot/ipc",
        ",", "env-set", "SWprotect", "1", ",", "broadcast", "4", "2", "0", ",", "frames", "1"}, {}, "", -1},
      {"/var a link to a host folder", "rm -rf $R/var && ln -s $O $R/var", {}, {}, "", -1},
      {"/dev a link to a host folder", "mv $R/dev $R/dev.old && ln -s $O $R/dev", {}, {}, "", -1},
      {"/sim/state a link to a host folder", "rm -rf $R/sim/state && ln -s $O $R/sim/state", {}, {}, "", -1},
      {"/sim/boot a link to a host folder", "rm -rf $R/sim/boot && ln -s $O $R/sim/boot", {}, {}, "", -1},
      {"a [files] key with zero bytes", "", {}, {"boot", "--root", "$R", "--fresh"},
       "[files]\n" + up + outside + "/canary = pwned\n", 125, "\\x00"},
      {"an [env] key with a control character", "", {}, {"boot", "--root", "$R", "--fresh"},
       "[env]\nSW\x01protect = 1\n", 125, "[env] SW\\x01protect"},
      {"the kept profile names a host file, then --fresh", "printf '[files]\\n/leak = @$O/canary\\n' >> $R/sim/profile.ini",
       {}, {"boot", "--root", "$R", "--fresh"}, "", 125, "names a host file"},
      {"a [files] key 3000 folders deep", "", {}, {"boot", "--root", "$R", "--fresh"},
       "[files]\n" + deep + " = x\n", 125, "longer than 1024 bytes"},
      {"a [files] key 33 folders deep", "", {}, {"boot", "--root", "$R", "--fresh"},
       "[files]\n" + deep.substr(0, 66) + " = x\n", 125, "deeper than 32 folders"},
      {"--install through a control character", "", {}, {"boot", "--root", "$R", "--install", "/etc/hostname:/a\tb"},
       "", 2, "\\x09"},
      {"a folder 300 deep, then --fresh", "", {"sh", "i=0; while [ $i -lt 300 ]; do mkdir d && cd d || exit 1; i=$((i+1)); done"},
       {"mkroot", "--fresh", "$R"}, "", 0},
      {"--fresh of the root's /sim/..", "", {}, {"mkroot", "--fresh", "$R/sim/.."}, "", 0},
      {"--fresh through a link the phone made", "ln -s $O $R/sim/away", {}, {"mkroot", "--fresh", "$R/sim/away"}, "", 1,
       "not a device root"},
      {"the in-root check on the host", "", {}, {"$ROMTOOL", "__check-in-root", "$O/canary"}, "", -1,
       "only inside a simulated phone"},
  };
  auto fill = [&](std::string text) {
    for (auto [from, to] : {std::pair<std::string, std::string>{"$ROMTOOL", kRomtool}, {"$R", root_}, {"$O", outside}})
      for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    return text;
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.attack);
    run_argv({"/bin/rm", "-rf", outside});
    ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
    ASSERT_TRUE(write_file(canary, kCanary) && mkdir((outside + "/ipc").c_str(), 0755) == 0 &&
                write_file(outside + "/ipc/keep", "keep\n"));
    // Open to every id, as the host's /tmp is: a phone that got out could write there.
    ASSERT_EQ(0, chmod(outside.c_str(), 0777) | chmod(canary.c_str(), 0666));
    ASSERT_EQ(0, boot({"--fresh"}, {"exit", "0"}));
    if (!r.plant.empty()) {
      ASSERT_EQ(0, shell(fill(r.plant)));
    }
    std::vector<std::string> steps;
    for (const std::string& s : r.steps) steps.push_back(fill(s));
    if (!steps.empty()) steps.insert(steps.end(), {",", "reboot"});
    int status;
    if (r.simdev.empty() && r.profile.empty()) {
      status = boot({}, steps.empty() ? std::vector<std::string>{"exit", "0"} : steps);
    } else {
      std::string cmd = r.simdev[0][0] == '$' ? fill(r.simdev[0]) : kSimdev + " '" + r.simdev[0] + "'";
      for (size_t i = 1; i < r.simdev.size(); ++i) cmd += " '" + fill(r.simdev[i]) + "'";
      if (!r.profile.empty()) cmd += " --profile '" + write_profile(r.profile) + "'";
      status = shell(cmd + " > /dev/null 2> " + root_ + ".err");
      if (!r.named.empty()) {
        EXPECT_TRUE(contains(read_file(root_ + ".err"), r.named)) << read_file(root_ + ".err");
      }
    }
    if (r.status >= 0) {
      EXPECT_EQ(r.status, status);
    }
    EXPECT_EQ(kCanary, read_file(canary));
    EXPECT_EQ("keep\n", read_file(outside + "/ipc/keep"));
    EXPECT_EQ(0, shell("test \"$(ls -A '" + outside + "' | tr '\\n' ' ')\" = 'canary ipc '")) << "files made in " << outside;
    EXPECT_FALSE(contains(read_file(report_ + "/report.txt"), kCanary));
    EXPECT_EQ(0, sim::simroot_remove(root_.c_str()));
  }
  run_argv({"/bin/rm", "-rf", outside, root_ + ".err"});
}

// Inside a phone the ids are not the host's: uid 0 there is an unprivileged
// host id, and what a capability would reach on the host fails there,
// remounting a bound host folder writable included.
TEST_F(SimBoot, ThePhoneHoldsNoPowerOverTheHost) {
  std::string secret = root_ + ".secret";
  mkdir(secret.c_str(), 0755);
  ASSERT_TRUE(write_file(secret + "/key", "top secret\n"));
  chmod((secret + "/key").c_str(), 0600);
  ASSERT_EQ(0, boot({"--fresh", "--bind", secret},
                    {"sh", "cat /proc/self/uid_map; id -u; busybox mknod /tmp/disk b 8 0 && echo made a device; "
                           "cat " + secret + "/key; echo x > " + secret + "/key; mount -o remount,rw,bind " + secret +
                           " && echo x > " + secret + "/key; true"}));
  std::string console = read_file(root_ + kCon);
  std::istringstream map(console);
  unsigned long inside = 1, outside = 0, count = 0;
  ASSERT_TRUE(map >> inside >> outside >> count) << console;
  // (The phone's namespace maps onto the one simdev made, which maps onto
  // the host's ids from 1000000000, or the caller's id.)
  EXPECT_EQ(0u, inside);
  EXPECT_LE(count, 65536u) << "the phone sees the host's ids whole";
  EXPECT_TRUE(contains(console, "\n0\n")) << console;  // root inside
  EXPECT_FALSE(contains(console, "made a device")) << console;
  // The bound file is the host's root's (when the test runs as root): not the phone's to read or change.
  if (geteuid() == 0) {
    EXPECT_FALSE(contains(console, "top secret")) << console;
  }
  EXPECT_EQ("top secret\n", read_file(secret + "/key"));
  run_argv({"/bin/rm", "-rf", secret});
}

// simdev inside a plain chroot, whose "/" is no mount point: the kernel
// makes no user namespace there, so no phone boots, whatever mount its root
// is on, and the refusal says why. Everything runs in a mount namespace of
// the test's own.
TEST_F(SimBoot, RefusesToBootInsideAPlainChroot) {
  if (geteuid() != 0) GTEST_SKIP() << "making a chroot needs the host's root";
  std::string jail = root_ + ".jail", err = "/plain/err";
  auto dir_of = [](const std::string& path) { return path.substr(0, path.rfind('/')); };
  int status = run_in_child([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 10;
    // The host's directories the tools need (links stay links), /proc for
    // the sanitizers of an asan build, and a tmpfs for the phones.
    std::string dirs = "/bin /sbin /lib /lib64 /usr /etc /dev /proc " + dir_of(kSimdev) + " " + dir_of(kStandin);
    if (shell("set -e; cd '" + jail + "/..'; j='" + jail + "'; for d in " + dirs + "; do mkdir -p \"$(dirname $j$d)\"; "
              "if [ -L $d ]; then ln -sfn \"$(readlink $d)\" $j$d; elif [ -e $d ]; then mkdir -p $j$d; "
              "mount --rbind $d $j$d; fi; done; mkdir $j/phones $j/plain; mount -t tmpfs tmpfs $j/phones") != 0)
      return 11;
    if (chroot(jail.c_str()) != 0 || chdir("/") != 0) return 17;
    std::vector<std::string> boot = {kSimdev, "boot", "--fresh", "--timeout", "60", "--program", kStandin, "--root"};
    for (const char* root : {"/phones/p", "/plain/p"}) {
      std::string cmd = "'" + boot[0] + "' boot --fresh --program '" + kStandin + "' --root " + root + " 2> " + err;
      if (shell(cmd) != 125) return 20;
      if (!contains(read_file(err), "chroot")) return 21;
    }
    return 0;
  });
  EXPECT_EQ(0, status);
  run_argv({"/bin/rm", "-rf", "--one-file-system", jail});
}

}  // namespace
