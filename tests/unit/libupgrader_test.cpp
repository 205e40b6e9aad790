#include <gtest/gtest.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "libupgrader/libupgrader.h"
#include "semctrl/semctrl.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

namespace {

void remove_segments() {
  for (int key : {LIBUPD_SHM_KEY, LIBUPD_SHM_KEY_ALT}) {
    int id = shmget(key, 0, 0666);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  }
}

class SharedState : public ::testing::Test {
 protected:
  void SetUp() override { remove_segments(); }
  void TearDown() override { remove_segments(); }
};

// Without a segment nothing is attached or made; deleting nothing leaves
// the segment alone. Neither says a word.
TEST_F(SharedState, NothingToAttachOrDelete) {
  SyslogCapture cap;
  EXPECT_EQ(nullptr, get_share_memory());
  EXPECT_LT(shmget(LIBUPD_SHM_KEY, 0, 0666), 0);
  EXPECT_LT(shmget(LIBUPD_SHM_KEY_ALT, 0, 0666), 0);
  ASSERT_GE(shmget(LIBUPD_SHM_KEY, 64, IPC_CREAT | 0666), 0);
  libupd_delete_share_memory(nullptr);
  EXPECT_GE(shmget(LIBUPD_SHM_KEY, 0, 0666), 0);
  EXPECT_TRUE(cap.lines().empty());
}

TEST_F(SharedState, AlternateKeyIsPreferredAndRemovalNamesTheMainKey) {
  int main_id = shmget(LIBUPD_SHM_KEY, 64, IPC_CREAT | 0666);
  int alt_id = shmget(LIBUPD_SHM_KEY_ALT, 64, IPC_CREAT | 0666);
  ASSERT_GE(main_id, 0);
  ASSERT_GE(alt_id, 0);
  void* alt = shmat(alt_id, nullptr, 0);
  libupd_set_state(alt, 77);
  shmdt(alt);

  SyslogCapture cap;
  void* addr = get_share_memory();
  ASSERT_NE(nullptr, addr);
  EXPECT_EQ(77, libupd_get_state(addr));
  EXPECT_TRUE(cap.has("Size of memory segment is 64\n", 6));
  EXPECT_TRUE(cap.has("Numbre of attaches 0\n", 6));

  libupd_delete_share_memory(addr);
  EXPECT_TRUE(cap.has("detach the shared memory", 6));
  EXPECT_LT(shmget(LIBUPD_SHM_KEY, 0, 0666), 0);   // removed
  EXPECT_GE(shmget(LIBUPD_SHM_KEY_ALT, 0, 0666), 0);  // left alone
}

// A segment without room for the state word counts as no shared state; the
// ROM room is what the segment holds past its 8-byte head.
TEST_F(SharedState, SegmentSizeBoundsTheState) {
  const std::pair<size_t, unsigned long> cases[] = {{1, 0}, {4, 0}, {7, 0}, {8, 0}, {9, 1}, {4104, 4096}};
  for (const auto& [size, room] : cases) {
    SCOPED_TRACE(size);
    remove_segments();
    ASSERT_GE(shmget(LIBUPD_SHM_KEY, size, IPC_CREAT | 0666), 0);
    void* addr = get_share_memory();
    EXPECT_EQ(size >= 8, addr != nullptr);
    EXPECT_EQ(room, libupd_get_rom_capacity(addr));
    if (addr) shmdt(addr);
  }
}

// The writer fills the segment while it holds memory_semid; the driver waits
// for the lock, then reads the request kind and the ROM in place.
TEST_F(SharedState, WriterAndDriverAcrossTwoProcesses) {
  int sem = binary_sem_create_key(SEM_KEY_MEMORY);
  ASSERT_GE(sem, 0);
  int pipefd[2];
  ASSERT_EQ(0, pipe(pipefd));
  pid_t writer = fork();
  if (writer == 0) {
    void* addr = libupd_create_share_memory();
    if (!addr || lock_binary_sem(sem) != 0) _exit(1);
    (void)!write(pipefd[1], "L", 1);  // holding the lock now
    usleep(100000);
    unsigned char* rom = static_cast<unsigned char*>(libupd_get_rom_start_addr(addr));
    memcpy(rom, "MORR", 4);
    rom[LIBUPD_ROM_CAPACITY - 1] = 0x5A;
    libupd_set_state(addr, 1);
    unlock_binary_sem(sem);
    _exit(0);
  }
  char c;
  ASSERT_EQ(1, read(pipefd[0], &c, 1));
  void* addr = get_share_memory();
  ASSERT_NE(nullptr, addr);
  ASSERT_EQ(0, lock_binary_sem(sem));
  EXPECT_EQ(1, libupd_get_state(addr));
  unsigned char* rom = static_cast<unsigned char*>(libupd_get_rom_start_addr(addr));
  EXPECT_EQ(static_cast<unsigned char*>(addr) + 8, rom);
  EXPECT_EQ(0, memcmp(rom, "MORR", 4));
  EXPECT_EQ(0x5A, rom[LIBUPD_ROM_CAPACITY - 1]);
  EXPECT_EQ(0x800000u, libupd_get_rom_capacity(addr));
  int other = 0;
  EXPECT_EQ(0u, libupd_get_rom_capacity(&other));  // not the attached segment
  struct shmid_ds ds;
  ASSERT_EQ(0, shmctl(shmget(LIBUPD_SHM_KEY, 0, 0666), IPC_STAT, &ds));
  EXPECT_EQ(static_cast<size_t>(LIBUPD_SHM_SIZE), ds.shm_segsz);
  EXPECT_EQ(0, unlock_binary_sem(sem));
  int status;
  waitpid(writer, &status, 0);
  EXPECT_EQ(0, WEXITSTATUS(status));
  libupd_delete_share_memory(addr);
}

}  // namespace
