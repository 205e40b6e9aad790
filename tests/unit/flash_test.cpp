// Flash programming on file-backed flash: whole flash images after each run,
// progress sequences and refusals.
#include <gtest/gtest.h>
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "basicui/basicui.h"
#include "common/process_flags.h"
#include "log/rl_log.h"
#include "rom/flash.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"
#include "tests/unit/ui_recorder.h"

namespace {

constexpr uint32_t kBlock = 0x10000;
constexpr unsigned char kOld = 0xA5;  // what the flash held before: NOR writes over it corrupt data

std::string dev_path(int id) { return "/dev/mtd" + std::to_string(id); }

// One partition of a test image and of the device behind it.
struct Part {
  uint32_t id, region, payload;  // region: end_addr - start_addr in the environment; payload: partition_size
  bool flagged = true;
};

// An image with payloads placed after the headers as a ROM lays them out,
// the header table and flags the ROM check would have filled, and the
// environment's regions.
struct TestImage {
  std::vector<unsigned char> bytes;
  std::vector<partition_header> headers;
  std::vector<uint32_t> flags;
  env_info env[ENV_TABLE_SIZE] = {};

  explicit TestImage(const std::vector<Part>& parts) {
    size_t at = ROM_HEADER_COPY_SIZE + PARTITION_HEADER_COPY_SIZE * parts.size();
    uint32_t flash_at = 0x90000000;
    headers.reserve(1);  // an image without partitions still hands over (empty) tables
    flags.reserve(1);
    for (size_t i = 0; i < parts.size(); ++i) {
      const Part& p = parts[i];
      // Magic, header size, id, payload size and offset; every other field 0.
      headers.push_back({PARTITION_MAGIC, PARTITION_STANDARD_HEADER_SIZE, 0, 0, 0, 0, p.id, 0, p.payload, 0,
                         static_cast<uint32_t>(at)});
      flags.push_back(p.flagged ? 1 : 0);
      bytes.resize(at + p.payload);
      for (uint32_t k = 0; k < p.payload; ++k)
        bytes[at + k] = static_cast<unsigned char>((k * 7 + (k >> 9) + p.id * 41 + 3) & 0xFF);
      at = (at + p.payload + 3) & ~size_t{3};
      snprintf(env[i].name, ENV_NAME_SIZE, "mtd%u", p.id);
      env[i].start_addr = flash_at;
      env[i].end_addr = flash_at + p.region;
      flash_at += (p.region + kBlock - 1) / kBlock * kBlock;
    }
    bytes.resize(at);
  }

  std::string payload(size_t i) const {
    const partition_header& h = headers[i];
    return std::string(reinterpret_cast<const char*>(bytes.data()) + h.partition_offset, h.partition_size);
  }
  int burn(CBasicUI* ui) {
    return burn_flash(bytes.data(), bytes.size(), env, static_cast<uint32_t>(headers.size()), headers.data(),
                      flags.data(), ui);
  }
};

// The flash after a run: the old content, its first `erased` bytes erased,
// then the first `written` bytes of the payload programmed over them.
std::string expected_flash(size_t device_size, size_t erased, const std::string& payload, size_t written) {
  std::string flash(device_size, static_cast<char>(kOld));
  flash.replace(0, erased, erased, static_cast<char>(0xFF));
  for (size_t k = 0; k < written; ++k) flash[k] = static_cast<char>(flash[k] & payload[k]);
  return flash;
}

class FlashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rl_log_init("upgrader", 7);
    ASSERT_EQ(0, shell("rm -f /dev/mtd[0-9]* /tmp/blk*"));
    upgrader_kernel_only = 0;
    ui_recorded_progress().clear();
  }
  void make_device(int id, size_t size, const std::string& sim = "") {
    ASSERT_TRUE(write_file(dev_path(id), std::string(size, static_cast<char>(kOld))));
    if (!sim.empty()) { ASSERT_TRUE(write_file(dev_path(id) + ".sim", sim)); }
  }
  CBasicUI ui;
};

