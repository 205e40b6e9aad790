#include <gtest/gtest.h>
#include <sys/sem.h>

#include "semctrl/semctrl.h"
#include "tests/support/files.h"

namespace {

int value_of(int id) { return semctl(id, 0, GETVAL); }

// Each test runs in a fresh IPC namespace, so keys start unused.
TEST(Semctrl, NewLockIsFreeAndExistingSetIsReusedUnchanged) {
  int id = binary_sem_create_key(SEM_KEY_BURN_FLASH);
  ASSERT_GE(id, 0);
  EXPECT_EQ(1, value_of(id));  // the creator does not hold it
  ASSERT_EQ(0, sem_set_value(id, 0, 0));
  EXPECT_EQ(id, binary_sem_create_key(SEM_KEY_BURN_FLASH));
  EXPECT_EQ(0, value_of(id));  // taken stays taken
  EXPECT_EQ(id, sem_create_key(1, SEM_KEY_BURN_FLASH));
  EXPECT_EQ(id, get_sem_by_key(SEM_KEY_BURN_FLASH));
  EXPECT_EQ(-1, get_sem_by_key(SEM_KEY_UPGRADER_TOOL_PROCESS));
}

TEST(Semctrl, TryLockWithoutUndoSurvivesTheProcess) {
  int id = binary_sem_create_key(SEM_KEY_UPGRADER_PROCESS);
  ASSERT_GE(id, 0);
  EXPECT_EQ(0, run_in_child([id] { return try_lock_binary_sem(id) == 0 ? 0 : 1; }));
  EXPECT_EQ(0, value_of(id));
  EXPECT_EQ(-1, try_lock_binary_sem(id));  // busy: answers at once
}

TEST(Semctrl, LockWithUndoIsGivenBackWhenTheProcessEnds) {
  int id = binary_sem_create_key(SEM_KEY_MEMORY);
  ASSERT_GE(id, 0);
  EXPECT_EQ(0, run_in_child([id] { return lock_binary_sem(id) == 0 && value_of(id) == 0 ? 0 : 1; }));
  EXPECT_EQ(1, value_of(id));
  EXPECT_EQ(0, try_lock_binary_sem(id));
  EXPECT_EQ(0, unlock_binary_sem(id));
  EXPECT_EQ(1, value_of(id));
}

TEST(Semctrl, PrivateSetsAndBadIds) {
  // The kernel hands out id 0 to the first set of a fresh namespace, so 0
  // is a real id here when this case runs alone.
  int id = binary_sem_create_private();
  ASSERT_GE(id, 0);
  EXPECT_EQ(1, value_of(id));
  EXPECT_EQ(0, sem_delete(id));
  EXPECT_EQ(-1, try_lock_binary_sem(-1));
  EXPECT_EQ(-1, lock_binary_sem(-1));
  EXPECT_EQ(-1, unlock_binary_sem(-1));
}

}  // namespace
