#include <gtest/gtest.h>
#include <sched.h>
#include <sys/sem.h>

#include "semctrl/semctrl.h"
#include "tests/support/files.h"

namespace {

int value_of(int id) { return semctl(id, 0, GETVAL); }

// In a child with an IPC namespace of its own, so that every key starts
// unused however often and in whatever order this runs.
TEST(Semctrl, LocksByKeyTheirUndoAndBadIds) {
  EXPECT_EQ(0, run_in_child([] {
    if (unshare(CLONE_NEWIPC) != 0) return 2;
    int burn = binary_sem_create_key(SEM_KEY_BURN_FLASH);
    EXPECT_EQ(1, value_of(burn));  // the creator does not hold it
    EXPECT_EQ(0, sem_set_value(burn, 0, 0));
    EXPECT_EQ(burn, binary_sem_create_key(SEM_KEY_BURN_FLASH));
    EXPECT_EQ(0, value_of(burn));  // an existing lock is used as it is: taken stays taken
    EXPECT_EQ(burn, sem_create_key(1, SEM_KEY_BURN_FLASH));
    EXPECT_EQ(burn, get_sem_by_key(SEM_KEY_BURN_FLASH));
    EXPECT_EQ(-1, get_sem_by_key(SEM_KEY_UPGRADER_TOOL_PROCESS));

    // A try-lock has no undo: it stays taken after its process ended; busy, it answers at once.
    int process = binary_sem_create_key(SEM_KEY_UPGRADER_PROCESS);
    EXPECT_EQ(0, run_in_child([process] { return try_lock_binary_sem(process) == 0 ? 0 : 1; }));
    EXPECT_EQ(0, value_of(process));
    EXPECT_EQ(-1, try_lock_binary_sem(process));

    // A lock with undo is given back when its process ends.
    int memory = binary_sem_create_key(SEM_KEY_MEMORY);
    EXPECT_EQ(0, run_in_child([memory] { return lock_binary_sem(memory) == 0 && value_of(memory) == 0 ? 0 : 1; }));
    EXPECT_EQ(1, value_of(memory));
    // Taken and given back, both with undo: nothing is left to undo when its process ends.
    EXPECT_EQ(0, run_in_child([memory] { return lock_binary_sem(memory) == 0 && unlock_binary_sem(memory) == 0 ? 0 : 1; }));
    EXPECT_EQ(1, value_of(memory));
    EXPECT_EQ(0, try_lock_binary_sem(memory));
    EXPECT_EQ(0, unlock_binary_sem(memory));
    EXPECT_EQ(1, value_of(memory));

    int own = binary_sem_create_private();
    EXPECT_EQ(1, value_of(own));
    EXPECT_EQ(0, sem_delete(own));
    EXPECT_EQ(-1, try_lock_binary_sem(-1));
    EXPECT_EQ(-1, lock_binary_sem(-1));
    EXPECT_EQ(-1, unlock_binary_sem(-1));
    return ::testing::Test::HasFailure() ? 1 : 0;
  }));
}

}  // namespace