// Progress values and final flash for the layouts the screen must follow.
// The whole region is erased first in the device's own units, whatever the
// region's length, the unit and how much a write stores, with the progress
// steps of 64 KiB blocks; a region whose units run past its device is
// refused before any partition is touched.
TEST_F(FlashTest, ProgressAndFlashContents) {
  struct Case {
    const char* name;
    std::vector<Part> parts;
    std::vector<int> progress;
    int erase_calls;
    int kernel_only = 0;
    std::string sim = "";  // control file of every device
    size_t device = 0;     // size of every device; 0: its region and one block more
    size_t erased = 0;     // bytes from 0 erased on a burnt device; 0: its region
    int rc = 0;
  };
  const std::vector<int> steps_of_21 = {15, 36, 57, 78, 100};
  const std::vector<Case> cases = {
      {"three flagged, step 14",
       {{2, 0x20000, 0x20000}, {4, 0x10000, 0x10000, false}, {5, 0x20000, 0x18000}, {7, 0x10000, 0x10000}},
       {15, 22, 29, 36, 43, 50, 57, 71, 85, 100}, 5},
      {"region 0x30000, payload 0x28000", {{6, 0x30000, 0x28000}}, {15, 29, 43, 57, 78, 100}, 3},
      {"kernel only, 1 and 2 flagged", {{2, 0x10000, 0x10000}, {1, 0x10000, 0x10000}}, {15, 36, 100}, 1, 1},
      {"no flag set", {{1, 0x10000, 0x10000, false}, {2, 0x10000, 0x8000, false}}, {100}, 0},
      {"no partition", {}, {100}, 0},
      {"region ends inside a block", {{6, 0x28000, 0x28000}}, steps_of_21, 3, 0, "", 0x30000, 0x30000},
      {"writes store 1000 bytes", {{6, 0x28000, 0x28000}}, steps_of_21, 3, 0, "short 1000\n", 0x30000, 0x30000},
      {"32 KiB units", {{6, 0x28000, 0x28000}}, steps_of_21, 3, 0, "erasesize 32768\n", 0x30000, 0x28000},
      {"96 KiB region of 32 KiB units", {{6, 0x18000, 0x16000}}, {15, 57, 100}, 2, 0, "erasesize 32768\n", 0x18000},
      {"48 KiB region of 8 KiB units", {{6, 0xC000, 0xA000}}, {100}, 1, 0, "erasesize 8192\n", 0xC000},
      {"second region past its device, first untouched", {{5, 0x10000, 0x10000}, {6, 0x18000, 0x18000}}, {}, 0, 0, "",
       0x18000, 0, -84},
      {"region shorter than a block", {{6, 0x8000, 0x8000}}, {100}, 1, 0, "", 0x10000, 0x10000},
      {"last block cut short by the device", {{6, 0x28000, 0x28000}}, {}, 0, 0, "", 0x28000, 0, -84},
      {"128 KiB units", {{6, 0x60000, 0x50000}}, {15, 22, 29, 36, 43, 50, 57, 65, 73, 82, 90, 100}, 3, 0,
       "erasesize 131072\n", 0x80000, 0x60000},
      {"128 KiB units past the region", {{6, 0x30000, 0x30000}}, {15, 29, 43, 57, 71, 85, 100}, 2, 0,
       "erasesize 131072\n", 0x40000, 0x40000},
      {"128 KiB units past the device", {{6, 0x30000, 0x30000}}, {}, 0, 0, "erasesize 131072\n", 0x30000, 0, -84},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    upgrader_kernel_only = c.kernel_only;
    TestImage image(c.parts);
    for (const Part& p : c.parts) make_device(p.id, c.device ? c.device : p.region + kBlock, c.sim);
    SyslogCapture cap;
    EXPECT_EQ(c.rc, image.burn(&ui));
    EXPECT_EQ(c.progress, ui_recorded_progress());
    EXPECT_EQ(c.erase_calls, cap.count("erase done\n", LOG_DEBUG));
    for (size_t i = 0; i < c.parts.size(); ++i) {
      const Part& p = c.parts[i];
      bool burnt = c.rc == 0 && p.flagged && (!c.kernel_only || p.id == 1);
      std::string want = expected_flash(c.device ? c.device : p.region + kBlock,
                                        burnt ? (c.erased ? c.erased : p.region) : 0, image.payload(i),
                                        burnt ? p.payload : 0);
      EXPECT_TRUE(read_file(dev_path(p.id)) == want) << "mtd" << p.id;
    }
    if (c.kernel_only) {
      EXPECT_EQ(2, cap.count("upgrader_kernel_only is AVAILABLE \n", LOG_INFO));
      EXPECT_TRUE(cap.has("ppartition_addr->partition_id:2\n", LOG_INFO));
      EXPECT_TRUE(cap.has("mtd1 start_addr:90010000 end_addr:90020000\n", LOG_INFO));
    }
  }
}

