#include "devenv/env_store.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

namespace {

using Lines = std::vector<std::string>;

const char kEnvCopyCmd[] = "shellcmd:/tmp/bin/cat /proc/avalanche/env > /tmp/avalanche_env_file\n";
const char kSoftCopyCmd[] = "shellcmd:/tmp/bin/cat /proc/ver/software > /tmp/ver_software\n";

// Readable form of the used entries: "name=value" for text, "name:start-end"
// in hex for partitions.
Lines describe(const env_info* table) {
  Lines out;
  for (int i = 0; i < ENV_TABLE_SIZE && table[i].name[0]; i++) {
    char buf[256];
    if (strncmp(table[i].name, "mtd", 3) == 0)
      snprintf(buf, sizeof buf, "%s:%x-%x", table[i].name, table[i].start_addr, table[i].end_addr);
    else
      snprintf(buf, sizeof buf, "%s=%s", table[i].name, table[i].value);
    out.push_back(buf);
  }
  return out;
}

// Every case runs as on the phone: the tools copied to /tmp/bin at start,
// the kernel files as plain files.
class EnvStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, shell("rm -rf /tmp/bin /tmp/cat_count /tmp/avalanche_env_file /tmp/ver_software /tmp/ver_hardware "
                       "/proc/avalanche/env /app/version.conf /basic/version.conf /version.conf && "
                       "cp /bin/ /tmp/ -rf && mkdir -p /proc/avalanche /proc/ver /proc/misc /app /basic"));
    ASSERT_TRUE(write_file("/proc/avalanche/env", ""));
    ASSERT_TRUE(write_file("/proc/ver/software", "1.2.3.4,build 5\nsecond,line\n"));
  }

  // load_env_info on a fresh table of exactly 30 entries (the sanitizer
  // catches a write past it); the used entries afterwards.
  static Lines load(int expected_rc = 0) {
    std::vector<env_info> table(ENV_TABLE_SIZE);
    EXPECT_EQ(expected_rc, load_env_info(table.data()));
    return describe(table.data());
  }
};

