// The MTD device layer: the emulation on regular files
// that the flash tests and the simulator rely on.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/unique_fd.h"
#include "platform/mtd_device.h"
#include "tests/support/files.h"

namespace {

constexpr size_t kBlock = 0x10000;
const char kDev[] = "/dev/mtd6";

class MtdDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, shell("rm -f /dev/mtd6*"));
    ASSERT_TRUE(write_file(kDev, std::string(3 * kBlock, '\0')));
    fd_.reset(open(kDev, O_RDWR));
    ASSERT_TRUE(fd_.valid());
  }
  int erase(uint32_t start, uint32_t length) {
    erase_info_user region = {start, length};
    return plat_mtd_erase(fd_.get(), &region);
  }
  ssize_t write_at(off_t at, const std::string& data) {
    EXPECT_EQ(at, lseek(fd_.get(), at, SEEK_SET));
    return plat_mtd_write(fd_.get(), data.data(), data.size());
  }
  unique_fd fd_;
};

TEST_F(MtdDeviceTest, FileIsNorFlash) {
  mtd_info_user info = {};
  ASSERT_EQ(0, plat_mtd_get_info(fd_.get(), &info));
  EXPECT_EQ(3 * kBlock, info.size);
  EXPECT_EQ(65536u, info.erasesize);
  EXPECT_EQ(MTD_NORFLASH, info.type);

  ASSERT_EQ(0, erase(kBlock, kBlock));
  // Programming only clears bits: over zeros nothing changes, over erased
  // cells the data lands; consecutive writes continue where the last ended.
  EXPECT_EQ(2, write_at(0, "\xF0\x0F"));
  EXPECT_EQ(2, write_at(kBlock, "\xF0\x0F"));
  EXPECT_EQ(1, plat_mtd_write(fd_.get(), "\x3C", 1));
  EXPECT_EQ(1, write_at(kBlock, "\x3F"));
  // Whole words as well as single bytes.
  EXPECT_EQ(8, write_at(kBlock + 8, "\x0F\x0F\x0F\x0F\xFF\xFF\xFF\xFF"));
  EXPECT_EQ(8, write_at(kBlock + 8, std::string("\xF3\xF3\xF3\xF3\x00\xFF\xFE\xFF", 8)));
  std::string want(3 * kBlock, '\0');
  want.replace(kBlock, kBlock, std::string(kBlock, '\xFF'));
  want.replace(kBlock, 3, "\x30\x0F\x3C");
  want.replace(kBlock + 8, 8, std::string("\x03\x03\x03\x03\x00\xFF\xFE\xFF", 8));
  EXPECT_TRUE(read_file(kDev) == want);
}

TEST_F(MtdDeviceTest, KernelRulesAreEnforced) {
  for (auto [name, start, length] : std::initializer_list<std::tuple<const char*, uint32_t, uint32_t>>{
           {"unaligned start", 0x1000, kBlock},
           {"unaligned length", 0, 0x8000},
           {"empty", 0, 0},
           {"past the end", 2 * kBlock, 2 * kBlock},
           {"wraps", 0xFFFF0000u, 0x20000}}) {
    SCOPED_TRACE(name);
    errno = 0;
    EXPECT_EQ(-1, erase(start, length));
    EXPECT_EQ(EINVAL, errno);
  }
  // A write is cut at the end of the device; at the end it stores nothing.
  EXPECT_EQ(2, write_at(3 * kBlock - 2, "abcdef"));
  errno = 0;
  EXPECT_EQ(-1, plat_mtd_write(fd_.get(), "x", 1));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_TRUE(read_file(kDev) == std::string(3 * kBlock, '\0'));
}

TEST_F(MtdDeviceTest, ControlFileSetsEraseSizeAndFaults) {
  ASSERT_TRUE(write_file(std::string(kDev) + ".sim", "erasesize 0x8000\nfail erase 3\r\nfail write 2\nshort 100\n"));
  mtd_info_user info = {};
  ASSERT_EQ(0, plat_mtd_get_info(fd_.get(), &info));
  EXPECT_EQ(0x8000u, info.erasesize);
  EXPECT_EQ(0, erase(0, 0x8000));
  EXPECT_EQ(-1, erase(0x8000, 0x18000));  // blocks 1 to 3 of 32 KiB: 3 fails after 1 and 2
  EXPECT_EQ(0, erase(0x10000, 0x8000));
  std::string big(300, '\x11');
  EXPECT_EQ(100, write_at(0, big));
  EXPECT_EQ(100, write_at(kBlock + 50, big));
  EXPECT_EQ(-1, write_at(2 * kBlock, big));  // chunk 2
  std::string want(3 * kBlock, '\0');
  want.replace(0, 0x18000, std::string(0x18000, '\xFF'));
  want.replace(0, 100, std::string(100, '\x11'));
  want.replace(kBlock + 50, 100, std::string(100, '\x11'));
  EXPECT_TRUE(read_file(kDev) == want);

  ASSERT_TRUE(write_file(std::string(kDev) + ".sim", "fail info\nshort 0\n"));
  EXPECT_EQ(-1, plat_mtd_get_info(fd_.get(), &info));
  EXPECT_EQ(0, write_at(0, big));
}

TEST_F(MtdDeviceTest, RemapNeedsSupportAndIsRecorded) {
  const std::string log = std::string(kDev) + ".log";
  mtd_repair_region grow = {0x20000, 0x40000};
  EXPECT_EQ(-1, plat_mtd_repair_check(fd_.get()));
  EXPECT_EQ(-1, plat_mtd_addr_repair(fd_.get(), &grow));
  EXPECT_FALSE(file_exists(log));

  ASSERT_TRUE(write_file(std::string(kDev) + ".sim", "remap 1\n"));
  EXPECT_EQ(0, plat_mtd_repair_check(fd_.get()));
  ASSERT_EQ(0, plat_mtd_addr_repair(fd_.get(), &grow));
  EXPECT_TRUE(read_file(kDev) == std::string(3 * kBlock, '\0') + std::string(kBlock, '\xFF'));
  mtd_repair_region shrink = {0x7F0000, 0x10000};
  ASSERT_EQ(0, plat_mtd_addr_repair(fd_.get(), &shrink));
  EXPECT_TRUE(read_file(kDev) == std::string(kBlock, '\0'));
  EXPECT_EQ("remap 0x20000 0x40000\nremap 0x7f0000 0x10000\n", read_file(log));

  ASSERT_TRUE(write_file(std::string(kDev) + ".sim", "remap 1\nfail remap\n"));
  EXPECT_EQ(0, plat_mtd_repair_check(fd_.get()));
  EXPECT_EQ(-1, plat_mtd_addr_repair(fd_.get(), &grow));
  EXPECT_EQ("remap 0x20000 0x40000\nremap 0x7f0000 0x10000\n", read_file(log));
}

// Anything that is not a regular file gets the real request, which a pipe
// refuses: no emulation is applied to it.
TEST(MtdDevice, OtherDescriptorsGetTheRealRequest) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  mtd_info_user info = {};
  erase_info_user region = {0, 0x10000};
  EXPECT_EQ(-1, plat_mtd_get_info(p[0], &info));
  EXPECT_EQ(-1, plat_mtd_erase(p[1], &region));
  EXPECT_EQ(-1, plat_mtd_repair_check(p[0]));
  close(p[0]);
  close(p[1]);
}

}  // namespace