// A fault in the second partition of the image (mtd1, between mtd5 and mtd3
// in image order): the first is written, the second as far as it got, the
// third untouched, and the code is reported. A table the image cannot hold
// is refused before any partition is touched.
TEST_F(FlashTest, FaultsLeaveEarlierPartitionsWrittenAndLaterUntouched) {
  struct Case {
    const char* name;
    std::string sim;                      // control file of /dev/mtd1
    std::function<void(TestImage&)> edit;  // changes to the image, the environment or the devices
    int rc;
    std::vector<std::string> errors;  // error-level lines expected
    size_t erased, written;           // bytes of mtd1 erased, bytes of its payload programmed
    std::vector<int> progress;        // step 14: mtd5 from 15, mtd1 from 43, never further; none: refused first
  };
  const std::vector<Case> cases = {
      {"erase of block 1 fails", "fail erase 1\n", nullptr, -82, {"UPD_MSG_FLASH_ERASE_ERR\n"}, 0x10000, 0,
       {15, 22, 29, 43}},
      {"write of chunk 1 fails", "fail write 1\n", nullptr, -81, {"UPD_MSG_FLASH_WRITE_ERR\n"}, 0x30000, 0x10000,
       {15, 22, 29, 43, 47, 52, 57}},
      {"writes store nothing", "short 0\n", nullptr, -81, {"UPD_MSG_FLASH_WRITE_ERR\n"}, 0x30000, 0,
       {15, 22, 29, 43, 47, 52}},
      {"info query fails", "fail info\n", nullptr, -82, {"MEMGETINFO failed!\n", "UPD_MSG_FLASH_ERASE_ERR\n"}, 0, 0,
       {15, 22, 29}},
      {"device missing", "", [](TestImage&) { unlink("/dev/mtd1"); }, -83,
       {"/dev/mtd1 open failed!\n", "UPD_MSG_MTD_ADDR_ERR\n"}, 0, 0, {15, 22, 29}},
      {"no mtd1 in the environment", "", [](TestImage& im) { snprintf(im.env[1].name, ENV_NAME_SIZE, "mtdX"); }, -85,
       {"mtd1 isnot exist!\n", "UPD_MSG_MTD_ENV_LOSED\n"}, 0, 0, {15, 22, 29}},
      {"region shrunk below the payload", "", [](TestImage& im) { im.env[1].end_addr = 0x90020000 + 0x20000; }, -84,
       {"UPD_MSG_MTD_ADDR_ERR\n"}, 0, 0, {15, 22, 29}},
      {"payload runs past the image", "", [](TestImage& im) { im.headers[1].partition_size = im.bytes.size(); }, -91,
       {"UPD_MSG_PART_CHECKSUM_ERR\n"}, 0, 0, {}},
      {"payload starts past the image", "", [](TestImage& im) { im.headers[1].partition_offset = 0x7FFFFFF0; }, -91,
       {"UPD_MSG_PART_CHECKSUM_ERR\n"}, 0, 0, {}},
      {"payload offset plus size wraps", "", [](TestImage& im) { im.headers[1].partition_offset = 0xFFFFFFF0; }, -91,
       {"UPD_MSG_PART_CHECKSUM_ERR\n"}, 0, 0, {}},
      {"17 partitions", "",
       [](TestImage& im) {
         im.headers.resize(17, im.headers[0]);
         im.flags.resize(17, 1);
       },
       -79, {"UPD_MSG_PART_NUM_ERR\n"}, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    TestImage image({{5, 0x20000, 0x18000}, {1, 0x30000, 0x28000}, {3, 0x10000, 0x8000}});
    const std::string first = image.payload(0), second = image.payload(1);
    make_device(5, 0x20000);
    make_device(1, 0x30000, c.sim);
    make_device(3, 0x10000);
    if (c.edit) c.edit(image);
    SyslogCapture cap;
    EXPECT_EQ(c.rc, image.burn(&ui));
    for (const std::string& e : c.errors) EXPECT_TRUE(cap.has(e, LOG_ERR)) << e;
    bool refused = c.progress.empty();
    EXPECT_TRUE(read_file("/dev/mtd5") ==
                expected_flash(0x20000, refused ? 0 : 0x20000, first, refused ? 0 : 0x18000));
    if (c.rc != -83) {  // the device is gone
      EXPECT_TRUE(read_file("/dev/mtd1") == expected_flash(0x30000, c.erased, second, c.written));
    }
    EXPECT_TRUE(read_file("/dev/mtd3") == std::string(0x10000, static_cast<char>(kOld)));
    EXPECT_EQ(c.progress, ui_recorded_progress());  // the bar stops where the fault is
  }
}

// mtd_write: the saved copy of a partition back into its device.
TEST_F(FlashTest, MtdWriteCopiesTheFileOrRefusesBeforeErasing) {
  struct Case {
    const char* name;
    int mtd, size, file_size;  // file_size -1: no file
    size_t device_size;
    std::string sim;
    int rc;
    std::string line;
    int line_level, times;  // times: how often the line is logged
    size_t erased, written;
  };
  const std::vector<Case> cases = {
      {"configuration copy", 4, 0x80000, 0x80000, 0x80000, "short 3000\n", 0, "mtd_write :4 \n", LOG_DEBUG, 8,
       0x80000, 0x80000},
      {"file one byte too long", 3, 0x10000, 0x10001, 0x20000, "", -1, "/tmp/blk size error\n", LOG_ERR, 1, 0, 0},
      {"file missing", 3, 0x10000, -1, 0x20000, "", -1, "/tmp/blk File open failed!\n", LOG_DEBUG, 1, 0, 0},
      {"empty file", 3, 0, 0, 0x20000, "", -1, "memory map failed!\n", LOG_DEBUG, 1, 0, 0},
      {"device missing", 7, 0x10000, 0x10000, 0, "", -1, "/dev/mtd7 open failed!\n", LOG_ERR, 1, 0, 0},
      {"erase fails", 3, 0x20000, 0x20000, 0x20000, "fail erase 1\n", -1, "erase done\n", LOG_DEBUG, 1, 0x10000,
       0},
      {"write fails", 3, 0x20000, 0x20000, 0x20000, "fail write 1\n", -1, "mtd_write :3 \n", LOG_DEBUG, 2,
       0x20000, 0x10000},
      {"part of a block at the end", 3, 0x18000, 0x18000, 0x20000, "", 0, "mtd_write :3 \n", LOG_DEBUG, 2,
       0x20000, 0x18000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    // No two 64 KiB blocks alike, so that a block written in another's place shows.
    std::string copy;
    for (int k = 0; k < c.file_size; ++k) copy.push_back(static_cast<char>((k * 13 + (k >> 8) + (k >> 16) * 29) & 0xFF));
    if (c.file_size >= 0) { ASSERT_TRUE(write_file("/tmp/blk", copy)); }
    if (c.device_size) make_device(c.mtd, c.device_size, c.sim);
    SyslogCapture cap;
    EXPECT_EQ(c.rc, mtd_write(c.mtd, c.size, "/tmp/blk"));
    EXPECT_EQ(c.times, cap.count(c.line, c.line_level)) << c.line;
    if (c.device_size) {
      EXPECT_TRUE(read_file(dev_path(c.mtd)) == expected_flash(c.device_size, c.erased, copy, c.written));
    }
  }
}

}  // namespace
