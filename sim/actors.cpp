#include "sim/actors.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "sim/procfs.h"
#include "sim/profile.h"
#include "semctrl/semctrl.h"

namespace sim {
namespace {

constexpr int kFirstId = 1;
constexpr int kLastId = 12;
constexpr int kHeaderSize = 20;
constexpr int kMaxMessage = 20 + 2048;

void sleep_until_ns(int64_t deadline) {
  for (;;) {
    int64_t left = deadline - monotonic_ns();
    if (left <= 0) return;
    struct timespec ts = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    nanosleep(&ts, nullptr);
  }
}

int32_t word_at(const unsigned char* p) {
  int32_t v;
  memcpy(&v, p, 4);
  return v;
}

// One connection carries one message: read until the sender closes (or
// stays quiet for two seconds), then judge what arrived.
std::string describe_message(int conn) {
  unsigned char buf[kMaxMessage + 1];
  int got = 0;
  while (got < static_cast<int>(sizeof buf)) {
    struct pollfd p = {conn, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    ssize_t n = read(conn, buf + got, sizeof buf - static_cast<size_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  if (got < kHeaderSize) return "bad short=" + std::to_string(got);
  int32_t length = word_at(buf);
  char text[256];
  snprintf(text, sizeof text, "type=%d sender=%d p1=%d p2=%d len=%d", word_at(buf + 4), word_at(buf + 8),
           word_at(buf + 12), word_at(buf + 16), length);
  std::string line = text;
  if (length != got) line += " got=" + std::to_string(got) + " bad=length";
  int data_len = (length > kHeaderSize && length <= got) ? length - kHeaderSize : 0;
  if (data_len > 0) {
    line += " data=";
    for (int i = 0; i < data_len; ++i) {
      snprintf(text, sizeof text, "%02x", buf[kHeaderSize + i]);
      line += text;
    }
  }
  return line;
}

}  // namespace

void record_line(const std::string& path, int64_t boot_start_ns, const std::string& text) {
  FILE* f = fopen(path.c_str(), "a");
  if (!f) return;
  fprintf(f, "%.1f %s\n", static_cast<double>(monotonic_ns() - boot_start_ns) / 1e6, text.c_str());
  fclose(f);
}

void ipc_listener_main(int own_id, int64_t boot_start_ns, int ready_fd, int drain_fd, int ack_fd) {
  mkdir("/var/ipc", 0755);
  struct pollfd fds[kLastId + 1];
  int ids[kLastId];
  int count = 0;
  for (int id = kFirstId; id <= kLastId; ++id) {
    if (id == own_id) continue;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "/var/ipc/%d", id);
    unlink(addr.sun_path);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 64) != 0) {
      fprintf(stderr, "simdev: ipc listener cannot listen on %s: %s\n", addr.sun_path, strerror(errno));
      _exit(1);
    }
    chmod(addr.sun_path, 0777);
    fds[count] = {s, POLLIN, 0};
    ids[count++] = id;
  }
  fds[count] = {drain_fd, POLLIN, 0};
  char one = 1;
  (void)!write(ready_fd, &one, 1);
  close(ready_fd);
  for (;;) {
    if (poll(fds, static_cast<nfds_t>(count + 1), -1) < 0) continue;
    bool drain = fds[count].revents != 0;
    // Connections are served in the order of the sockets; a drain empties
    // every backlog.
    for (int i = 0; i < count; ++i) {
      if (!drain && !(fds[i].revents & POLLIN)) continue;
      for (;;) {
        int conn = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) break;
        int flags = fcntl(conn, F_GETFL);
        fcntl(conn, F_SETFL, flags & ~O_NONBLOCK);
        std::string what = describe_message(conn);
        close(conn);
        record_line("/sim/boot/ipc", boot_start_ns, "to=" + std::to_string(ids[i]) + " " + what);
      }
    }
    if (drain) {
      (void)!write(ack_fd, &one, 1);
      fds[count].fd = -1;  // once is enough: the boot is ending
    }
  }
}

void saver_main(int64_t start_ns, double hold_seconds, int64_t boot_start_ns, int ready_fd) {
  const std::string log = "/sim/boot/saver";
  sleep_until_ns(start_ns);
  int id = binary_sem_create_key(SEM_KEY_SAVE_FILE);
  if (id < 0 || lock_binary_sem(id) != 0) {
    record_line(log, boot_start_ns, std::string("failed ") + strerror(errno));
    _exit(1);
  }
  record_line(log, boot_start_ns, "taken");
  if (ready_fd >= 0) {
    char one = 1;
    (void)!write(ready_fd, &one, 1);
    close(ready_fd);
  }
  sleep_until_ns(monotonic_ns() + static_cast<int64_t>(hold_seconds * 1e9));
  unlock_binary_sem(id);
  record_line(log, boot_start_ns, "released");
  _exit(0);
}

bool parse_key(const std::string& text, KeyPress* out) {
  std::vector<std::string> w = split_words(text);
  if (w.size() < 2 || w.size() > 3) return false;
  KeyPress k;
  unsigned long long code = 0;
  if (!parse_seconds(w[0], &k.at) || !parse_size(w[1], &code) || code > 0xFFFF) return false;
  k.code = static_cast<int>(code);
  long long v = 0;
  if (w.size() == 3 && !parse_int(w[2], INT32_MIN, INT32_MAX, &v)) return false;
  if (w.size() == 3) k.value = static_cast<int>(v);
  *out = k;
  return true;
}

namespace {

// The 16-byte input event of the 32-bit phone: two 32-bit time words, u16
// type, u16 code, s32 value, little-endian.
void put_event(unsigned char* out, int code, int value) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  uint32_t sec = static_cast<uint32_t>(tv.tv_sec), usec = static_cast<uint32_t>(tv.tv_usec);
  uint16_t type = 1 /* EV_KEY */, c = static_cast<uint16_t>(code);
  int32_t v = value;
  memcpy(out, &sec, 4);
  memcpy(out + 4, &usec, 4);
  memcpy(out + 8, &type, 2);
  memcpy(out + 10, &c, 2);
  memcpy(out + 12, &v, 4);
}

}  // namespace

void keypad_main(const std::vector<KeyPress>& keys, bool wait_for_reader, int64_t boot_start_ns,
                 int64_t program_start_ns) {
  const std::string log = "/sim/boot/keys";
  for (const KeyPress& k : keys) {
    sleep_until_ns(program_start_ns + static_cast<int64_t>(k.at * 1e9));
    int fd;
    for (;;) {
      fd = open("/dev/input/event0", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0 || errno != ENXIO || !wait_for_reader) break;
      usleep(10000);
    }
    std::string what = "code=" + std::to_string(k.code) + " value=" + (k.value < 0 ? std::string("press+release") : std::to_string(k.value));
    if (fd < 0) {
      record_line(log, boot_start_ns, what + (errno == ENXIO ? " lost (nobody reads the keypad)" : " lost (no keypad device)"));
      continue;
    }
    unsigned char events[32];
    size_t len = 16;
    put_event(events, k.code, k.value < 0 ? 1 : k.value);
    if (k.value < 0) {
      put_event(events + 16, k.code, 0);
      len = 32;
    }
    ssize_t n = write(fd, events, len);
    close(fd);
    record_line(log, boot_start_ns, what + (n == static_cast<ssize_t>(len) ? " delivered" : " lost (device full)"));
  }
  _exit(0);
}

}  // namespace sim
