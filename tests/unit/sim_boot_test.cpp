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
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "libupgrader/libupgrader.h"
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

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

using Json = nlohmann::json;

int count_where(const Json& list, const std::function<bool(const Json&)>& pred) {
  return list.is_array() ? static_cast<int>(std::count_if(list.begin(), list.end(), pred)) : -1;
}

// The report's entry of one flash partition (null when absent).
Json flash_of(const Json& report, const std::string& name) {
  for (const Json& f : report["flash"])
    if (f["name"] == name) return f;
  return nullptr;
}

int count_of(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

// One device root per case; boots of the same case share it.
class SimBoot : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = kWork + "/" + info->name();
    report_ = root_ + ".report";
    mkdir(kWork.c_str(), 0755);
    sim::simroot_remove(root_.c_str());
    run_argv({"/bin/rm", "-rf", report_});
  }
  void TearDown() override {
    if (!HasFailure()) {
      sim::simroot_remove(root_.c_str());
      run_argv({"/bin/rm", "-rf", report_});
    }
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
  std::string console() { return slurp(root_ + "/sim/boot/console"); }
  Json report_json() { return Json::parse(slurp(report_ + "/report.json"), nullptr, false); }
  std::string write_profile(const std::string& text) {
    std::string path = root_ + ".ini";
    std::ofstream(path) << text;
    return path;
  }

  // simdev ARGS..., its status; its standard error in *err.
  int simdev(const std::vector<std::string>& args, std::string* err) {
    std::string cmd = kSimdev;
    for (const std::string& a : args) cmd += " '" + a + "'";
    int rc = shell(cmd + " > /dev/null 2> " + root_ + ".err");
    *err = slurp(root_ + ".err");
    unlink((root_ + ".err").c_str());
    return rc;
  }

  std::string root_, report_;
};

TEST_F(SimBoot, EnvironmentIsSetClearedAndKeptAcrossBoots) {
  ASSERT_EQ(0, boot({"--fresh"}, {"env-set", "SW_protect", "1", ",", "env-set", "SW_OEM", ",", "env-set", "NEW_VAR",
                                  "two  words", ",", "env-set", "NOT_THERE", ",", "cat", "/proc/avalanche/env", ",",
                                  "cat", "/proc/misc/hwver", ",", "cat", "/proc/ver/software"}));
  std::string out = console();
  EXPECT_TRUE(contains(out, "env-set SW_protect 1: 0\n"));
  EXPECT_TRUE(contains(out, "\nSW_protect 1\n"));
  EXPECT_TRUE(contains(out, "env-set SW_OEM: 0\n"));
  EXPECT_FALSE(contains(out, "\nSW_OEM "));  // cleared by the name alone
  EXPECT_TRUE(contains(out, "\nNEW_VAR two  words\n"));
  EXPECT_FALSE(contains(out, "NOT_THERE "));
  EXPECT_TRUE(contains(out, "mtd3 0x90020000,0x90030000\n"));
  EXPECT_TRUE(contains(out, "59.0.0.1.0.0.0.0\n59.1.2.3,Jan 1 2026\n"));
  Json json = report_json();
  EXPECT_EQ("0", json["env_before"]["SW_OEM"]);
  EXPECT_EQ("two  words", json["env_after"]["NEW_VAR"]);

  // The next boot of the same phone finds the environment as it was left.
  ASSERT_EQ(0, boot({}, {"cat", "/proc/avalanche/env"}));
  out = console();
  EXPECT_TRUE(contains(out, "\nSW_protect 1\n"));
  EXPECT_TRUE(contains(out, "\nNEW_VAR two  words\n"));
  EXPECT_FALSE(contains(out, "SW_OEM"));
  EXPECT_FALSE(contains(out, "env-set"));  // the console is this boot's
}

TEST_F(SimBoot, EnvironmentWriteFaultFailsTheEcho) {
  std::string profile = write_profile("[faults]\nprocfs = env_write\n");
  // The shell's echo fails, so the stand-in ends with its status.
  ASSERT_EQ(1, boot({"--fresh", "--profile", profile}, {"env-set", "SW_protect", "1"}));
  EXPECT_TRUE(contains(console(), "env-set SW_protect 1: 1\n"));
  EXPECT_FALSE(contains(slurp(root_ + "/sim/state/env"), "SW_protect 1"));
}

TEST_F(SimBoot, EachRefreshCapturesTheFramebufferBeforeTheWriteReturns) {
  ASSERT_EQ(0, boot({"--fresh"}, {"frames", "3"}));
  for (int k = 1; k <= 3; ++k) {
    char name[64];
    snprintf(name, sizeof name, "/sim/boot/frames/frame-%04d.fb", k);
    std::string frame = slurp(root_ + name);
    ASSERT_EQ(261120u, frame.size()) << name;  // the typical phone has the 16-bit panel
    // The stand-in repaints right after each write: only a synchronous
    // capture holds the picture of its own refresh.
    EXPECT_EQ(std::string(frame.size(), static_cast<char>(0x11 * k)), frame) << name;
    snprintf(name, sizeof name, "/frames/frame-%04d.png", k);
    EXPECT_EQ("\x89PNG", slurp(report_ + name).substr(0, 4));
  }
  EXPECT_EQ("", slurp(root_ + "/sim/boot/frames/frame-0004.fb"));
  EXPECT_EQ("\x89PNG", slurp(report_ + "/frames.png").substr(0, 4));
  EXPECT_EQ(3, count_where(report_json()["frames"], [](const Json& f) {
              return f["png"].get<std::string>().rfind("frames/frame-", 0) == 0;
            }));
}

TEST_F(SimBoot, FramesOfTheFourBitPanelDecodeNibbles) {
  std::string fb(480 * 272 / 2, '\0');
  fb[0] = static_cast<char>(0xF0);  // x = 0 dark (low nibble), x = 1 light
  std::vector<unsigned char> grey;
  ASSERT_TRUE(sim::frame_to_grey(fb, &grey));
  EXPECT_EQ(0, grey[0]);
  EXPECT_EQ(255, grey[1]);
  EXPECT_EQ(0, grey[2]);
  EXPECT_FALSE(sim::frame_to_grey(std::string(100, '\0'), &grey));
  std::string profile = write_profile("[device]\nhwver = 58.0.0.2.0.0.0.0\n");
  ASSERT_EQ(0, boot({"--fresh", "--profile", profile}, {"frames", "1"}));
  EXPECT_EQ(65280u, slurp(root_ + "/sim/boot/frames/frame-0001.fb").size());
}

