// The driver's locks with the ids the kernel really gives: 0 for the first
// set after boot, others when sets were made before.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/sem.h>
#include <unistd.h>

#include "semctrl/semctrl.h"
#include "tests/support/files.h"
#include "upgrader/run_locks.h"

namespace {

int value_of(int id) { return semctl(id, 0, GETVAL); }

struct Row {
  const char* name;
  int sets_before;  // unrelated sets made first, in a fresh IPC namespace
  bool id_zero;     // the lock's id is then 0
};
const Row kRows[] = {{"first set after boot", 0, true}, {"two sets made before", 2, false}};

// Runs fn in a child with a fresh IPC namespace holding sets_before sets,
// on the lock of this key (0: a private lock); its exit code, or 90 + step
// when the namespace could not be set up.
int in_fresh_ipc(const Row& row, int key, const std::function<int(int id)>& fn) {
  return run_in_child([&] {
    if (unshare(CLONE_NEWIPC) != 0) return 91;
    for (int i = 0; i < row.sets_before; ++i)
      if (sem_create_private(1) < 0) return 92;
    int id = key != 0 ? binary_sem_create_key(key) : binary_sem_create_private();
    if (id < 0 || (id == 0) != row.id_zero) return 93;
    return fn(id);
  });
}

TEST(RunLocks, WhateverIdTheKernelGives) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    // The driver takes the saver's lock and gives it back, then ends: the
    // saver takes it at once, without waiting.
    EXPECT_EQ(0, in_fresh_ipc(row, SEM_KEY_SAVE_FILE, [](int id) {
      int driver = run_in_child([id] {
        if (cfg_lock_take(id, 1) != 1) return 1;
        if (value_of(id) != 0) return 2;  // a saver would wait now
        cfg_lock_give_back(id);
        return 0;
      });
      if (driver != 0) return 10 + driver;
      return try_lock_binary_sem(id) == 0 ? 0 : 20;  // IPC_NOWAIT: the saver does not wait
    }));
    // A lock held by the saver is not taken.
    EXPECT_EQ(0, in_fresh_ipc(row, SEM_KEY_SAVE_FILE, [](int id) {
      if (lock_binary_sem(id) != 0) return 1;
      return cfg_lock_take(id, 1) == 0 && value_of(id) == 0 ? 0 : 2;
    }));
    // After a failure the driver gives the shared state's lock back while it
    // still runs (the failure screen waits), so the writer is not blocked.
    EXPECT_EQ(0, in_fresh_ipc(row, SEM_KEY_MEMORY, [](int id) {
      if (lock_binary_sem(id) != 0) return 1;
      memory_lock_give_back(id);
      return value_of(id) == 1 ? 0 : 2;
    }));
    // A private lock is ready to take whatever id it gets.
    EXPECT_EQ(0, in_fresh_ipc(row, 0, [](int id) { return value_of(id) == 1 ? 0 : 1; }));
  }
  EXPECT_EQ(0, cfg_lock_take(-1, 1));  // no lock at all is not waited for
}

}  // namespace
