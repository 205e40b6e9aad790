// The signature gate on the simulated phone: the bytes it passes on are the
// bytes it checked, whatever a process that still holds the source writes
// into it afterwards, be the source a mapped file or an attached segment.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <string>

#include "rom/release_sig.h"
#include "tests/support/files.h"

namespace {

const char kKeys[] = UPG_SOURCE_DIR "/tests/keys";

// The source of an image as the program holds it, and a write into it by
// the process that still can.
struct Source {
  const char* name;
  const unsigned char* (*hold)(const std::string& image);
  void (*overwrite)(const unsigned char* held, size_t len);
};

const unsigned char* map_file(const std::string& image) {
  EXPECT_TRUE(write_file("/tmp/rom.img", image));
  int fd = open("/tmp/rom.img", O_RDONLY);
  void* p = mmap(nullptr, image.size(), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(p);
}

void write_file_again(const unsigned char*, size_t len) {
  int fd = open("/tmp/rom.img", O_WRONLY);
  std::string zeros(len, '\0');
  EXPECT_EQ(static_cast<ssize_t>(len), pwrite(fd, zeros.data(), len, 0));
  close(fd);
}

// The ROM starts 8 bytes into the segment, as in the shared upgrade state.
const unsigned char* attach_segment(const std::string& image) {
  int id = shmget(IPC_PRIVATE, image.size() + 8, IPC_CREAT | 0600);
  unsigned char* p = static_cast<unsigned char*>(shmat(id, nullptr, 0));
  (void)shmctl(id, IPC_RMID, nullptr);
  memcpy(p + 8, image.data(), image.size());
  return p + 8;
}

void write_segment_again(const unsigned char* held, size_t len) { memset(const_cast<unsigned char*>(held), 0, len); }

const Source kSources[] = {{"mapped_file", map_file, write_file_again},
                           {"attached_segment", attach_segment, write_segment_again}};

class Gate : public ::testing::TestWithParam<Source> {};

TEST_P(Gate, PassesOnTheBytesItChecked) {
  ASSERT_TRUE(write_file("/tmp/rom.desc", "[rom]\n[partition]\npartition_id = 1\npattern = 7 300K\n"));
  std::string romtool = std::string("ASAN_OPTIONS=detect_leaks=0 ") + UPG_ROMTOOL;
  ASSERT_EQ(0, shell(romtool + " build /tmp/rom.desc /tmp/unsigned.img && " + romtool + " sign /tmp/unsigned.img " +
                     kKeys + "/private/release-a.pem /tmp/signed.img"));
  std::string image = read_file("/tmp/signed.img"), unsigned_image = read_file("/tmp/unsigned.img");
  const unsigned char* held = GetParam().hold(image);
  ASSERT_NE(nullptr, held);
  const unsigned char* checked = held;
  size_t len = image.size();
  ASSERT_EQ(0, rom_release_gate(kKeys, &checked, &len));
  GetParam().overwrite(held, image.size());
  // Only the signed bytes, without the block: the unsigned image.
  ASSERT_EQ(unsigned_image.size(), len);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(checked), len) == unsigned_image);
}

// A phone without a key folder checks nothing; one whose key folder is there
// but cannot be listed refuses, rather than take it for a phone without keys.
TEST(GateKeys, OnlyAMissingFolderMeansNoKeys) {
  ASSERT_TRUE(write_file("/tmp/keys-file", "not a folder\n"));
  static const unsigned char image[] = "any image";
  for (auto [dir, want] : {std::pair<const char*, int>{"/tmp/no-such-keys", 0}, {"/tmp/keys-file", -70}}) {
    const unsigned char* p = image;
    size_t len = sizeof image;
    EXPECT_EQ(want, rom_release_gate(dir, &p, &len)) << dir;
    EXPECT_EQ(image, p) << dir;
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, Gate, ::testing::ValuesIn(kSources),
                         [](const ::testing::TestParamInfo<Source>& p) { return std::string(p.param.name); });

}  // namespace