TEST_F(SimBoot, RebootIsRecordedAndEndsEveryProcessOfTheBoot) {
  ASSERT_EQ(0, boot({"--fresh"}, {"spawn", "20", ",", "reboot"}));
  // The stand-in may be ended before it reports the reboot command's
  // status (a reboot does not wait for it), but never runs past it.
  std::string out = console();
  EXPECT_FALSE(contains(out, "still running after the reboot"));
  EXPECT_FALSE(contains(out, "leftover done"));
  EXPECT_EQ("reboot\n", slurp(root_ + "/sim/reboot-requests"));
  EXPECT_TRUE(contains(slurp(root_ + "/sim/boot/result"), "end reboot\n"));
  Json json = report_json();
  EXPECT_EQ("reboot", json["end"]);
  EXPECT_EQ(true, json["reboot_requested"]);
}

TEST_F(SimBoot, AFailingRebootLeavesTheBootRunning) {
  std::string profile = write_profile("[reboot]\nworks = no\n");
  ASSERT_EQ(0, boot({"--fresh", "--profile", profile}, {"reboot", "0.2"}));
  EXPECT_TRUE(contains(console(), "still running after the reboot"));
  EXPECT_EQ("exit 0", report_json()["end"]);
  EXPECT_EQ(true, report_json()["reboot_requested"]);
}

TEST_F(SimBoot, TheBootWaitsForWhatTheProgramLeftRunningUnlessToldNot) {
  ASSERT_EQ(0, boot({"--fresh"}, {"spawn", "0.3"}));
  EXPECT_TRUE(contains(console(), "leftover done"));
  ASSERT_EQ(3, boot({"--end", "program"}, {"spawn", "5", ",", "exit", "3"}));
  EXPECT_FALSE(contains(console(), "leftover done"));
  EXPECT_EQ("exit 3", report_json()["end"]);
}

TEST_F(SimBoot, SemaphoresStartEmptyAtEachBootAndNeverReachTheHost) {
  const int host_key = 0x51A7E;
  int host_sem = semget(host_key, 1, IPC_CREAT | 0600);
  ASSERT_GE(host_sem, 0);
  ASSERT_EQ(0, boot({"--fresh"}, {"sem-state", std::to_string(host_key), ",", "sem-hold", "0x5A5A", ",", "sem-state",
                                  "0x5A5A"}));
  semctl(host_sem, 0, IPC_RMID);
  std::string out = console();
  EXPECT_TRUE(contains(out, std::to_string(host_key) + " absent\n"));
  EXPECT_TRUE(contains(out, "23130 value 0\n"));  // taken without undo: stays taken
  EXPECT_LT(semget(0x5A5A, 0, 0), 0);             // not on the host
  ASSERT_EQ(0, boot({}, {"sem-state", "0x5A5A"}));
  EXPECT_TRUE(contains(console(), "23130 absent\n"));  // gone with the boot
}

TEST_F(SimBoot, TheListenerRecordsABroadcastOnEveryIdButTheProgramsOwn) {
  ASSERT_EQ(0, boot({"--fresh"}, {"broadcast", "4", "3", "0"}));
  std::string ipc = slurp(root_ + "/sim/boot/ipc");
  for (int id = 1; id <= 12; ++id) {
    std::string line = "to=" + std::to_string(id) + " type=4 sender=6 p1=3 p2=0 len=20\n";
    EXPECT_EQ(id == 6 ? 0 : 1, count_of(ipc, line)) << id;
  }
  EXPECT_EQ(11, count_where(report_json()["ipc"], [](const Json& m) {
              return m["type"] == 4 && m["sender"] == 6 && m["param1"] == 3 && m["param2"] == 0 && m["length"] == 20 &&
                     m["well_formed"] == true;
            }));
}

// A sender that trickles its message holds up nobody else's, and the end of
// the boot still waits for it.
TEST_F(SimBoot, TheListenerServesASecondSenderWhileTheFirstTrickles) {
  ASSERT_EQ(0, boot({"--fresh", "--end", "program"}, {"trickle", "1", "100", ",", "broadcast", "4", "3", "0"}));
  std::string ipc = slurp(root_ + "/sim/boot/ipc");
  size_t trickled = ipc.find(" to=1 type=9 sender=6 p1=7 p2=0 len=20\n");
  size_t broadcast = ipc.find(" to=1 type=4 sender=6 p1=3 p2=0 len=20\n");
  ASSERT_NE(std::string::npos, trickled) << ipc;
  ASSERT_NE(std::string::npos, broadcast) << ipc;
  EXPECT_LT(broadcast, trickled) << ipc;
}

// The kernel numbers a namespace's first set and first segment 0: only when
// the profile made some before does the boot's own get another id.
TEST_F(SimBoot, SetsAndSegmentsMadeAfterTheProfilesHaveIdsOtherThanZero) {
  std::string rom = root_ + ".rom";
  std::ofstream(rom) << "ROMDATA0123456789abcdef";
  constexpr unsigned kHistory = 0x7777;
  for (bool asked : {false, true}) {
    std::string profile = write_profile(asked ? "[ipc]\nsem = 0x7777 1\nshm = 0x7777 16\n" : "");
    ASSERT_EQ(0, boot({"--fresh", "--profile", profile, "--install", rom + ":/data/rom.bin", "--shm", "/data/rom.bin"},
                      {"sem-hold", "0x5A5A", ",", "shm"}));
    Json r = report_json();
    ASSERT_EQ("recorded", r["ipc_state"]) << asked;
    for (const char* list : {"semaphores", "shared_memory"}) {
      EXPECT_EQ(asked ? 1 : 0, count_where(r[list], [](const Json& o) { return o["key"] == kHistory; })) << list;
      EXPECT_EQ(asked ? 0 : 1, count_where(r[list], [](const Json& o) { return o["key"] != kHistory && o["id"] == 0; }))
          << list << " " << r[list];
    }
    EXPECT_EQ(1, count_where(r["semaphores"], [](const Json& o) { return o["key"] == 0x5A5A; }));
    EXPECT_EQ(1, count_where(r["shared_memory"], [](const Json& o) { return o["key"] == LIBUPD_SHM_KEY; }));
  }
  unlink(rom.c_str());
}

