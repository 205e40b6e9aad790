// The flash layout step on the simulated phone: /tmp/mtd.conf against the
// environment's layout, re-maps recorded by the file-backed devices.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/process_flags.h"
#include "devenv/env_store.h"
#include "devenv/mtd_layout.h"
#include "log/rl_log.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

namespace {

struct Range {
  uint32_t start;
  uint32_t end;
  bool operator==(const Range&) const = default;
};

// The installed layout: ten partitions of 512 KiB from the window's start.
std::vector<Range> installed_layout() {
  std::vector<Range> layout;
  for (uint32_t i = 0; i < 10; ++i) layout.push_back({0x90000000 + i * 0x80000, 0x90080000 + i * 0x80000});
  return layout;
}

// The layout file with the pairs of `layout`; entry `key` holds `other`
// instead, or is left out when `other` is nullptr.
void write_layout_file(const std::vector<Range>& layout, int key = -1, const char* other = nullptr) {
  std::string text = "[mtd]\n";
  for (int i = 0; i < 10; ++i) {
    char pair[32];
    snprintf(pair, sizeof pair, "0x%x,0x%x", layout[i].start, layout[i].end);
    const char* value = i == key ? other : pair;
    if (value) text += "mtd" + std::to_string(i) + " = " + value + "\n";
  }
  ASSERT_TRUE(write_file("/tmp/mtd.conf", text));
}

std::string remap_log(int i) { return read_file("/dev/mtd" + std::to_string(i) + ".log"); }

int remap_logs() {
  int n = 0;
  for (int i = 0; i < 10; ++i) n += file_exists("/dev/mtd" + std::to_string(i) + ".log") ? 1 : 0;
  return n;
}

// The layout that moves the environment (mtd3) and configuration (mtd4).
std::vector<Range> moving_env_and_config() {
  std::vector<Range> layout = installed_layout();
  layout[3] = {0x90700000, 0x90780000};
  layout[4] = {0x90780000, 0x90800000};
  return layout;
}

class MtdLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rl_log_init("upgrader", 7);
    // The program runs its tools from the copy it makes of /bin.
    if (!file_exists("/tmp/bin/cat")) {
      ASSERT_EQ(0, shell("cp -a /bin /tmp/"));
    }
    ASSERT_EQ(0, shell("rm -f /tmp/mtd.conf /tmp/mtdblock3 /tmp/mtdblock4 /dev/mtd[0-9]* /dev/mtdblock/*"));
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE(write_file("/dev/mtd" + std::to_string(i), std::string(0x10000, '\xA5')));
      ASSERT_TRUE(write_file("/dev/mtd" + std::to_string(i) + ".sim", "remap 1\n"));
    }
    kernel_support = 1;
    upgrader_kernel_only = env_mtd_moved = config_mtd_moved = env_config_blocks_saved = 0;
    env_block_copied = config_block_copied = 0;
    // Other variables first and the partitions in reverse, so that an
    // entry's index is not its partition number.
    memset(env_, 0, sizeof env_);
    snprintf(env_[0].name, ENV_NAME_SIZE, "SW_OEM");
    for (int i = 0; i < 10; ++i) {
      snprintf(env_[10 - i].name, ENV_NAME_SIZE, "mtd%d", i);
      env_[10 - i].start_addr = installed_layout()[i].start;
      env_[10 - i].end_addr = installed_layout()[i].end;
    }
  }
  // The partitions' ranges as the environment table holds them now.
  std::vector<Range> env_layout() {
    std::vector<Range> out;
    for (int i = 0; i < 10; ++i) out.push_back({env_[10 - i].start_addr, env_[10 - i].end_addr});
    return out;
  }
  env_info env_[ENV_TABLE_SIZE];
};

// Moved partitions are re-mapped and take their new places; a missing
// variable or a failed re-map stops the step, and earlier re-maps stay.
TEST_F(MtdLayoutTest, MovedPartitionsAreRemappedUntilOneFails) {
  std::vector<Range> layout = installed_layout();
  layout[5] = {0x902a0000, 0x90300000};  // starts 0x20000 later
  layout[8] = {0x90400000, 0x90500000};  // ends 0x80000 later
  write_layout_file(layout);
  EXPECT_EQ(0, mtd_config_deal(env_));
  EXPECT_EQ("remap 0x2a0000 0x60000\n", remap_log(5));
  EXPECT_EQ("remap 0x400000 0x100000\n", remap_log(8));
  EXPECT_EQ(2, remap_logs());
  EXPECT_EQ(layout, env_layout());
  EXPECT_FALSE(file_exists("/tmp/mtdblock3"));
  EXPECT_FALSE(file_exists("/tmp/mtdblock4"));
  EXPECT_EQ(0, upgrader_kernel_only + env_mtd_moved + config_mtd_moved);

  std::vector<Range> only_5 = installed_layout();
  only_5[5] = layout[5];
  SetUp();
  write_layout_file(layout);
  snprintf(env_[10 - 6].name, ENV_NAME_SIZE, "mtd66");
  SyslogCapture cap;
  EXPECT_EQ(-1, mtd_config_deal(env_));
  EXPECT_TRUE(cap.has("RomVersion env isnot exist!\n", LOG_INFO));
  EXPECT_EQ("remap 0x2a0000 0x60000\n", remap_log(5));
  EXPECT_EQ(1, remap_logs());

  SetUp();
  write_layout_file(layout);
  ASSERT_TRUE(write_file("/dev/mtd8.sim", "remap 1\nfail remap\n"));
  cap.clear();
  EXPECT_EQ(-1, mtd_config_deal(env_));
  EXPECT_TRUE(cap.has("/dev/mtd8 ioctl failed!\n", LOG_DEBUG));
  EXPECT_EQ(only_5, env_layout());  // mtd8 unchanged: its re-map failed
}