// The environment's lines, then the software version: the text before the
// first comma of the first 148 characters, cut to 99.
TEST_F(EnvStore, EnvironmentLinesAndSoftwareVersion) {
  const std::string name49(49, 'N');
  const std::string name50(50, 'N');
  const struct {
    const char* name;
    std::string env;
    Lines entries;  // environment entries, before Mtd1Version
    Lines errors;
    std::string software = "1.2.3.4,build 5\n";
    std::string mtd1 = "1.2.3.4";
    int rc = 0;  // -88: no Mtd1Version
  } cases[] = {
      {"tab or space separate alike", "SW_OEM\t5\nMID_VERSION 3\n", {"SW_OEM=5", "MID_VERSION=3"}, {}},
      {"second blank starts the value", "SW_OEM  5\nSW_protect \t1\n", {"SW_OEM= 5", "SW_protect=\t1"}, {}},
      {"CR stays in text, not in mtd", "SW_OEM 5\r\nmtd0 0x10000,0x20000\r\n", {"SW_OEM=5\r", "mtd0:10000-20000"}, {}},
      {"names differing in case and mtd10", "MTD0 1,2\nsw_oem 1\nmtd10 1,2\nMtd2version 1\nmtd0 1,2\n",
       {"mtd0:1-2"}, {}},
      {"every accepted name",
       "MID_VERSION 1\nSW_OEM 2\nSW_protect 3\nmtd0 0,1\nmtd1 1,2\nmtd2 2,3\nmtd3 3,4\nmtd4 4,5\n"
       "mtd5 5,6\nmtd6 6,7\nmtd7 7,8\nmtd8 8,9\nmtd9 9,a\nMtd2Version 2.0.0.1\nOTHER 1\n",
       {"MID_VERSION=1", "SW_OEM=2", "SW_protect=3", "mtd0:0-1", "mtd1:1-2", "mtd2:2-3", "mtd3:3-4",
        "mtd4:4-5", "mtd5:5-6", "mtd6:6-7", "mtd7:7-8", "mtd8:8-9", "mtd9:9-a", "Mtd2Version=2.0.0.1"},
       {}},
      {"last line without line feed is not read", "SW_OEM 1\nMID_VERSION 2", {"SW_OEM=1"}, {}},
      {"lines without separator", "\nnoseparator\nSW_OEM 1\n", {"SW_OEM=1"}, {"invalid env\n", "invalid env\n"}},
      {"empty value", "SW_OEM \n", {"SW_OEM="}, {}},
      {"name of 50 characters", name50 + " 1\nSW_OEM 1\n", {"SW_OEM=1"}, {"env name too long\n"}},
      {"name of 49 characters", name49 + " 1\n", {}, {}},
      {"value of 100 characters", "SW_OEM " + std::string(100, '7') + "\n", {}, {"env value too long\n"}},
      {"value of 99 characters", "SW_OEM " + std::string(99, '7') + "\n", {"SW_OEM=" + std::string(99, '7')}, {}},
      {"line of 150 characters", "Mtd2Version " + std::string(138, 'x') + "\nSW_OEM 1\n", {"SW_OEM=1"},
       {"env data too long\n"}},
      {"line of 149 characters", name49 + " " + std::string(99, 'x') + "\n", {}, {}},
      {"very long line", "SW_OEM " + std::string(5000, '1') + "\nSW_protect 0\n", {"SW_protect=0"},
       {"env data too long\n"}},
      {"mtd values",
       "mtd0 10000,20000\nmtd1  0x0 ,0x1\nmtd2 \nmtd3 1\nmtd4 zz\nmtd5 0X1F, 0x2F\nmtd6 100000000,1\n"
       "mtd7 \t\nmtd8 ffffffff,0xFFFFFFFF junk\nmtd9 1,\n",
       {"mtd0:10000-20000", "mtd5:1f-2f", "mtd8:ffffffff-ffffffff"}, {}},
      {"text before the first comma", "SW_OEM 5\n", {"SW_OEM=5"}, {}, "2.3.4.5,a,b\n", "2.3.4.5"},
      {"comma only on the second line", "SW_OEM 5\n", {"SW_OEM=5"}, {}, "2.3.4.5\nx,y\n", "", -88},
      {"empty version", "SW_OEM 5\n", {"SW_OEM=5"}, {}, ",x\n", ""},
      {"99 characters", "SW_OEM 5\n", {"SW_OEM=5"}, {}, std::string(99, 'v') + ",x\n", std::string(99, 'v')},
      {"120 characters are cut", "SW_OEM 5\n", {"SW_OEM=5"}, {"software version too long\n"},
       std::string(120, 'v') + ",x\n", std::string(99, 'v')},
      {"comma beyond the 148 characters read", "SW_OEM 5\n", {"SW_OEM=5"}, {}, std::string(148, 'v') + ",x\n", "",
       -88},
      {"comma at the 148th character", "SW_OEM 5\n", {"SW_OEM=5"}, {"software version too long\n"},
       std::string(147, 'v') + ",x\n", std::string(99, 'v')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_file("/proc/avalanche/env", c.env));
    ASSERT_TRUE(write_file("/proc/ver/software", c.software));
    SyslogCapture cap;
    Lines expected = c.entries;
    if (c.rc == 0) expected.push_back("Mtd1Version=" + c.mtd1);
    EXPECT_EQ(expected, load(c.rc));
    EXPECT_EQ(c.errors, cap.messages(LOG_ERR));
  }
}