TEST_F(SimBoot, TheReportListsEverySemaphoreSetAndSegment) {
  std::string profile = write_profile("[ipc]\nsem = 0x1234 3\nshm = 0x4321 4096\nsem_sets = 2\n");
  ASSERT_EQ(0, boot({"--fresh", "--profile", profile}, {"sem-hold", "0x5A5A"}));
  Json r = report_json();
  ASSERT_EQ("recorded", r["ipc_state"]);
  std::map<unsigned, Json> values;
  for (const Json& set : r["semaphores"]) values[set["key"].get<unsigned>()] = set["values"];
  EXPECT_EQ(4u, values.size()) << r["semaphores"];
  EXPECT_EQ(Json({0, 0, 0}), values[0x1234]);
  EXPECT_EQ(Json({0}), values[0x5A5A]);  // taken without undo
  ASSERT_EQ(1u, r["shared_memory"].size()) << r["shared_memory"];
  EXPECT_EQ(0x4321, r["shared_memory"][0]["key"]);
  EXPECT_EQ(4096, r["shared_memory"][0]["size"]);
  EXPECT_EQ(0, r["shared_memory"][0]["attached"]);
  std::string text = slurp(report_ + "/report.txt");
  EXPECT_TRUE(contains(text, "semaphore set key 0x00001234 id ")) << text;
  EXPECT_TRUE(contains(text, " values 0 0 0\n")) << text;
  EXPECT_TRUE(contains(text, "segment key 0x00004321 id ")) << text;
}

TEST_F(SimBoot, BadIpcLinesAreRefusedWithTheirKeyAndValue) {
  for (const char* line : {"sem_sets = abc", "sem_sets = -1", "sem_sets = 65", "sem = 0x1234", "sem = 0x1234 0",
                           "shm = 0x1FFFFFFFF 16", "shm = 1 99999999999", "sems = 1"}) {
    std::string profile = write_profile(std::string("[ipc]\n") + line + "\n");
    std::string out = root_ + ".out";
    int status = run_argv({"/bin/sh", "-c", "'" + kSimdev + "' boot --root '" + root_ + "' --fresh --profile '" + profile +
                                              "' -- /bin/true 2>'" + out + "'"});
    EXPECT_EQ(125, status) << line;
    std::string key = std::string(line).substr(0, std::string(line).find(' '));
    EXPECT_TRUE(contains(slurp(out), "[ipc] " + key + " = ")) << line << ": " << slurp(out);
  }
}

// After a boot, and after a power cut, the root still tells what happened.
TEST_F(SimBoot, AReportCanBeMadeOfAnExistingRoot) {
  ASSERT_EQ(3, run_argv({kSimdev, "boot", "--root", root_, "--fresh", "--program", kStandin, "--timeout", "60", "--",
                         "/basic/bin/upgrader", "sh", "printf abc | dd of=/dev/mtd7 conv=notrunc 2>/dev/null", ",",
                         "exit", "3"}));
  std::string boot = root_ + "/sim/boot";
  std::ofstream(boot + "/windows-before") << "mtd3 0x90020000 0x10000\nmtd4 0x90330000 0x80000\n";
  std::ofstream(boot + "/windows-after") << "mtd3 0x907e0000 0x10000\n";
  std::ofstream(boot + "/flash") << "erases 3\nwrites 2\nerase_ms 2100.5\nprogram_ms 12\ntotal_ms 2112.5\n";
  ASSERT_EQ(0, run_argv({kSimdev, "report", "--root", root_, "--report", report_}));
  Json r = report_json();
  EXPECT_EQ("exit 3", r["end"]);
  EXPECT_EQ(3, r["status"]);
  EXPECT_EQ(true, flash_of(r, "mtd7")["changed"]);
  EXPECT_EQ(false, flash_of(r, "mtd6")["changed"]);
  EXPECT_EQ(Json::parse(R"([{"name": "mtd3", "start": 2416050176, "size": 65536},
                            {"name": "mtd4", "start": 2419261440, "size": 524288}])"), r["windows_before"]);
  EXPECT_EQ(Json::parse(R"([{"name": "mtd3", "start": 2424176640, "size": 65536}])"), r["windows_after"]);
  EXPECT_EQ(Json::parse(R"({"erases": 3, "writes": 2, "erase_ms": 2100.5, "program_ms": 12, "total_ms": 2112.5})"),
            r["flash_time"]);
  EXPECT_EQ(nullptr, r["cut"]);
  EXPECT_EQ("recorded", r["ipc_state"]);

  // A cut boot leaves no semaphore behind to show, and says where it stopped.
  std::ofstream(boot + "/cut") << "write 2 stored 8 of 16\n";
  ASSERT_EQ(0, run_argv({kSimdev, "report", "--root", root_, "--report", report_}));
  r = report_json();
  EXPECT_EQ("write 2 stored 8 of 16", r["cut"]);
  EXPECT_EQ("power cut", r["ipc_state"]);
  EXPECT_EQ(nullptr, r["semaphores"]);
  EXPECT_TRUE(contains(slurp(report_ + "/report.txt"), "the power was cut"));

  // A directory that no boot has used has nothing to report.
  std::string empty = root_ + ".empty";
  mkdir(empty.c_str(), 0755);
  EXPECT_EQ(1, run_argv({kSimdev, "report", "--root", empty, "--report", report_ + ".none"}));
  rmdir(empty.c_str());
}

