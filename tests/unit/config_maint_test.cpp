#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "devenv/config_maint.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

// Every lstat of this program goes through here, so that a test can swap a
// name right after it was checked.
std::function<void(const char*)> g_after_lstat;
extern "C" int lstat(const char* path, struct stat* st) {
  int rc = fstatat(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
  if (g_after_lstat) g_after_lstat(path);
  return rc;
}

namespace {

void table_with_version(env_info* table, const char* version) {
  memset(table, 0, sizeof(env_info) * ENV_TABLE_SIZE);
  strcpy(table[0].name, "SW_OEM");
  if (!version) return;
  strcpy(table[1].name, "RomVersion");
  strcpy(table[1].value, version);
}

int lines_equal(const std::string& text, const std::string& line) {
  int n = 0;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    n += text.compare(at, end - at, line) == 0;
  return n;
}

class ConfigMaint : public ::testing::Test {
 protected:
  void SetUp() override {
    // Only what the tests make: a host folder bound into the root may sit in /tmp.
    ASSERT_EQ(0, shell("find /tmp -maxdepth 1 ! -type d -exec rm -f {} + && rm -rf /tmp/d.cfg /config/* && "
                       "mkdir -p /config/Phone/Key"));
  }
};

// Names swapped right after their check (s.cfg into a link, t.conf into a
// FIFO) are not followed and do not stall; a separator still follows each.
TEST_F(ConfigMaint, AutopGathersConfigFilesOnceAndBlanksUrls) {
  write_file("/tmp/a.cfg", "account.1.url = http://example\nkeep = 1\n");
  write_file("/tmp/b.conf", "[b]\nname = two\n");
  write_file("/tmp/c.cfg.bak", "never\n");
  write_file("/tmp/readme.txt", "never\n");
  mkdir("/tmp/d.cfg", 0755);
  symlink("/tmp/a.cfg", "/tmp/e.cfg");
  // Any process can name a file in /tmp: its name must not run anything.
  ASSERT_TRUE(write_file("/tmp/x';touch pwned;'.cfg", "quoted = yes\n"));
  ASSERT_TRUE(write_file("/tmp/y$(touch pwned2)`touch pwned3`.conf", "dollar = yes\n"));
  const char* const pwned[] = {"/pwned", "/pwned2", "/pwned3"};
  for (const char* p : pwned) unlink(p);
  ASSERT_TRUE(write_file("/secret", "secret = 1\n"));
  write_file("/tmp/s.cfg", "s = 1\n");
  write_file("/tmp/t.conf", "t = 2\n");
  g_after_lstat = [](const char* path) {
    if (strcmp(path, "/tmp/s.cfg") == 0) {
      unlink(path);
      (void)symlink("/secret", path);
    } else if (strcmp(path, "/tmp/t.conf") == 0) {
      unlink(path);
      (void)mkfifo(path, 0644);
    }
  };

  env_info table[ENV_TABLE_SIZE];
  table_with_version(table, "2.0.3.9");
  SyslogCapture cap;
  config_autop(table);
  g_after_lstat = nullptr;
  EXPECT_TRUE(cap.has("config ok", 3));
  for (const char* p : pwned) EXPECT_FALSE(file_exists(p)) << p;

  std::string out = read_file(AUTOP_RETRY_FILE);
  for (const char* kept : {"keep = 1\n", "name = two\n", "quoted = yes\n", "dollar = yes\n"})
    EXPECT_NE(std::string::npos, out.find(kept)) << kept;
  // The URL line is blanked; other names are not gathered.
  for (const char* gone : {"http://example", "never", "secret", "s = 1"})
    EXPECT_EQ(std::string::npos, out.find(gone)) << gone;
  EXPECT_TRUE(out.ends_with("Config.Autoprovision.Reboot.Enable = 1 \n")) << out;
  EXPECT_EQ(6, lines_equal(out, "  "));  // one separator line after each of the six regular files
  EXPECT_EQ(1, lines_equal(out, "   "));

  // Made at most once.
  cap.clear();
  write_file("/tmp/late.cfg", "late = 1\n");
  config_autop(table);
  EXPECT_TRUE(cap.has("/config/autop_retry_save.cfg is exist", 3));
  EXPECT_EQ(out, read_file(AUTOP_RETRY_FILE));
}

TEST_F(ConfigMaint, AutopCollectsAtMostTenFiles) {
  for (int i = 0; i < 12; ++i) write_file("/tmp/f" + std::to_string(i) + ".cfg", "line" + std::to_string(i) + "\n");
  env_info table[ENV_TABLE_SIZE];
  table_with_version(table, "1.1.1.1");
  config_autop(table);
  EXPECT_EQ(10, lines_equal(read_file(AUTOP_RETRY_FILE), "  "));  // one separator line after each file
}

// Both steps go by the replaced version: the retry list is made below x.x.4
// (without files to gather it holds the provisioning line alone), line key 8
// is retired on board 59 below x.x.4.
TEST_F(ConfigMaint, StepsDecideByTheReplacedVersion) {
  const char* key_file = "/config/Phone/Key/ProgramableKey.conf";
  const std::string original = "[ LINEKEY7 ]\ntype = 1\n[ LINEKEY8 ]\ntype = 2\n";
  const std::string retired = "[ LINEKEY7 ]\ntype = 1\n [ LINEKEY8_NOUSED ]\ntype = 2\n";
  const struct {
    const char* version;
    bool builds;
    bool retires;
  } cases[] = {{"2.0.3.9", true, false}, {"2.0.4.0", false, false}, {"58.1.2.0", true, false},
               {"59.1.2.0", true, true}, {"59.1.4.0", false, false}, {"59", true, true},
               {nullptr, false, false}};
  for (auto c : cases) {
    SCOPED_TRACE(c.version ? c.version : "(missing)");
    unlink(AUTOP_RETRY_FILE);
    write_file(key_file, original);
    env_info table[ENV_TABLE_SIZE];
    table_with_version(table, c.version);
    SyslogCapture cap;
    config_autop(table);
    config_deleteLineKey8(table);
    EXPECT_EQ(c.builds ? "Config.Autoprovision.Reboot.Enable = 1 \n" : "", read_file(AUTOP_RETRY_FILE));
    EXPECT_EQ(c.builds, file_exists(AUTOP_RETRY_FILE));
    EXPECT_EQ(c.version == nullptr, cap.has("RomVersion env isnot exist!\n", 6));
    EXPECT_TRUE(cap.has("config_deleteLineKey8", 6));
    EXPECT_EQ(c.retires, cap.has("config_deleteLineKey8 excute", 6));
    EXPECT_EQ(c.retires ? retired : original, read_file(key_file));
  }
}

}  // namespace
