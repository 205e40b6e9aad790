// Named system-wide locks on SysV semaphores.
#pragma once

#define SEM_KEY_SAVE_FILE 0xB012
#define SEM_KEY_UPGRADER_PROCESS 0xC002
#define SEM_KEY_UPGRADER_TOOL_PROCESS 0xC003
#define SEM_KEY_BURN_FLASH 0xC004
#define SEM_KEY_MEMORY 0xA130

int sem_create_private(int nsems);
int binary_sem_create_private();
int sem_create_key(int nsems, int key);
int binary_sem_create_key(int key);
int get_sem_by_key(int key);
int sem_delete(int semid);
int sem_set_value(int semid, int semnum, int value);
int binary_sem_init(int semid);
int sem_set_all(int semid, unsigned short* values);
int try_lock_sem(int semid, int semnum);
int try_lock_binary_sem(int semid);
int lock_sem(int semid, int semnum);
int lock_binary_sem(int semid);
int unlock_sem(int semid, int semnum);
int unlock_binary_sem(int semid);
// Gives back a lock taken by try-lock: no undo either, so the count stays
// balanced when the process ends.
int release_sem(int semid, int semnum);
int release_binary_sem(int semid);
void semctrl_show_version();