TEST_F(MtdLayoutTest, KernelWithoutSupportRestrictsTheUpgrade) {
  kernel_support = 0;
  std::vector<Range> layout = installed_layout();
  layout[2] = {0x90100000, 0x90160000};
  layout[7] = {0x90380000, 0x90420000};
  write_layout_file(layout);
  SyslogCapture cap;
  EXPECT_EQ(0, mtd_config_deal(env_));
  EXPECT_EQ(1, upgrader_kernel_only);
  // The step stops at the first changed partition.
  EXPECT_EQ((std::vector<std::string>{"mtd0 start_addr:90000000 end_addr:90080000\n",
                                      "mtd1 start_addr:90080000 end_addr:90100000\n",
                                      "mtd2 start_addr:90100000 end_addr:90180000\n",
                                      "kernel_support is UNAVAILABLE\n"}),
            cap.messages(LOG_INFO));
  EXPECT_EQ(0, remap_logs());
  EXPECT_EQ(installed_layout(), env_layout());
}

// Any bad pair refuses the whole layout before anything is compared, even
// when a valid moved partition comes before it.
TEST_F(MtdLayoutTest, InvalidLayoutsAreRefusedWhole) {
  const std::pair<int, const char*> cases[] = {
      {4, "0x90200000,0x90200000"},         // start not below end
      {4, "0x90280000,0x90200000"},         // start above end
      {0, "0x8fff0000,0x90080000"},         // start below the window
      {9, "0x90480000,0x90810000"},         // end past the window
      {4, "0x90208000,0x90280000"},         // start not on 64 KiB
      {4, "0x90200000,0x90278000"},         // end not on 64 KiB
      {4, "0x90200000,"},                   // one number only
      {4, "0x90200000 0x90280000"},         // no comma
      {4, "zz"},                            // nothing to scan
      {9, ""},                              // empty value
      {9, nullptr},                         // key missing
      {4, "-FFFFFFFF6FE00000,0x90280000"},  // a sign that wraps into the window (0x90200000)
      {4, "0x190200000,0x90280000"},        // more than 32 bits
  };
  for (const auto& [key, value] : cases) {
    SCOPED_TRACE("mtd" + std::to_string(key) + " = " + (value ? value : "(missing)"));
    SetUp();
    std::vector<Range> layout = installed_layout();
    layout[1] = {0x90080000, 0x90180000};
    write_layout_file(layout, key, value);
    SyslogCapture cap;
    EXPECT_EQ(-1, mtd_config_deal(env_));
    EXPECT_EQ(0, remap_logs());
    EXPECT_EQ(installed_layout(), env_layout());
    EXPECT_TRUE(cap.messages(LOG_INFO).empty());
    EXPECT_EQ(0, upgrader_kernel_only + env_mtd_moved + config_mtd_moved);
  }
}

// A device that is missing ends the question; one that cannot re-map hands it on.
TEST_F(MtdLayoutTest, KernelSupportIsAskedOnMtd0ThenMtd1) {
  const struct {
    const char* sim[2];  // control files of mtd0 and mtd1, nullptr: no device
    int result;
  } cases[] = {
      {{"remap 1\n", "remap 0\n"}, 1}, {{"remap 0\n", "remap 1\n"}, 1}, {{"remap 0\n", "remap 0\n"}, 0},
      {{nullptr, "remap 1\n"}, 0},    {{"remap 0\n", nullptr}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sim[0] ? c.sim[0] : "none") + " / " + (c.sim[1] ? c.sim[1] : "none"));
    SetUp();
    for (int n = 0; n < 2; ++n) {
      std::string dev = "/dev/mtd" + std::to_string(n);
      ASSERT_TRUE(c.sim[n] ? write_file(dev + ".sim", c.sim[n]) : unlink(dev.c_str()) == 0);
    }
    EXPECT_EQ(c.result, kernel_support_mtd_repair_check());
  }
}