// The copies stay in /tmp; the version records follow the environment, the
// software version comes last.
TEST_F(EnvStore, CopiesAndVersionRecords) {
  ASSERT_TRUE(write_file("/proc/avalanche/env", "SW_OEM 5\nOTHER x y\n"));
  ASSERT_TRUE(write_file("/app/version.conf", "[Version]\nRomVersion=1.0.0.9\nMtd6Version = 6.0.0.1 \n"));
  ASSERT_TRUE(write_file("/basic/version.conf", "[Version]\r\nMtd5Version=5.5.5.5\r\n"));
  ASSERT_TRUE(write_file("/version.conf", "[Other]\nMtd0Version=0.0.0.1\n"));
  SyslogCapture cap;
  EXPECT_EQ((Lines{"SW_OEM=5", "RomVersion=1.0.0.9", "Mtd6Version=6.0.0.1", "Mtd5Version=5.5.5.5",
                   "Mtd1Version=1.2.3.4"}),
            load());
  EXPECT_EQ((Lines{kEnvCopyCmd, kSoftCopyCmd}), cap.messages(LOG_INFO));
  EXPECT_EQ("SW_OEM 5\nOTHER x y\n", read_file("/tmp/avalanche_env_file"));
  EXPECT_EQ("1.2.3.4,build 5\nsecond,line\n", read_file("/tmp/ver_software"));
}

TEST_F(EnvStore, FullTableDropsEverythingElse) {
  std::string env;
  for (int i = 0; i < 33; i++) env += "SW_OEM " + std::to_string(i) + "\n";
  ASSERT_TRUE(write_file("/proc/avalanche/env", env + "UNKNOWN 1\n"));
  ASSERT_TRUE(write_file("/app/version.conf", "[Version]\nRomVersion=1.0.0.9\n"));
  SyslogCapture cap;
  Lines entries = load();
  ASSERT_EQ(30u, entries.size());
  EXPECT_EQ("SW_OEM=29", entries[29]);
  // Three further variables, the unknown one, RomVersion and Mtd1Version.
  EXPECT_EQ(Lines(6, "env data too many\n"), cap.messages(LOG_ERR));
}

// cat stands in for the kernel copies: empty copies are taken again (five
// attempts), a failing cat is not.
TEST_F(EnvStore, CopyAttemptsAndFailures) {
  const struct {
    const char* name;
    std::string cat;  // the stand-in's body
    int result;
    Lines entries;
    Lines info;
  } cases[] = {
      {"three empty copies, then one",
       "n=$(/bin/cat /tmp/cat_count 2>/dev/null || echo 0); n=$((n+1)); echo $n > /tmp/cat_count\n"
       "[ $n -le 3 ] && exit 0\nexec /bin/cat \"$@\"\n",
       0, {"SW_OEM=5", "Mtd0Version=0.0.0.1", "Mtd1Version=1.2.3.4"},
       {kEnvCopyCmd, kEnvCopyCmd, kEnvCopyCmd, kEnvCopyCmd, kSoftCopyCmd}},
      {"the copy disappears", "rm -f /tmp/avalanche_env_file\nexit 0\n", -88, {}, Lines(5, kEnvCopyCmd)},
      {"the software copy disappears",
       "[ \"$1\" = /proc/ver/software ] && rm -f /tmp/ver_software\nexec /bin/cat \"$@\"\n", -88,
       {"SW_OEM=5", "Mtd0Version=0.0.0.1"},
       {kEnvCopyCmd, kSoftCopyCmd, kSoftCopyCmd, kSoftCopyCmd, kSoftCopyCmd, kSoftCopyCmd}},
      {"the software copy fails", "[ \"$1\" = /proc/ver/software ] && exit 2\nexec /bin/cat \"$@\"\n", -1,
       {"SW_OEM=5", "Mtd0Version=0.0.0.1"}, {kEnvCopyCmd, kSoftCopyCmd}},
      {"cat fails: no second attempt", "exit 1\n", -1, {}, {kEnvCopyCmd}},
  };
  ASSERT_TRUE(write_file("/proc/avalanche/env", "SW_OEM 5\n"));
  ASSERT_TRUE(write_file("/version.conf", "[Version]\nMtd0Version=0.0.0.1\n"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, shell("rm -f /tmp/cat_count /tmp/avalanche_env_file /tmp/ver_software /tmp/bin/cat"));
    ASSERT_TRUE(write_file("/tmp/bin/cat", "#!/bin/sh\n" + c.cat));  // never through busybox's link
    ASSERT_EQ(0, chmod("/tmp/bin/cat", 0755));
    SyslogCapture cap;
    EXPECT_EQ(c.entries, load(c.result));
    EXPECT_EQ(c.info, cap.messages(LOG_INFO));
    EXPECT_EQ(Lines{}, cap.messages(LOG_ERR));
  }
  unsigned char hw[8] = {};
  EXPECT_EQ(-1, read_hw_version(hw));  // through the failing cat
}

