#include "upgrader/run_locks.h"

#include <unistd.h>

#include "semctrl/semctrl.h"

int cfg_lock_take(int semid, int attempts) {
  if (semid < 0) return 0;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (try_lock_binary_sem(semid) == 0) return 1;
    sleep(1);
  }
  return 0;
}

void cfg_lock_give_back(int semid) { (void)release_binary_sem(semid); }

void memory_lock_give_back(int semid) {
  if (semid >= 0) (void)unlock_binary_sem(semid);
}
