// The keypad reader over an arbitrary input device stream: the input is the
// device's whole content, read by the real reader thread body until the end.
// The mailbox must hold the code of the last complete record that is a press
// (little-endian type u16 at 8, code u16 at 10, value s32 at 12), or stay
// empty. Runs inside a simulated root (scripts/fuzz.sh).
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include "basicui/keypad.h"
#include "log/rl_log.h"

namespace {

const char kDevice[] = "/dev/input/event0";

int32_t expected_key(const uint8_t* data, size_t size) {
  int32_t key = 0;
  for (size_t at = 0; at + 16 <= size; at += 16) {
    const uint8_t* r = data + at;
    bool press = r[12] == 1 && r[13] == 0 && r[14] == 0 && r[15] == 0;
    if (press) key = r[10] | (r[11] << 8);
  }
  return key;
}

sem_t g_reader_done;

// The reader detaches its own thread when the stream ends, so it gets one of
// its own here and says when it is done.
void* run_reader(void*) {
  (void)kpad_thread(nullptr);
  (void)sem_post(&g_reader_done);
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);
  (void)unlink(kDevice);  // the root's FIFO gives way to a plain file
  if (sem_init(&g_reader_done, 0, 0) != 0) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = open(kDevice, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) __builtin_trap();
  close(fd);
  g_last_key.store(0);
  pthread_t reader;
  if (pthread_create(&reader, nullptr, run_reader, nullptr) != 0) __builtin_trap();
  while (sem_wait(&g_reader_done) != 0) {
  }
  if (g_last_key.load() != expected_key(data, size)) __builtin_trap();
  return 0;
}