// Both commands run in one go; a failing run is tried five times.
TEST_F(MtdLayoutTest, UnmountRunsBothCommandsAndRetriesFiveTimes) {
  ASSERT_EQ(0, shell("rm -f /tmp/bin/umount /tmp/umount.calls"));
  ASSERT_TRUE(write_file("/tmp/bin/umount", "#!/bin/sh\necho \"$1\" >> /tmp/umount.calls\nexit 1\n"));
  ASSERT_EQ(0, shell("chmod 755 /tmp/bin/umount"));
  SyslogCapture cap;
  EXPECT_EQ(-1, umount_config_mtd());
  EXPECT_EQ(5, cap.count("shellcmd:/tmp/bin/umount /etc/; /tmp/bin/umount /config/\n", LOG_INFO));
  std::string calls;
  for (int i = 0; i < 5; ++i) calls += "/etc/\n/config/\n";
  EXPECT_EQ(calls, read_file("/tmp/umount.calls"));
}

// Each window moves only with its partition's copy, taken where the
// environment records the partition: the window is put back there first, as
// a run cut before its write-back on a kernel that keeps re-maps leaves it
// moved (five attempts each; the environment's copy is taken once, before
// its window moves). A run that ends without writing a copy back moves that
// window back; a window whose copy went back stays.
TEST_F(MtdLayoutTest, WindowsMoveWithTheirCopiesAndBackWithout) {
  const struct {
    const char* name;
    bool config_block;       // /dev/mtdblock/4 can be read
    const char* sim3;        // control file of mtd3
    int rc;
    int env_copies;          // runs of the environment's copy command
    std::vector<int> written_back;
    std::string log3, log4;
    uint32_t env3_end = 0;   // the environment's end of mtd3; 0: as installed
  } cases[] = {
      {"configuration not copied", false, "remap 1\n", -1, 1, {},
       "remap 0x180000 0x80000\nremap 0x700000 0x80000\nremap 0x180000 0x80000\n",
       "remap 0x200000 0x80000\nremap 0x200000 0x80000\n"},
      {"configuration written back", true, "remap 1\n", 0, 1, {4},
       "remap 0x180000 0x80000\nremap 0x700000 0x80000\nremap 0x180000 0x80000\n",
       "remap 0x200000 0x80000\nremap 0x780000 0x80000\n"},
      {"both written back", true, "remap 1\n", 0, 1, {4, 3}, "remap 0x180000 0x80000\nremap 0x700000 0x80000\n",
       "remap 0x200000 0x80000\nremap 0x780000 0x80000\n"},
      // No copy is taken where the window may not be the partition.
      {"environment's window cannot be put back", true, "remap 1\nfail remap\n", -1, 0, {}, "", ""},
      // A place beyond the flash's window is no place to re-map to.
      {"environment records mtd3 beyond the flash", true, "remap 1\n", -1, 0, {}, "", "", 0x9FFF0000u},
  };
  const std::string env_block(0x10000, '\x33');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ASSERT_TRUE(write_file("/dev/mtd3.sim", c.sim3));
    ASSERT_TRUE(write_file("/dev/mtdblock/3", env_block));
    if (c.config_block) { ASSERT_TRUE(write_file("/dev/mtdblock/4", "config")); }
    write_layout_file(moving_env_and_config());
    if (c.env3_end != 0) env_[10 - 3].end_addr = c.env3_end;
    SyslogCapture cap;
    ASSERT_EQ(c.rc, mtd_config_deal(env_));
    EXPECT_EQ(c.env_copies, cap.count("shellcmd:/tmp/bin/cat /dev/mtdblock/3 > /tmp/mtdblock3\n", LOG_INFO));
    EXPECT_EQ(c.env_copies == 0 ? 0 : c.config_block ? 1 : 10,
              cap.count("shellcmd:/tmp/bin/cat /dev/mtdblock/4 > /tmp/mtdblock4\n", LOG_INFO));
    EXPECT_EQ(c.env_copies > 0, read_file("/tmp/mtdblock3") == env_block);
    if (c.env_copies > 0) {
      // Each window is at the environment's place before its copy is taken.
      const std::vector<std::string> all = cap.messages();
      auto at = [&](const char* text) { return std::find(all.begin(), all.end(), text) - all.begin(); };
      EXPECT_LT(at("offset:180000 size:80000\n"), at("shellcmd:/tmp/bin/cat /dev/mtdblock/3 > /tmp/mtdblock3\n"));
      EXPECT_LT(at("offset:200000 size:80000\n"), at("shellcmd:/tmp/bin/cat /dev/mtdblock/4 > /tmp/mtdblock4\n"));
    }
    for (int i : c.written_back) mtd_layout_written_back(i);
    EXPECT_EQ(0, mtd_layout_move_back());
    EXPECT_EQ(0, mtd_layout_move_back());  // once only
    EXPECT_EQ(c.log3, remap_log(3));
    EXPECT_EQ(c.log4, remap_log(4));
    EXPECT_EQ(0, env_mtd_moved + config_mtd_moved);
  }
}

}  // namespace
