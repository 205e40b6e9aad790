#include "basicui/keypad.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "log/rl_log.h"

std::atomic<int32_t> g_last_key{0};

namespace {

const char kInputDevice[] = "/dev/input/event0";
constexpr useconds_t kReaderStartDelayUs = 500 * 1000;

// Touched by the screen thread only.
int s_reader_started = 0;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void* end_reader() {
  pthread_detach(pthread_self());
  return nullptr;
}

}  // namespace

kpad_event kpad_parse_event(const uint8_t* bytes) {
  // bytes 0..7 hold the time stamp, which nobody reads
  kpad_event ev;
  ev.type = le16(bytes + 8);
  ev.code = le16(bytes + 10);
  ev.value = static_cast<int32_t>(le32(bytes + 12));
  return ev;
}

void* kpad_thread(void*) {
  unique_fd fd(open(kInputDevice, O_RDWR | O_CLOEXEC));
  if (!fd.valid()) {
    rl_log_crit("can't open /dev/input/event0.\n");
    perror("failed to open \n");
    return end_reader();
  }
  for (;;) {
    uint8_t record[KPAD_EVENT_SIZE];
    ssize_t n = read(fd.get(), record, sizeof record);
    if (n == KPAD_EVENT_SIZE) {
      kpad_event ev = kpad_parse_event(record);
      if (ev.value == KPAD_VALUE_PRESS) g_last_key.store(ev.code);
      continue;
    }
    rl_log_info("%s no key read", "kpad_thread");
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    // End of stream or a device error: every further read would answer the
    // same at once, so reading on would only spin and flood the log.
    return end_reader();
  }
}

int key_get_keypressed() {
  if (!s_reader_started) {
    s_reader_started = 1;
    pthread_t reader;
    (void)pthread_create(&reader, nullptr, kpad_thread, nullptr);
    usleep(kReaderStartDelayUs);
  }
  return g_last_key.exchange(0);
}