// The kernel's hardware version through its copy in /tmp: eight numbers in
// the first 99 bytes.
TEST_F(EnvStore, HardwareVersion) {
  const std::string eight_then_dots = "1.2.3.4.5.6.7.8" + std::string(84, '.');  // 99 bytes
  const struct {
    const char* name;
    std::string text;
    std::vector<int> bytes;
    const char* error;  // nullptr: accepted
  } cases[] = {
      {"eight numbers", "59.0.0.1.5.0.0.1\n", {59, 0, 0, 1, 5, 0, 0, 1}, nullptr},
      {"runs of dots and dots at the ends", "..1..2.3.4.5.6.7.8..", {1, 2, 3, 4, 5, 6, 7, 8}, nullptr},
      {"blanks before numbers", " 1.\t2. 3.4.5.6.7.8", {1, 2, 3, 4, 5, 6, 7, 8}, nullptr},
      {"low eight bits, digits only", "256.257.-1.x.5a.6.7.8", {0, 1, 255, 0, 5, 6, 7, 8}, nullptr},
      {"a ninth number past the bytes read", eight_then_dots + "9\n", {1, 2, 3, 4, 5, 6, 7, 8}, nullptr},
      {"a ninth number as the 99th byte", eight_then_dots.substr(0, 98) + "9\n", {}, "read hwver fail1\n"},
      {"seven numbers", "1.2.3.4.5.6.7\n", {}, "hwver read fail2\n"},
      {"nine numbers", "1.2.3.4.5.6.7.8.9", {}, "read hwver fail1\n"},
      {"line feed after a last dot is a ninth piece", "1.2.3.4.5.6.7.8.\n", {}, "read hwver fail1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_file("/proc/misc/hwver", c.text));
    unsigned char hw[8];
    memset(hw, 0xAA, sizeof hw);
    SyslogCapture cap;
    EXPECT_EQ(c.error ? -1 : 0, read_hw_version(hw));
    // A refused text leaves the bytes as they were.
    EXPECT_EQ(c.error ? std::vector<int>(8, 0xAA) : c.bytes, std::vector<int>(hw, hw + 8));
    EXPECT_EQ(c.error ? Lines{c.error} : Lines{}, cap.messages(LOG_ERR));
    EXPECT_EQ(c.text, read_file("/tmp/ver_hardware"));
    Lines info{"shellcmd:/tmp/bin/cat /proc/misc/hwver > /tmp/ver_hardware\n"};
    std::string shown = "hw_version:";
    for (size_t i = 0; i < c.bytes.size(); ++i) shown += (i ? "." : " ") + std::to_string(c.bytes[i]);
    if (!c.error) info.push_back(shown + "\n");
    EXPECT_EQ(info, cap.messages(LOG_INFO));
  }
}

TEST_F(EnvStore, SetEnvValue) {
  const std::string n200(200, 'A'), v25(25, '9'), v26(26, '9');
  const struct {
    const char* name;
    const char* var;
    const char* value;
    std::string line;   // what reaches the kernel's file; empty: refused
    const char* error;  // when refused
  } cases[] = {
      {"name and value", "SW_protect", "1", "SW_protect 1", nullptr},
      {"empty value: the name alone", "SW_OEM", "", "SW_OEM", nullptr},
      {"225 characters fit", n200.c_str(), v25.c_str(), n200 + " " + v25, nullptr},
      {"226 characters do not", n200.c_str(), v26.c_str(), "", "env str too long!\n"},
      {"NULL name", nullptr, "1", "", "penv_name NULL!\n"},
      {"NULL value", "SW_OEM", nullptr, "", "penv_value NULL!\n"},
      {"shell text in the value", "SW_OEM", "1\"; touch /tmp/pwned; echo \"", "", "env str unsafe!\n"},
      {"command substitution", "SW_OEM", "$(touch /tmp/pwned)", "", "env str unsafe!\n"},
      {"backquotes in the name", "`touch /tmp/pwned`", "1", "", "env str unsafe!\n"},
      {"blank in the name", "SW OEM", "1", "", "env str unsafe!\n"},
      {"line feed in the value", "SW_OEM", "1\nMID_VERSION 1", "", "env str unsafe!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_file("/proc/avalanche/env", "untouched\n"));
    SyslogCapture cap;
    const bool taken = !c.line.empty();
    EXPECT_EQ(taken ? 0 : -1, set_env_value(c.var, c.value));
    EXPECT_EQ(taken ? c.line + "\n" : "untouched\n", read_file("/proc/avalanche/env"));
    const Lines info{"\nshellcmd:echo \"" + c.line + "\" >/proc/avalanche/env \n"};
    EXPECT_EQ(taken ? info : Lines{}, cap.messages(LOG_INFO));
    EXPECT_EQ(taken ? Lines{} : Lines{c.error}, cap.messages(LOG_ERR));
    EXPECT_FALSE(file_exists("/tmp/pwned"));
  }
}

TEST_F(EnvStore, SetEnvValueShellFailure) {
  ASSERT_EQ(0, shell("rm -f /proc/avalanche/env && mkdir -p /proc/avalanche/env"));
  SyslogCapture cap;
  EXPECT_EQ(-1, set_env_value("SW_OEM", "3"));
  EXPECT_EQ(Lines{"echo \"SW_OEM 3\" >/proc/avalanche/env  shellcmd failed!\n"}, cap.messages(LOG_ERR));
  ASSERT_EQ(0, shell("rmdir /proc/avalanche/env"));
}

// The parsers' entry points read as far as the length they are given; a
// name is found at its first entry, by the whole name only.
TEST(EnvParsers, EntryPointsAndFind) {
  std::vector<env_info> table(ENV_TABLE_SIZE);
  const char text[] = "SW_OEM 1\nmtd3 10,20\nOTHER 2\nSW_OEM 3\nSW_protect 0";
  EXPECT_EQ(3, env_parse_text(table.data(), text, sizeof text - 1));
  EXPECT_EQ(1, env_accept_line(table.data(), "OTHER 1", 7));
  EXPECT_EQ(0, env_accept_line(table.data(), "MID_VERSION 4", 13));
  EXPECT_EQ(-1, env_accept_line(table.data(), "MID_VERSION 4", 150));
  EXPECT_EQ(0, env_parse_software_version(table.data(), "9.9.9.9,x", 9));
  EXPECT_EQ(-88, env_parse_software_version(table.data(), "9.9.9.9,x", 7));
  EXPECT_EQ((Lines{"SW_OEM=1", "mtd3:10-20", "SW_OEM=3", "MID_VERSION=4", "Mtd1Version=9.9.9.9"}),
            describe(table.data()));
  // A name that fills its field without a terminator is still compared safely.
  memset(table[29].name, 'N', ENV_NAME_SIZE);
  const std::string full(ENV_NAME_SIZE, 'N');
  const std::pair<const char*, int> finds[] = {{"SW_OEM", 0}, {"mtd3", 1},         {"sw_oem", -1},
                                               {"mtd", -1},   {full.c_str(), -1}, {nullptr, -1}};
  for (const auto& [name, found] : finds) {
    int index = -7;
    EXPECT_EQ(found < 0 ? -1 : 0, env_find(table.data(), name, &index)) << (name ? name : "NULL");
    EXPECT_EQ(found < 0 ? -7 : found, index) << (name ? name : "NULL");
  }
}

}  // namespace
