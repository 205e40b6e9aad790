#include <gtest/gtest.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "libupgrader/libupgrader.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

namespace {

constexpr int kMain = 0xA130;
constexpr int kAlternate = 0x1079B;

void remove_segments() {
  for (int key : {kMain, kAlternate}) {
    int id = shmget(key, 0, 0666);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  }
}

// Without a segment nothing is attached or made, and deleting nothing leaves
// a segment alone, without a word; the writer's alternate segment is read
// before the main one, and removal names the main key whatever was attached.
TEST(SharedState, AlternateKeyIsPreferredAndRemovalNamesTheMainKey) {
  remove_segments();
  SyslogCapture cap;
  EXPECT_EQ(nullptr, get_share_memory());
  EXPECT_LT(shmget(kMain, 0, 0666), 0);
  ASSERT_GE(shmget(kMain, 64, IPC_CREAT | 0666), 0);
  libupd_delete_share_memory(nullptr);
  EXPECT_TRUE(cap.lines().empty());
  void* alt = shmat(shmget(kAlternate, 64, IPC_CREAT | 0666), nullptr, 0);
  ASSERT_NE(reinterpret_cast<void*>(-1), alt);
  libupd_set_state(alt, 77);
  shmdt(alt);
  void* addr = get_share_memory();
  ASSERT_NE(nullptr, addr);
  EXPECT_EQ(77, libupd_get_state(addr));
  libupd_delete_share_memory(addr);
  EXPECT_TRUE(cap.has("Size of memory segment is 64\n", 6));
  EXPECT_TRUE(cap.has("Numbre of attaches 0\n", 6));
  EXPECT_TRUE(cap.has("detach the shared memory", 6));
  EXPECT_LT(shmget(kMain, 0, 0666), 0);       // removed
  EXPECT_GE(shmget(kAlternate, 0, 0666), 0);  // left alone
}

// A segment without room for the state word counts as no shared state; the
// ROM room is what the segment holds past its 8-byte head, 8 MiB at most.
TEST(SharedState, SegmentSizeBoundsTheState) {
  const std::pair<size_t, unsigned long> cases[] = {
      {1, 0}, {4, 0}, {7, 0}, {8, 0}, {9, 1}, {4104, 4096}, {0x800008, 0x800000}, {0x900000, 0x800000}};
  for (const auto& [size, room] : cases) {
    SCOPED_TRACE(size);
    remove_segments();
    ASSERT_GE(shmget(kMain, size, IPC_CREAT | 0666), 0);
    void* addr = get_share_memory();
    EXPECT_EQ(size >= 8, addr != nullptr);
    EXPECT_EQ(room, libupd_get_rom_capacity(addr));
    if (addr) shmdt(addr);
  }
}

// The writer makes the segment and fills it in another process; the driver
// reads the request kind (the word at offset 4) and the ROM (from offset 8)
// in place.
TEST(SharedState, WriterFillsWhatTheDriverReadsInPlace) {
  remove_segments();
  ASSERT_EQ(0, run_in_child([] {
    void* addr = libupd_create_share_memory();
    if (!addr) return 1;
    auto* rom = static_cast<unsigned char*>(libupd_get_rom_start_addr(addr));
    memcpy(rom, "MORR", 4);
    rom[0x800000 - 1] = 0x5A;
    libupd_set_state(addr, 1);
    return 0;
  }));
  void* addr = get_share_memory();
  ASSERT_NE(nullptr, addr);
  auto* bytes = static_cast<unsigned char*>(addr);
  const int32_t one = 1;
  EXPECT_EQ(0, memcmp(bytes + 4, &one, 4));
  EXPECT_EQ(1, libupd_get_state(addr));
  EXPECT_EQ(0, memcmp(bytes + 8, "MORR", 4));
  EXPECT_EQ(0x5A, bytes[8 + 0x800000 - 1]);
  EXPECT_EQ(0x800000u, libupd_get_rom_capacity(addr));
  int other = 0;
  EXPECT_EQ(0u, libupd_get_rom_capacity(&other));  // not the attached segment
  libupd_delete_share_memory(addr);
}

}  // namespace
