#include "semctrl/semctrl.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "log/rl_log.h"

namespace {

constexpr int kMode = 0666;

// The caller defines semun (glibc leaves it to the program).
union semun {
  int val;
  struct semid_ds* buf;
  unsigned short* array;
};

int sem_op(int semid, int semnum, int change, short flags) {
  struct sembuf op;
  op.sem_num = static_cast<unsigned short>(semnum);
  op.sem_op = static_cast<short>(change);
  op.sem_flg = flags;
  return semop(semid, &op, 1) == 0 ? 0 : -1;
}

}  // namespace

int sem_create_private(int nsems) { return semget(IPC_PRIVATE, nsems, IPC_CREAT | IPC_EXCL | kMode); }

int binary_sem_create_private() {
  int id = sem_create_private(1);
  if (id >= 0 && binary_sem_init(id) < 0) return -1;
  return id;
}

int sem_create_key(int nsems, int key) {
  int id = semget(static_cast<key_t>(key), nsems, IPC_CREAT | IPC_EXCL | kMode);
  if (id < 0 && errno == EEXIST) return get_sem_by_key(key);
  return id;
}

int binary_sem_create_key(int key) {
  int id = get_sem_by_key(key);
  if (id >= 0) return id;  // an existing lock is used as it is, taken or free
  id = semget(static_cast<key_t>(key), 1, IPC_CREAT | IPC_EXCL | kMode);
  if (id < 0) return -1;
  if (binary_sem_init(id) < 0) return -1;
  return id;
}

int get_sem_by_key(int key) { return semget(static_cast<key_t>(key), 0, kMode); }

int sem_delete(int semid) { return semctl(semid, 0, IPC_RMID); }

int sem_set_value(int semid, int semnum, int value) {
  union semun arg;
  arg.val = value;
  return semctl(semid, semnum, SETVAL, arg);
}

int binary_sem_init(int semid) { return sem_set_value(semid, 0, 1); }

int sem_set_all(int semid, unsigned short* values) {
  union semun arg;
  arg.array = values;
  return semctl(semid, 0, SETALL, arg);
}

// No undo: a lock taken this way stays taken after the process ends.
int try_lock_sem(int semid, int semnum) { return sem_op(semid, semnum, -1, IPC_NOWAIT); }
int try_lock_binary_sem(int semid) { return try_lock_sem(semid, 0); }
int release_sem(int semid, int semnum) { return sem_op(semid, semnum, 1, 0); }
int release_binary_sem(int semid) { return release_sem(semid, 0); }

// With undo: the platform gives the lock back when the process ends.
int lock_sem(int semid, int semnum) { return sem_op(semid, semnum, -1, SEM_UNDO); }
int lock_binary_sem(int semid) { return lock_sem(semid, 0); }
int unlock_sem(int semid, int semnum) { return sem_op(semid, semnum, 1, SEM_UNDO); }
int unlock_binary_sem(int semid) { return unlock_sem(semid, 0); }

void semctrl_show_version() {
  rl_log_info("\nInit %s, Version %s, Build at %s %s\n", "semctrl", "1.0.0.2", "Apr 20 2023", "03:19:24");
}