TEST_F(SimBoot, KeysArriveAtTheirTimesAndArePressedOnlyForAReader) {
  // A press and release of 2 at 0.2 s, a press of 35 at 0.4 s; the stand-in
  // reads those three events and closes the device, so the press at 1.2 s
  // finds nobody reading.
  std::string profile = write_profile("[keypad]\nkey = 0.2 2\nkey = 0.4 35 1\nkey = 1.2 7\n");
  ASSERT_EQ(0, boot({"--fresh", "--profile", profile}, {"keys", "3", ",", "sleep", "1.6"}));
  std::string out = console();
  std::vector<std::string> events;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    unsigned type, code;
    int value;
    long ms;
    if (sscanf(line.c_str(), "key type %u code %u value %d at %ld ms", &type, &code, &value, &ms) == 4) {
      EXPECT_EQ(1u, type);
      events.push_back(std::to_string(code) + "/" + std::to_string(value));
    }
  }
  ASSERT_EQ(3u, events.size()) << out;
  EXPECT_EQ("2/1", events[0]);
  EXPECT_EQ("2/0", events[1]);
  EXPECT_EQ("35/1", events[2]);
  // Times of the keypad's records are from the boot's start; the program
  // started a little later.
  double program_start = 0;
  sscanf(slurp(root_ + "/sim/boot/result").c_str(), "program_start_ms %lf", &program_start);
  std::istringstream records(slurp(root_ + "/sim/boot/keys"));
  std::vector<double> at;
  for (double t; records >> t && std::getline(records, line);) at.push_back(t - program_start);
  ASSERT_EQ(3u, at.size());
  EXPECT_GE(at[0], 200);
  EXPECT_GE(at[1], 400);
  EXPECT_GE(at[2], 1200);
  std::string keys = slurp(root_ + "/sim/boot/keys");
  EXPECT_EQ(2, count_of(keys, " delivered\n"));
  EXPECT_TRUE(contains(keys, "code=7 value=press+release lost (nobody reads the keypad)\n"));
}

TEST_F(SimBoot, TheSaverHoldsItsLockWhileTheProgramStarts) {
  ASSERT_EQ(0, boot({"--fresh", "--saver", "0.3"}, {"saver"}));
  EXPECT_TRUE(contains(console(), "saver lock busy\nsaver lock taken\n"));
  std::string saver = slurp(root_ + "/sim/boot/saver");
  EXPECT_TRUE(contains(saver, " taken\n"));
  EXPECT_TRUE(contains(saver, " released\n"));
  EXPECT_LT(saver.find("taken"), saver.find("released"));
}

TEST_F(SimBoot, TheWriterHandsTheRomAndTheRequestKindOver) {
  std::string rom = root_ + ".rom";
  std::ofstream(rom) << "ROMDATA0123456789abcdef";
  ASSERT_EQ(0, boot({"--fresh", "--install", rom + ":/data/rom.bin", "--shm", "/data/rom.bin", "--shm-state", "1"},
                    {"shm"}));
  EXPECT_TRUE(contains(console(), "shm state 1 rom 52 4f 4d 44 41 54 41 30 31 32 33 34 35 36 37 38\n"));
  ASSERT_EQ(0, boot({"--install", rom + ":/data/rom.bin", "--shm", "/data/rom.bin", "--shm-state", "1",
                     "--shm-fail"}, {"shm"}));
  EXPECT_TRUE(contains(console(), "shm state -2 rom"));
  ASSERT_EQ(0, boot({"--shm", "/data/missing.bin", "--shm-state", "2"}, {"shm"}));
  EXPECT_TRUE(contains(console(), "shm state -3 rom"));
  unlink(rom.c_str());
}

TEST_F(SimBoot, LogLinesKeepTheirLevels) {
  ASSERT_EQ(0, boot({"--fresh"}, {"log"}));
  Json log = report_json()["log"];
  for (auto [level, text] : {std::pair<int, const char*>{3, "standin error line"}, {6, "standin info line"},
                             {7, "standin debug line"}}) {
    auto entry = std::find_if(log.begin(), log.end(), [text = std::string(text)](const Json& e) {
      std::string line = e["text"];  // after the logger's own prefix
      return line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0;
    });
    ASSERT_NE(log.end(), entry) << text;
    EXPECT_EQ(level, (*entry)["level"]) << text;
  }
  EXPECT_FALSE(contains(log.dump(), "simdev-flush"));
}

TEST_F(SimBoot, ASecondProgramRunsAlongside) {
  std::string profile = write_profile("[second]\nat = 0.1\ncommand = echo second here; exit 4\n");
  ASSERT_EQ(0, boot({"--fresh", "--profile", profile}, {"sleep", "0.5"}));
  EXPECT_TRUE(contains(console(), "second here\n"));
  EXPECT_TRUE(contains(slurp(root_ + "/sim/boot/second"), " exit 4\n"));
}

