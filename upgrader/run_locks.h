// The driver's use of the system-wide locks it shares with other processes.
// A semaphore id is valid from 0 up: the kernel gives 0 to the first set
// made after boot; only a negative id means there is none.
#pragma once

// Takes the configuration saver's lock with try-lock, one second apart, at
// most `attempts` times. 1 when taken, 0 when not or there is no lock.
int cfg_lock_take(int semid, int attempts);
// Gives back a lock taken by cfg_lock_take in the same mode (no undo), so
// that nothing is left pending for the kernel to apply when the process ends.
void cfg_lock_give_back(int semid);
// Gives back the shared state's lock, taken with lock_binary_sem (undo).
void memory_lock_give_back(int semid);
