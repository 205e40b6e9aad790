// romtool on the host: building, inspecting, and the check on a described
// device, which must answer what the program answers for the same image
// and device (rom_check_test runs the program's check on the same rows).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/rom_descriptions.h"

namespace {

const char* const kBase = kTwoPartitionRom;

// The device rom_check_test installs by default; the comment shows that a
// value ends before it.
const char kProfile[] =
    "[device]\nhwver = 59.0.0.0.0.0.0.0        ; one line\nsoftware = 1.0.0.1,Jan 1 2026\n"
    "[env]\nmtd0 = 0x0,0x20000\nmtd1 = 0x20000,0x220000\nSW_OEM = 0\nSW_protect = 0\nMID_VERSION = 0\n"
    "[app_version]\nRomVersion = 1.0.0.1\n";

class Romtool : public ::testing::Test {
 protected:
  void SetUp() override {
    // Scratch space in the build tree; romtool check makes its phone there too.
    std::string base = UPG_BINARY_DIR "/romtool-test";
    mkdir(base.c_str(), 0755);
    std::string tmpl = base + "/run-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
    dir_ = tmpl;
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override { shell("rm -rf " + dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  int romtool(const std::string& args, std::string* out = nullptr) {
    int rc = shell(std::string(UPG_ROMTOOL) + " " + args + " > " + path("out") + " 2> " + path("err"));
    if (out) *out = read_file(path("out"));
    return rc;
  }

  int build(const std::string& description, const std::string& args, const std::string& image = "rom.img") {
    EXPECT_TRUE(write_file(path("rom.desc"), description));
    return romtool("build " + path("rom.desc") + " " + path(image) + " " + args);
  }

  std::string dir_;
};

TEST_F(Romtool, CheckAnswersLikeTheProgram) {
  ASSERT_TRUE(write_file(path("device.ini"), kProfile));
  struct Row {
    std::string args;
    int exit_code;
    std::string output;
  } rows[] = {
      {"", 0, "0 accepted\npartition 0: mtd0 burn\npartition 1: mtd1 burn\n"},
      {"--set rom.device_id=60", 1, "-95 UPD_MSG_MACHINE_ID_ERR\n"},
      {"--set rom.rom_version=1.0.0.1", 3, "-86 UPD_MSG_ROM_VERSION_SAME\n"},
      {"--set part1.partition_id=7", 1, "-85 UPD_MSG_MTD_ENV_LOSED\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.args);
    ASSERT_EQ(0, build(kBase, r.args));
    std::string out;
    EXPECT_EQ(r.exit_code, romtool("check " + path("rom.img") + " " + path("device.ini"), &out));
    EXPECT_EQ(r.output, out);
  }
  // A special entry: the tool is extracted inside the throw-away root only.
  std::string with_tool = std::string(kBase) + "[partition]\nspecial = tool\ntext = tool\n";
  ASSERT_EQ(0, build(with_tool, ""));
  std::string out;
  EXPECT_EQ(0, romtool("check " + path("rom.img") + " " + path("device.ini"), &out));
  EXPECT_EQ("11 UPD_MSG_UPGRADER_TOOL\n", out);
  EXPECT_FALSE(file_exists("/tmp/upgrader_tool") && read_file("/tmp/upgrader_tool") == "tool");
  // -v shows the program's log lines with their levels.
  EXPECT_EQ(2, romtool("check -v " + path("rom.img") + " " + path("missing.ini")));
  ASSERT_EQ(0, build(kBase, "--set rom.device_id=60"));
  EXPECT_EQ(1, romtool("check -v " + path("rom.img") + " " + path("device.ini")));
  std::string err = read_file(path("err"));
  EXPECT_NE(std::string::npos, err.find("log l3: UPD_MSG_MACHINE_ID_ERR\n")) << err;
  EXPECT_NE(std::string::npos, err.find("log l6: upgrader_softversion_check!\n")) << err;
}

TEST_F(Romtool, InfoNamesWhatIsBroken) {
  struct Row {
    std::string args;
    std::string line;
  } rows[] = {
      {"", "rom_version:          1.144.6.100\n"},
      {"--set rom.scramble_key=200", "scrambled, key 0xc8"},
      {"--flip 500", "payload BAD"},
      {"--set rom.magic_num=0", "magic_num:            0x00000000 BAD\n"},
      {"--set rom.rom_header_size=149", "rom_header_size:      149 BAD"},
      {"--set rom.rom_header_size=127", "rom_header_size:      127 (older format, stored plain)\n"},
      {"--set rom.rom_size=0x100000", "BAD (outside the image)"},
      {"--set part1.partition_header_checksum_xor=4", "BAD, payload ok"},
      {"--set part0.partition_id=12", "BAD id/type"},
      {"--truncate 100", "BAD: shorter than the 140-byte ROM header\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.args);
    ASSERT_EQ(0, build(kBase, r.args));
    std::string info;
    EXPECT_EQ(r.line.find("BAD") != std::string::npos, romtool("info " + path("rom.img"), &info));
    EXPECT_NE(std::string::npos, info.find(r.line)) << info;
  }
}

// The built image read the way docs/rom-format.md defines it, with none of
// romtool's or the program's code: the descrambling table, the rotation and
// the four XOR checksums. The program reading romtool's images (rom_check_test)
// then shows a wrong table or checksum on its side.
TEST_F(Romtool, ImageFollowsTheFormatDocument) {
  ASSERT_EQ(0, build(kBase, ""));
  const std::string s = read_file(path("rom.img"));
  auto byte = [&](size_t at) { return static_cast<uint32_t>(static_cast<unsigned char>(s.at(at))); };
  auto word = [&](size_t at) { return byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | byte(at + 3) << 24; };
  auto xor_of = [&](size_t at, size_t words) {
    uint32_t x = 0;
    for (; words; --words, at += 4) x ^= word(at);
    return x;
  };
  EXPECT_EQ(0xB3u, byte(0x0C));  // inverse[0] = 23 * (0 - 59) mod 256: rom_type's scrambled first byte
  EXPECT_EQ(0u, xor_of(8, 128 / 4 + 1));
  EXPECT_EQ(word(0x28), xor_of(140, word(0x24) / 4));
  EXPECT_EQ(2u * 44 + 1000 + 999, word(0x24));  // headers and payloads (the first ends 4-aligned)
  // The stream is bytes 0x0C..0x67 with the words from 0x6C, 0x74, 0x70 at 0x14, 0x24, 0x28.
  std::string stream = s.substr(0x0C, 92);
  for (auto [to, from] : {std::pair{0x14, 0x6C}, {0x24, 0x74}, {0x28, 0x70}}) stream.replace(to - 0x0C, 4, s, from, 4);
  uint32_t plain[92];
  for (int i = 0; i < 92; ++i) plain[i] = (167 * static_cast<unsigned char>(stream[(i + 0x2A) % 92]) + 59) % 256;
  auto field = [&](size_t at) {
    at -= 0x0C;
    return plain[at] | plain[at + 1] << 8 | plain[at + 2] << 16 | plain[at + 3] << 24;
  };
  EXPECT_EQ(2u, field(0x14));
  EXPECT_EQ(59u, field(0x18));
  EXPECT_EQ(0x01900664u, field(0x20));
  EXPECT_EQ(word(0x24), field(0x24));
  EXPECT_EQ(word(0x28), field(0x28));
  EXPECT_EQ(0xFFFFFF00u, field(0x2C));  // match_id 0, the unlisted bytes 0xFF
  EXPECT_EQ(0x52524F4Du, word(0x68));
  for (size_t at : {size_t{140}, size_t{184}}) {  // the partition headers
    SCOPED_TRACE(at);
    EXPECT_EQ(0x52504154u, word(at));
    EXPECT_EQ(0u, xor_of(at + 8, 32 / 4 + 1));
    EXPECT_EQ(word(at + 0x24), xor_of(word(at + 0x28), word(at + 0x20) / 4));
  }
  EXPECT_EQ(999u, word(184 + 0x20));
}

// What romtool cannot honour is refused before anything is allocated or
// written, with exit 2 and a message naming the argument or key and the value.
TEST_F(Romtool, RefusesNumbersSizesAndInputsItCannotHonour) {
  std::string seventeen = "[rom]\n";
  for (int i = 0; i < 17; ++i) seventeen += "[partition]\ntext = p\n";
  const std::string base = kBase;
  struct Row {
    std::string description;  // written to $D
    std::string args;         // $D: the description, $O: the output
    std::vector<std::string> named;
  } rows[] = {
      {base, "build $D $O --poke 0xFFFFFFFFFFFFFFFF=1", {"--poke", "0xffffffffffffffff"}},
      {base, "build $D $O --flip 0xFFFFFFFFFFFFFFFF", {"--flip", "0xffffffffffffffff"}},
      {base, "build $D $O --poke 0x20000000000000000=1", {"--poke", "0x20000000000000000"}},
      {base, "build $D $O --size 16777216M", {"--size", "16777216M"}},
      {base, "build $D $O --size -1", {"--size", "-1"}},
      {base, "build $D $O --size 1G", {"--size", "1G"}},
      {base, "build $D $O --truncate +5", {"--truncate", "+5"}},
      {base, "build $D $O --set part5.partition_id=1", {"part5"}},
      {base, "build $D $O --size 100", {"--size"}},
      {"[rom]\nrom_versoin = 1.2.3.4\n", "build $D $O", {"rom_versoin"}},
      {"[rom]\nrom_version = 1.2.3\n", "build $D $O", {"rom_version", "1.2.3"}},
      {"[rom]\n[partition]\nspecial = kernel\n", "build $D $O", {"special", "kernel"}},
      {"[rom]\n[partition]\ntext = a\nfile = b\n", "build $D $O", {"file"}},
      {"[rom]\n[partition]\nfile = /no/such/file\n", "build $D $O", {"/no/such/file"}},
      {"[disk]\n", "build $D $O", {"disk"}},
      {"[rom]\nmatch_id = 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n", "build $D $O", {"match_id"}},
      {"[rom]\nalign = 0x8000000000000000\n[partition]\ntext = a\n", "build $D $O", {"align", "0x8000000000000000"}},
      {"[rom]\ndevice_id = -1\n", "build $D $O", {"device_id", "-1"}},
      {"[rom]\n[partition]\npattern = 1 99999999999999999999\n", "build $D $O", {"pattern", "99999999999999999999"}},
      {"[rom]\n[partition]\nfill = 255 17592186044416M\n", "build $D $O", {"fill", "17592186044416M"}},
      {"[rom]\n[partition]\nfile = /dev/zero\n", "build $D $O", {"/dev/zero", "regular"}},
      {"[rom]\ndevice_id = 1\n[rom]\ndevice_id = 2\n", "build $D $O", {"[rom]", "line 3"}},
      {"", "build $D $O", {"[rom]"}},
      {seventeen, "build $D $O", {"[partition]", "16"}},
      {base, "build /dev/zero $O", {"/dev/zero"}},
      {base, "info /", {"/"}},
      {base, "check /dev/zero $D", {"/dev/zero"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.args + " with " + r.description);
    ASSERT_TRUE(write_file(path("rom.desc"), r.description));
    ASSERT_TRUE(write_file(path("rom.img"), "untouched"));
    std::string args = r.args;
    for (auto [mark, file] : {std::pair<const char*, const char*>{"$D", "rom.desc"}, {"$O", "rom.img"}})
      for (size_t at; (at = args.find(mark)) != std::string::npos;) args.replace(at, 2, path(file));
    EXPECT_EQ(2, romtool(args));
    std::string err = read_file(path("err"));
    for (const std::string& n : r.named) EXPECT_NE(std::string::npos, err.find(n)) << err;
    if (r.args.rfind("build", 0) == 0) {
      EXPECT_EQ("untouched", read_file(path("rom.img")));
    }
  }
  // The format's limit itself builds.
  std::string sixteen = "[rom]\n";
  for (int i = 0; i < 16; ++i) sixteen += "[partition]\ntext = p\n";
  EXPECT_EQ(0, build(sixteen, ""));
}

}  // namespace