TEST_F(SimBoot, FlashFilesFollowTheProfileAndChangesAreReported) {
  std::string profile = write_profile(
      "[env]\nmtd3 = 0x90020000,0x90030000\nmtd4 = 0x90330000,0x903b0000\n"
      "[flash]\nerase_size = 0x20000\nremap = no\nmtd3 = env fill=0x00\nmtd7 = 128K\n"
      "[faults]\nmtd4 = fail erase 2\n");
  ASSERT_EQ(0, boot({"--fresh", "--profile", profile},
                    {"exit", "0"}));
  struct stat st;
  ASSERT_EQ(0, stat((root_ + "/dev/mtd3").c_str(), &st));
  EXPECT_EQ(65536, st.st_size);
  EXPECT_EQ(std::string(65536, '\0'), slurp(root_ + "/dev/mtdblock/3"));  // the same flash
  EXPECT_EQ(std::string(524288, '\xff'), slurp(root_ + "/dev/mtd4"));
  EXPECT_EQ(131072u, slurp(root_ + "/dev/mtd7").size());
  EXPECT_EQ("erasesize 0x20000\nremap 0\n", slurp(root_ + "/dev/mtd3.sim"));
  EXPECT_EQ("erasesize 0x20000\nremap 0\nfail erase 2\n", slurp(root_ + "/dev/mtd4.sim"));
  auto changed = [](const Json& f) { return f["changed"] == true; };
  EXPECT_EQ(65536, flash_of(report_json(), "mtd3")["size"]);
  EXPECT_EQ(0, count_where(report_json()["flash"], changed));

  // What the program writes shows in the report; so does the board record,
  // whose fault lines outlive the boot while its records do not.
  ASSERT_EQ(0, boot({}, {"sh", "printf abc | dd of=/dev/mtd7 conv=notrunc 2>/dev/null", ",", "watchdog", "0", ",",
                         "watchdog", "1"}));
  Json json = report_json();
  EXPECT_EQ(1, count_where(json["flash"], changed));
  EXPECT_EQ(131072, flash_of(json, "mtd7")["size"]);
  EXPECT_EQ(true, flash_of(json, "mtd7")["changed"]);
  EXPECT_EQ(Json({0, 1}), json["watchdog"]);
  ASSERT_EQ(0, boot({}, {"exit", "0"}));
  EXPECT_EQ(Json::array(), report_json()["watchdog"]);

  // A write through the block device changes the partition.
  ASSERT_EQ(0, run_argv({kSimdev, "run", "--root", root_, "--", "/bin/sh", "-c",
                         "printf x | dd of=/dev/mtdblock/3 conv=notrunc 2>/dev/null"}));
  ASSERT_EQ(0, boot({}, {"exit", "0"}));
  EXPECT_EQ(0, count_where(report_json()["flash"], changed));  // the change came before this boot
  std::string before = slurp(root_ + "/dev/mtd3");
  EXPECT_EQ('x', before[0]);
}

TEST_F(SimBoot, ABootLeavesNothingOnTheHost) {
  ASSERT_EQ(0, boot({"--fresh"}, {"env-set", "HOST_CHECK", "1", ",", "frames", "1", ",", "broadcast", "3", "0", "0"}));
  struct stat st;
  EXPECT_NE(0, stat("/proc/avalanche", &st));
  EXPECT_NE(0, stat("/proc/glcd", &st));
  EXPECT_FALSE(contains(slurp("/proc/self/mountinfo"), root_));
  EXPECT_NE(0, stat("/var/ipc/1", &st));
}

