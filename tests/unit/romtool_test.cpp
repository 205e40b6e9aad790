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
    dir_ = base + "/run-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_.data()));
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  void TearDown() override { shell("rm -rf " + dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  int romtool(const std::string& args) {
    return shell(std::string(UPG_ROMTOOL) + " " + args + " > " + path("out") + " 2> " + path("err"));
  }
  // rom.desc built into rom.img.
  int build(const std::string& args) { return romtool("build " + path("rom.desc") + " " + path("rom.img ") + args); }

  std::string dir_;
};

// Each command on an image built first (or, for build itself, on a
// description): its exit code and what it prints. What romtool cannot honour
// is refused before anything is written, with exit 2 and a message naming the
// argument or key and the value.
TEST_F(Romtool, CommandsAnswerAndRefuse) {
  const std::string keys = UPG_SOURCE_DIR "/tests/keys";
  ASSERT_TRUE(write_file(path("device.ini"), kProfile));
  ASSERT_TRUE(write_file(path("keys.ini"), kProfile + ("[keys]\nrelease-a = " + keys + "/release-a.pem\n")));
  auto partitions = [](int n) {
    std::string d = "[rom]\n";
    for (int i = 0; i < n; ++i) d += "[partition]\ntext = p\n";
    return d;
  };
  const std::string base = kTwoPartitionRom;
  const std::string with_tool = base + "[partition]\nspecial = tool\ntext = tool\n";
  struct Row {
    std::string description;  // written to $D and, unless `built` is null, built into $O with those options
    const char* built;
    // $D: the description, $O: the image, $P: the device profile, $Q: it with
    // key a, $S: the image signed by key a, $T: that with a payload byte
    // changed, $K: tests/keys
    std::string command;
    int exit_code;
    std::vector<std::string> shown;  // in the standard output or error
  } rows[] = {
      // check answers what the program answers for the same image and device.
      {base, "", "check $O $P", 0, {"0 accepted\npartition 0: mtd0 burn\npartition 1: mtd1 burn\n"}},
      {base, "--set rom.device_id=60", "check $O $P", 1, {"-95 UPD_MSG_MACHINE_ID_ERR\n"}},
      {base, "--set rom.rom_version=1.0.0.1", "check $O $P", 3, {"-86 UPD_MSG_ROM_VERSION_SAME\n"}},
      {base, "--set part1.partition_id=7", "check $O $P", 1, {"-85 UPD_MSG_MTD_ENV_LOSED\n"}},
      {with_tool, "", "check $O $P", 0, {"11 UPD_MSG_UPGRADER_TOOL\n"}},
      // -v shows the program's log lines with their levels.
      {base, "--set rom.device_id=60", "check -v $O $P", 1,
       {"log l3: UPD_MSG_MACHINE_ID_ERR\n", "log l6: upgrader_softversion_check!\n"}},
      // info names what is broken.
      {base, "", "info $O", 0, {"rom_version:          1.144.6.100\n", "scrambled, key 0x2a", "signature:            none\n"}},
      // Signed releases: the key ids are those the phone logs (scenarios_test).
      {base, "", "info $S", 0, {"signature:            Ed25519 over SHA-256, key id d7798f98beb6dce6, covers "}},
      {base, "", "verify $S $K/release-a.pem", 0, {"signature by key id d7798f98beb6dce6 holds\n"}},
      {base, "", "verify $S $K/release-b.pem", 1,
       {"signed by key id d7798f98beb6dce6, not by this key (c1e7edd318620490)\n"}},
      {base, "", "verify $T $K/release-a.pem", 1, {"the signature does not match the image\n"}},
      {base, "", "verify $O $K/release-a.pem", 1, {"unsigned: no signature block after the data area\n"}},
      {base, "", "verify $S $K/private/release-a.pem", 2, {"not an Ed25519 public key"}},
      {base, "", "sign $O $K/release-a.pem $O", 2, {"not an Ed25519 private key"}},
      {base, "--set rom.rom_size=0x100000", "sign $O $K/private/release-a.pem $O", 2, {"the data area runs past the image"}},
      {base, "", "check $S $Q", 0, {"0 accepted\n"}},
      {base, "", "check $O $Q", 1, {"-70 release signature refused\n"}},
      {base, "", "check $S $P", 0, {"0 accepted\n"}},
      {base, "--flip 500", "info $O", 1, {"payload BAD"}},
      {base, "--set rom.rom_header_size=149", "info $O", 1, {"rom_header_size:      149 BAD"}},
      {base, "--set rom.rom_header_size=127", "info $O", 0,
       {"rom_header_size:      127 (older format, stored plain)\n"}},
      {base, "--set rom.rom_size=0x100000", "info $O", 1, {"BAD (outside the image)"}},
      {base, "--set part1.partition_header_checksum_xor=4", "info $O", 1, {"BAD, payload ok"}},
      {base, "--set part0.partition_id=12", "info $O", 1, {"BAD id/type"}},
      {base, "--truncate 100", "info $O", 1, {"BAD: shorter than the 140-byte ROM header\n"}},
      // Refusals.
      {base, nullptr, "build $D $O --poke 0xFFFFFFFFFFFFFFFF=1", 2, {"--poke", "0xffffffffffffffff"}},
      {base, nullptr, "build $D $O --poke 0x20000000000000000=1", 2, {"--poke", "0x20000000000000000"}},
      {base, nullptr, "build $D $O --size -1", 2, {"--size", "-1"}},
      {base, nullptr, "build $D $O --size 1G", 2, {"--size", "1G"}},
      {base, nullptr, "build $D $O --truncate +5", 2, {"--truncate", "+5"}},
      {base, nullptr, "build $D $O --set part5.partition_id=1", 2, {"part5"}},
      {base, nullptr, "build $D $O --size 100", 2, {"--size"}},
      {"[rom]\nrom_versoin = 1.2.3.4\n", nullptr, "build $D $O", 2, {"rom_versoin"}},
      {"[rom]\nrom_version = 1.2.3\n", nullptr, "build $D $O", 2, {"rom_version", "1.2.3"}},
      {"[rom]\n[partition]\nspecial = kernel\n", nullptr, "build $D $O", 2, {"special", "kernel"}},
      {"[rom]\n[partition]\ntext = a\nfile = b\n", nullptr, "build $D $O", 2, {"file"}},
      {"[rom]\n[partition]\nfile = /no/such/file\n", nullptr, "build $D $O", 2, {"/no/such/file"}},
      {"[disk]\n", nullptr, "build $D $O", 2, {"disk"}},
      {"[rom]\nmatch_id = 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n", nullptr, "build $D $O", 2, {"match_id"}},
      {"[rom]\nalign = 0x8000000000000000\n[partition]\ntext = a\n", nullptr, "build $D $O", 2,
       {"align", "0x8000000000000000"}},
      {"[rom]\ndevice_id = -1\n", nullptr, "build $D $O", 2, {"device_id", "-1"}},
      {"[rom]\n[partition]\nfill = 255 17592186044416M\n", nullptr, "build $D $O", 2, {"fill", "17592186044416M"}},
      {"[rom]\n[partition]\nfile = /dev/zero\n", nullptr, "build $D $O", 2, {"/dev/zero", "regular"}},
      {"[rom]\ndevice_id = 1\n[rom]\ndevice_id = 2\n", nullptr, "build $D $O", 2, {"[rom]", "line 3"}},
      {"[rom]\ndevice_id = 1\ndevice_id = 2\n", nullptr, "build $D $O", 2, {"[rom] gives device_id twice"}},
      {"[rom]\n[partition]\ntext = a\n[partition]\ntext = b\ntext = c\n", nullptr, "build $D $O", 2,
       {"line 4: [partition] gives text twice"}},
      {"", nullptr, "build $D $O", 2, {"[rom]"}},
      {partitions(17), nullptr, "build $D $O", 2, {"[partition]", "16"}},
      {partitions(16), nullptr, "build $D $O", 0, {}},  // the format's limit itself builds
      {base, nullptr, "build /dev/zero $O", 2, {"/dev/zero"}},
      {base, nullptr, "info /", 2, {"/"}},
  };
  const std::pair<const char*, const char*> marks[] = {{"$D", "rom.desc"},   {"$O", "rom.img"},    {"$P", "device.ini"},
                                                       {"$Q", "keys.ini"},   {"$S", "signed.img"}, {"$T", "changed.img"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.command + " with " + r.description);
    ASSERT_TRUE(write_file(path("rom.img"), "untouched"));
    ASSERT_TRUE(write_file(path("rom.desc"), r.description));
    if (r.built) { ASSERT_EQ(0, build(r.built)); }
    std::string command = r.command;
    if (command.find("$S") != std::string::npos || command.find("$T") != std::string::npos) {
      ASSERT_EQ(0, romtool("sign " + path("rom.img") + " " + keys + "/private/release-a.pem " + path("signed.img")));
      std::string changed = read_file(path("signed.img"));
      changed[500] ^= 1;
      ASSERT_TRUE(write_file(path("changed.img"), changed));
    }
    for (size_t at; (at = command.find("$K")) != std::string::npos;) command.replace(at, 2, keys);
    for (auto [mark, file] : marks)
      for (size_t at; (at = command.find(mark)) != std::string::npos;) command.replace(at, 2, path(file));
    EXPECT_EQ(r.exit_code, romtool(command));
    std::string shown = read_file(path("out")) + read_file(path("err"));
    for (const std::string& n : r.shown) EXPECT_NE(std::string::npos, shown.find(n)) << shown;
    if (r.exit_code == 2 && r.command.rfind("build", 0) == 0) { EXPECT_EQ("untouched", read_file(path("rom.img"))); }
  }
  // The tool of the check above was extracted inside the throw-away root only.
  EXPECT_FALSE(file_exists("/tmp/upgrader_tool") && read_file("/tmp/upgrader_tool") == "tool");
}

// The built image read the way docs/rom-format.md defines it, with none of
// romtool's or the program's code: the descrambling table, the rotation and
// the four XOR checksums. The program reading romtool's images (rom_check_test)
// then shows a wrong table or checksum on its side.
TEST_F(Romtool, ImageFollowsTheFormatDocument) {
  ASSERT_TRUE(write_file(path("rom.desc"), kTwoPartitionRom));
  ASSERT_EQ(0, build(""));
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

}  // namespace