TEST_F(SimBoot, AKilledSimulatorTakesItsBootWithIt) {
  pid_t pid = fork();
  if (pid == 0) {
    execl(kSimdev.c_str(), "simdev", "boot", "--root", root_.c_str(), "--fresh", "--program", kStandin.c_str(), "--",
          "/basic/bin/upgrader", "sleep", "31.25", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the stand-in runs inside the boot.
  bool started = false;
  for (int i = 0; i < 500 && !started; ++i) {
    started = contains(slurp(root_ + "/sim/boot/result"), "program_start_ms");
    if (!started) usleep(10000);
  }
  ASSERT_TRUE(started);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  // Every process of the boot ends with it: no stand-in is left sleeping.
  bool left = true;
  for (int i = 0; i < 300 && left; ++i) {
    left = run_argv({"/bin/sh", "-c", "grep -qs 'sleep.31\\.25' /proc/[0-9]*/cmdline"}) == 0;
    if (left) usleep(10000);
  }
  EXPECT_FALSE(left);
}

TEST_F(SimBoot, TheReadyProfilesDescribeTheirPhones) {
  struct Case {
    const char* file;
    const char* hwver;
    size_t fb_size;
    const char* remap;
    const char* protect;
  };
  for (const Case& c : {Case{"typical.ini", "59.0.0.1.0.0.0.0", 261120, "remap 1", "SW_protect 0"},
                        Case{"protected.ini", "59.0.0.1.0.0.0.0", 261120, "remap 1", "SW_protect 1"},
                        Case{"other-board.ini", "58.0.0.2.0.0.0.0", 65280, "remap 0", "SW_protect 0"}}) {
    std::string profile = std::string(SIM_PROFILES) + "/" + c.file;
    ASSERT_EQ(0, boot({"--fresh", "--profile", profile}, {"cat", "/proc/misc/hwver", ",", "cat", "/proc/avalanche/env"}))
        << c.file;
    EXPECT_TRUE(contains(console(), std::string(c.hwver) + "\n")) << c.file;
    EXPECT_TRUE(contains(console(), std::string("\n") + c.protect + "\n")) << c.file;
    EXPECT_EQ(c.fb_size, slurp(root_ + "/dev/fb0").size()) << c.file;
    EXPECT_TRUE(contains(slurp(root_ + "/dev/mtd6.sim"), c.remap)) << c.file;
    EXPECT_EQ(3145728u, slurp(root_ + "/dev/mtd6").size()) << c.file;
  }
}

TEST_F(SimBoot, PlainRunsKeepProcAsADirectoryOfFiles) {
  mkdir(root_.c_str(), 0755);
  EXPECT_EQ(0, run_argv({kSimdev, "run", "--root", root_, "--", "/bin/sh", "-c",
                         "mkdir -p /proc/avalanche && echo 'A 1' > /proc/avalanche/env && "
                         "test \"$(cat /proc/avalanche/env)\" = 'A 1' && test -r /proc/self/maps"}));
}

// --- The flash chip: windows, re-maps, modelled time, power cuts ---

std::string bytes_of(std::initializer_list<std::pair<int, size_t>> runs, size_t size) {
  std::string out;
  for (auto [byte, count] : runs) out.append(count, static_cast<char>(byte));
  out.resize(size, '\xff');
  return out;
}

// The typical phone with more profile text.
std::string typical_with(const std::string& extra) {
  return slurp(std::string(SIM_PROFILES) + "/typical.ini") + "\n" + extra;
}

std::string line_of(const std::string& text, const std::string& start) {
  size_t at = text.find(start);
  return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

TEST_F(SimBoot, ARemapMovesTheWindowAndOverlappingWindowsShareBytes) {
  // The typical phone: mtd8 is 0x907d0000..0x907f0000, so 0x907e0000 is its
  // second half. 0x5a there, then mtd3 moved onto it and written 0x0f.
  ASSERT_EQ(0, boot({"--fresh"}, {"mtd-write", "/dev/mtd8", "0x10000", "0x5a", "16", ",", "mtd-remap", "/dev/mtd3",
                                  "0x7e0000", "0x10000", ",", "sh", "head -c 4 /dev/mtd3 | od -An -tx1", ",",
                                  "mtd-write", "/dev/mtd3", "8", "0x0f", "8", ",", "sh",
                                  "head -c 16 /dev/mtdblock/3 | od -An -tx1"}));
  std::string out = console();
  EXPECT_TRUE(contains(out, " 5a 5a 5a 5a\n")) << out;  // the new place, at once
  EXPECT_TRUE(contains(out, " 5a 5a 5a 5a 5a 5a 5a 5a 0a 0a 0a 0a 0a 0a 0a 0a\n")) << out;  // the block device moved too
  std::string after = slurp(root_ + "/sim/boot/windows-after");
  EXPECT_EQ("mtd3 0x907e0000 0x10000", line_of(after, "mtd3 "));
  EXPECT_EQ("mtdblock/3 0x907e0000 0x10000", line_of(after, "mtdblock/3 "));
  EXPECT_EQ("mtd3 0x90020000 0x10000", line_of(slurp(root_ + "/sim/boot/windows-before"), "mtd3 "));
  EXPECT_EQ("remap 0x7e0000 0x10000\n", slurp(root_ + "/dev/mtd3.log"));
  std::string mtd8 = slurp(root_ + "/dev/mtd8");
  EXPECT_TRUE(mtd8.substr(0x10000) == bytes_of({{0x5a, 8}, {0x0a, 8}}, 0x10000));
  EXPECT_TRUE(slurp(root_ + "/dev/mtd3") == mtd8.substr(0x10000));
}

TEST_F(SimBoot, ARemapSurvivesARebootOnlyWhereTheProfileSaysSo) {
  for (auto [persists, start] : {std::pair<const char*, const char*>{"no", "0x90020000"}, {"yes", "0x907e0000"}}) {
    std::string profile = write_profile(typical_with(std::string("[flash]\nremap_persists = ") + persists + "\n"));
    ASSERT_EQ(0, boot({"--fresh", "--profile", profile}, {"mtd-remap", "/dev/mtd3", "0x7e0000", "0x10000"}));
    ASSERT_EQ(0, boot({}, {"exit", "0"}));
    std::string expected = std::string("mtd3 ") + start + " 0x10000";
    EXPECT_EQ(expected, line_of(slurp(root_ + "/sim/boot/windows-before"), "mtd3 ")) << persists;
    EXPECT_EQ(expected, line_of(slurp(root_ + "/sim/boot/windows-after"), "mtd3 ")) << persists;
  }
}

TEST_F(SimBoot, EraseAndProgramAddModelledTime) {
  struct Case {
    const char* profile;
    const char* served_erasesize;
    const char* record;
  };
  // Two 64 KiB units at 700 ms and 2 KiB at 10 ms a KiB; then mtd7
  // (0x907b0000..0x907d0000) reaching into a region of 128 KiB units takes
  // those: one unit at 500 ms per 64 KiB, and 2 KiB at 4 ms a KiB.
  for (const Case& c :
       {Case{"", "erasesize 0x10000", "erases 1\nwrites 1\nerase_ms 1400.0\nprogram_ms 20.0\ntotal_ms 1420.0\n"},
        Case{"[flash]\nregion = 0x907c0000 0x40000 0x20000\nerase_ms_per_64k = 500\nprogram_ms_per_kib = 4\n",
             "erasesize 0x20000", "erases 1\nwrites 1\nerase_ms 1000.0\nprogram_ms 8.0\ntotal_ms 1008.0\n"}}) {
    ASSERT_EQ(0, boot({"--fresh", "--profile", write_profile(typical_with(c.profile))},
                      {"mtd-erase", "/dev/mtd7", "0", "0x20000", ",", "mtd-write", "/dev/mtd7", "0", "0", "2048", ",",
                       "cat", "/dev/mtd7.sim"}));
    EXPECT_TRUE(contains(console(), std::string(c.served_erasesize) + "\n")) << c.profile;
    EXPECT_EQ(c.record, slurp(root_ + "/sim/boot/flash")) << c.profile;
  }
}

TEST_F(SimBoot, APowerCutFreezesTheChipAndTheEnvironmentAtThatInstant) {
  struct Case {
    std::vector<std::string> cut;
    std::vector<std::string> steps;  // each ends with a write and an environment change that must not happen
    const char* record;
    std::string mtd7;
    int frames = 0;  // captured before the cut
  };
  const std::vector<std::string> after = {",", "mtd-write", "/dev/mtd7", "4000", "0", "4", ",", "env-set", "AFTER", "1"};
  auto with_after = [&](std::vector<std::string> steps) {
    steps.insert(steps.end(), after.begin(), after.end());
    return steps;
  };
  const Case cases[] = {
      {{"--cut-erase", "2"},
       with_after({"mtd-erase", "/dev/mtd7", "0", "0x10000", ",", "mtd-write", "/dev/mtd7", "0", "0x11", "16", ",",
                   "mtd-erase", "/dev/mtd7", "0", "0x10000"}),
       "erase 2", bytes_of({{0x11, 16}}, 0x20000)},
      // 1002 bytes cut on a word boundary before their end: 500 are in.
      {{"--cut-write", "3"},
       with_after({"mtd-write", "/dev/mtd7", "0", "0x11", "1000", ",", "mtd-write", "/dev/mtd7", "1000", "0x22", "1000",
                   ",", "mtd-write", "/dev/mtd7", "2000", "0x33", "1002"}),
       "write 3 stored 500 of 1002", bytes_of({{0x11, 1000}, {0x22, 1000}, {0x33, 500}}, 0x20000)},
      {{"--cut-frame", "2"}, with_after({"mtd-write", "/dev/mtd7", "0", "0x44", "8", ",", "frames", "3"}), "frame 2",
       bytes_of({{0x44, 8}}, 0x20000), 1},
      {{"--cut-time", "0.5"}, with_after({"mtd-write", "/dev/mtd7", "0", "0x66", "8", ",", "sleep", "5"}), "time 0.5",
       bytes_of({{0x66, 8}}, 0x20000)},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options = {"--fresh"};
    options.insert(options.end(), c.cut.begin(), c.cut.end());
    ASSERT_EQ(0, boot(options, c.steps)) << c.record;
    EXPECT_EQ(std::string(c.record) + "\n", slurp(root_ + "/sim/boot/cut"));
    EXPECT_TRUE(contains(slurp(root_ + "/sim/boot/result"), "end cut\n")) << c.record;
    EXPECT_EQ("cut", report_json()["end"]) << c.record;
    EXPECT_TRUE(slurp(root_ + "/dev/mtd7") == c.mtd7) << c.record;
    EXPECT_FALSE(contains(slurp(root_ + "/sim/state/env"), "AFTER")) << c.record;
    EXPECT_EQ(c.frames, count_of(slurp(root_ + "/sim/boot/frames/index"), "\n")) << c.record;
    // The next boot starts from there.
    ASSERT_EQ(0, boot({}, {"sh", "od -An -tx1 /dev/mtd7 | head -1"})) << c.record;
    EXPECT_FALSE(contains(slurp(root_ + "/sim/boot/result"), "end cut")) << c.record;
    EXPECT_TRUE(slurp(root_ + "/dev/mtd7") == c.mtd7) << c.record;
  }
}

TEST_F(SimBoot, FlashNumbersOutOfReasonAreRefusedByName) {
  mkdir(root_.c_str(), 0755);
  for (auto [text, named] : {std::pair<const char*, const char*>{"[flash]\nsize = 16777216M\n", "[flash] size = \"16777216M\""},
                             {"[flash]\nerase_size = abc\n", "[flash] erase_size = \"abc\""},
                             {"[flash]\nerase_size = 1000\n", "[flash] erase_size = \"1000\""},
                             {"[flash]\nprogram_ms_per_kib = nan\n", "[flash] program_ms_per_kib = \"nan\""},
                             {"[cut]\nwrite = -1\n", "[cut] write = \"-1\""}}) {
    std::string profile = write_profile(text);
    std::string err = root_ + ".err";
    EXPECT_EQ(125, run_argv({"/bin/sh", "-c", kSimdev + " boot --root " + root_ + "/phone --fresh --profile " + profile +
                                                  " --program " + kStandin + " 2>" + err}))
        << text;
    EXPECT_TRUE(contains(slurp(err), named)) << slurp(err);
  }
}

// What simdev cannot honour is refused before the boot, with a message that
// names the option or the key and the value.
TEST_F(SimBoot, RefusesNumbersSizesAndPathsItCannotHonour) {
  std::string dir = root_ + ".dir";
  mkdir(dir.c_str(), 0755);
  struct Row {
    std::vector<std::string> options;  // after --root and --fresh
    std::string profile;               // written and given when not empty
    int status;
    std::vector<std::string> named;
  } rows[] = {
      {{"--timeout", "abc"}, "", 2, {"--timeout", "abc"}},
      {{"--timeout", "-1"}, "", 2, {"--timeout", "-1"}},
      {{"--timeout", "0"}, "", 2, {"--timeout", "0"}},
      {{"--timeout", "99999999999999999999"}, "", 2, {"--timeout", "99999999999999999999"}},
      {{"--saver", "1e300"}, "", 2, {"--saver", "1e300"}},
      {{"--second-at", "nan"}, "", 2, {"--second-at", "nan"}},
      {{"--key", "inf:35"}, "", 2, {"--key", "inf:35"}},
      {{"--key", "1:35:99999999999"}, "", 2, {"--key", "1:35:99999999999"}},
      {{"--shm-state", "1x"}, "", 2, {"--shm-state", "1x"}},
      {{"--killapps-exit", "256"}, "", 2, {"--killapps-exit", "256"}},
      {{}, "[flash]\nmtd1 = 16777216M\n", 125, {"mtd1", "16777216M"}},
      {{}, "[flash]\nmtd1 = 17592186044416M\n", 125, {"mtd1", "17592186044416M"}},
      {{}, "[flash]\nerase_size = abc\n", 125, {"erase_size", "abc"}},
      {{}, "[flash]\nerase_size = 0\n", 125, {"erase_size", "0"}},
      {{}, "[flash]\nerase_size = -1\n", 125, {"erase_size", "-1"}},
      {{}, "[env]\nmtd2 = 0x0,0xFFFFFFFFFFFFFFFF\n", 125, {"mtd2", "0xFFFFFFFFFFFFFFFF"}},
      {{}, "[saver]\nhold = 1e300\n", 125, {"hold", "1e300"}},
      {{}, "[keypad]\nkey = nan 35\n", 125, {"key", "nan 35"}},
      {{}, "[boot]\ntimeout = 0\n", 125, {"timeout", "0"}},
      {{}, "[apps]\nkillapps_seconds = 1; reboot\n", 125, {"killapps_seconds", "1"}},
      {{}, "[panel]\nfb_size = 99999999999\n", 125, {"fb_size", "99999999999"}},
      {{}, "[files]\n/../../escaped = x\n", 125, {"/../../escaped"}},
      {{"--install", "/etc/hostname:/../../escaped"}, "", 125, {"--install", "/../../escaped"}},
      {{"--bind", "/../../escaped"}, "", 2, {"--bind", "/../../escaped"}},
      {{"--profile", dir}, "", 125, {"--profile", dir}},
      {{"--program", dir}, "", 125, {"--program", dir}},
      {{"--", "/no/such/command"}, "", 127, {"/no/such/command"}},
  };
  for (const Row& r : rows) {
    std::vector<std::string> args = {"boot", "--root", root_, "--fresh", "--timeout", "60", "--program", kStandin};
    if (!r.profile.empty()) args.insert(args.end(), {"--profile", write_profile(r.profile)});
    args.insert(args.end(), r.options.begin(), r.options.end());
    SCOPED_TRACE(args.back() + " " + r.profile);
    std::string err;
    EXPECT_EQ(r.status, simdev(args, &err));
    for (const std::string& n : r.named) EXPECT_TRUE(contains(err, n)) << err;
    EXPECT_FALSE(file_exists(kWork + "/../escaped"));
  }
  rmdir(dir.c_str());
}

// --fresh empties only a directory simdev made, whichever command asks.
TEST_F(SimBoot, FreshLeavesAStrangersDirectoryWhole) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"boot", "--root", root_, "--fresh", "--program", kStandin},
        {"run", "--root", root_, "--fresh", "--", "/bin/true"},
        {"mkroot", "--fresh", root_},
        {"run", "--root", root_, "--", "/bin/true"}}) {
    SCOPED_TRACE(args[0]);
    mkdir(root_.c_str(), 0755);
    ASSERT_TRUE(write_file(root_ + "/precious", "mine"));
    std::string err;
    EXPECT_NE(0, simdev(args, &err));
    EXPECT_TRUE(contains(err, root_)) << err;
    EXPECT_EQ("mine", slurp(root_ + "/precious"));
    unlink((root_ + "/precious").c_str());
  }
  // An empty directory, and the root made there, are the simulator's.
  EXPECT_EQ(0, boot({"--fresh"}, {"exit", "0"}));
  EXPECT_EQ(0, boot({"--fresh"}, {"exit", "0"}));
}

// A link inside the root that leads out is never written through.
TEST_F(SimBoot, PathsThroughALinkOutOfTheRootAreRefused) {
  ASSERT_EQ(0, boot({"--fresh"}, {"exit", "0"}));
  std::string outside = root_ + ".outside";
  mkdir(outside.c_str(), 0755);
  ASSERT_EQ(0, symlink(outside.c_str(), (root_ + "/data").c_str()));
  std::string err;
  EXPECT_EQ(125, simdev({"boot", "--root", root_, "--profile", write_profile("[files]\n/data/x = 1\n")}, &err));
  EXPECT_TRUE(contains(err, "/data/x")) << err;
  EXPECT_EQ(125, simdev({"boot", "--root", root_, "--install", "/etc/hostname:/data/y"}, &err));
  EXPECT_TRUE(contains(err, "/data/y")) << err;
  EXPECT_FALSE(file_exists(outside + "/x"));
  EXPECT_FALSE(file_exists(outside + "/y"));
  rmdir(outside.c_str());
}

// The framebuffer is sized for the panel the program will pick: the same
// rule on the same /proc/misc/hwver, unless the profile names the panel.
TEST_F(SimBoot, FramebufferFitsThePanelTheProgramPicks) {
  const size_t gtype = 480 * 272 * 2, mono = 480 * 272 / 2;
  struct Row {
    std::string profile;
    size_t fb_size;
  } rows[] = {
      {"", gtype},  // the default hardware version is 59.0.0.1...
      {"[device]\nhwver = 59.0.0.2.0.0.0.0\n", mono},
      {"[device]\nhwver = 59.0.0.17.0.0.0.0\n", gtype},
      {"[device]\nhwver = 60.0.0.1.0.0.0.0\n", mono},
      {"[device]\nhwver = 58.0.0.0.0.0.0.3\n", gtype},
      {"[device]\nhwver = 59.0.0.1.0.0.0.0\n[faults]\nprocfs = hwver_read\n", mono},
      {"[device]\nhwver = 58.0.0.0.0.0.0.0\n[panel]\ntype = gtype\n", gtype},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.profile);
    ASSERT_EQ(0, boot({"--fresh", "--profile", write_profile(r.profile)}, {"exit", "0"}));
    EXPECT_EQ(r.fb_size, slurp(root_ + "/dev/fb0").size());
  }
}

// simdev inside a plain chroot, whose "/" is no mount point: a root on a
// mount of its own boots; a root with no mount point above it is refused
// with the reason. Everything runs in a mount namespace of the test's own.
TEST_F(SimBoot, BootsInsideAPlainChroot) {
  std::string jail = root_ + ".jail", err = "/plain/err";
  auto dir_of = [](const std::string& path) { return path.substr(0, path.rfind('/')); };
  int status = run_in_child([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 10;
    // /proc for the sanitizers of an asan build.
    std::vector<std::string> host = {"/bin", "/sbin", "/lib",          "/lib64",         "/usr",
                                     "/etc", "/dev",  dir_of(kSimdev), dir_of(kStandin), "/proc"};
    for (const std::string& dir : host) {
      char target[4096];
      ssize_t n = readlink(dir.c_str(), target, sizeof target - 1);
      if (run_argv({"/bin/mkdir", "-p", dir_of(jail + dir)}) != 0) return 11;
      if (n > 0) {
        target[n] = '\0';
        if (symlink(target, (jail + dir).c_str()) != 0 && errno != EEXIST) return 12;
      } else if (file_exists(dir)) {
        if (run_argv({"/bin/mkdir", "-p", jail + dir}) != 0) return 13;
        if (mount(dir.c_str(), (jail + dir).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return 14;
      }
    }
    if (mkdir((jail + "/phones").c_str(), 0755) != 0 || mkdir((jail + "/plain").c_str(), 0755) != 0) return 15;
    if (mount("tmpfs", (jail + "/phones").c_str(), "tmpfs", 0, nullptr) != 0) return 16;
    if (chroot(jail.c_str()) != 0 || chdir("/") != 0) return 17;
    std::vector<std::string> boot = {kSimdev, "boot", "--fresh", "--timeout", "60", "--program", kStandin, "--root"};
    boot.push_back("/phones/p");
    if (run_argv(boot) != 0) return 20;
    std::string plain = "'" + boot[0] + "' boot --fresh --program '" + kStandin + "' --root /plain/p 2> " + err;
    if (shell(plain) != 125) return 21;
    return contains(slurp(err), "chroot") ? 0 : 22;
  });
  EXPECT_EQ(0, status);
  run_argv({"/bin/rm", "-rf", "--one-file-system", jail});
}

}  // namespace
