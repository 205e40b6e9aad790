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

#include <vector>

#include "sim/procfs.h"
#include "sim/profile.h"
#include "semctrl/semctrl.h"

namespace sim {
namespace {

constexpr int kFirstId = 1;
constexpr int kLastId = 12;
constexpr int kHeaderSize = 20;
constexpr size_t kMaxMessage = 20 + 2048;
// A sender that stays quiet this long has said what it had to say.
constexpr int64_t kQuietMs = 2000;

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

// One connection carries one message: what arrived until the sender closed,
// stayed quiet for kQuietMs or used up its kConnectionLimitMs, judged once.
std::string describe_message(const std::string& data) {
  const unsigned char* buf = reinterpret_cast<const unsigned char*>(data.data());
  int got = static_cast<int>(data.size());
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

// A sender being read, alongside any number of others.
struct Connection {
  int fd = -1;
  int to = 0;            // the id it connected to
  int64_t accepted_ns = 0, last_ns = 0;
  std::string data;
};

struct Listener {
  std::vector<struct pollfd> sockets;  // one per id
  std::vector<int> ids;
  std::vector<Connection> open;
  int64_t boot_start_ns = 0;
  int drain_fd = -1, ack_fd = -1;
  int64_t drain_deadline_ns = 0;  // 0: not draining

  void accept_all(size_t i, int64_t now) {
    for (;;) {
      int fd = accept4(sockets[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) return;
      open.push_back(Connection{fd, ids[i], now, now, {}});
    }
  }

  void finish(Connection& c) {
    close(c.fd);
    c.fd = -1;
    record_line("/sim/boot/ipc", boot_start_ns, "to=" + std::to_string(c.to) + " " + describe_message(c.data));
  }

  // Reads what is there; finishes the connection at its end or when full.
  void serve(Connection& c, int64_t now) {
    char buf[4096];
    for (;;) {
      size_t room = kMaxMessage + 1 - c.data.size();
      ssize_t n = read(c.fd, buf, room < sizeof buf ? room : sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      if (n > 0) {
        c.data.append(buf, static_cast<size_t>(n));
        c.last_ns = now;
        if (c.data.size() <= kMaxMessage) continue;
      }
      finish(c);
      return;
    }
  }

  int64_t deadline(const Connection& c) const {
    int64_t quiet = c.last_ns + kQuietMs * 1000000LL, limit = c.accepted_ns + kConnectionLimitMs * 1000000LL;
    return quiet < limit ? quiet : limit;
  }

  int poll_timeout_ms(int64_t now) const {
    int64_t next = INT64_MAX;
    for (const Connection& c : open) next = deadline(c) < next ? deadline(c) : next;
    if (next == INT64_MAX) return -1;
    return next <= now ? 0 : static_cast<int>((next - now) / 1000000 + 1);
  }

  void step() {
    std::vector<struct pollfd> fds = sockets;
    fds.push_back({drain_deadline_ns ? -1 : drain_fd, POLLIN, 0});
    for (const Connection& c : open) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), poll_timeout_ms(monotonic_ns())) < 0) return;
    int64_t now = monotonic_ns();
    size_t n = sockets.size();
    for (size_t i = 0; i < open.size(); ++i)
      if (fds[n + 1 + i].revents) serve(open[i], now);
    bool drain = fds[n].revents != 0;
    if (drain) drain_deadline_ns = now + kConnectionLimitMs * 1000000LL;
    // A drain empties every backlog: what was sent before the end is heard.
    for (size_t i = 0; i < n; ++i)
      if (drain || (fds[i].revents & POLLIN)) accept_all(i, now);
    for (Connection& c : open)
      if (c.fd >= 0 && (deadline(c) <= now || (drain_deadline_ns && now >= drain_deadline_ns))) finish(c);
    std::erase_if(open, [](const Connection& c) { return c.fd < 0; });
    if (drain_deadline_ns && open.empty() && ack_fd >= 0) {
      char one = 1;
      (void)!write(ack_fd, &one, 1);
      close(ack_fd);
      ack_fd = -1;  // once is enough: the boot is ending
    }
  }
};

}  // namespace

void record_line(const std::string& path, int64_t boot_start_ns, const std::string& text) {
  FILE* f = fopen(path.c_str(), "a");
  if (!f) return;
  fprintf(f, "%.1f %s\n", static_cast<double>(monotonic_ns() - boot_start_ns) / 1e6, text.c_str());
  fclose(f);
}

void ipc_listener_main(int own_id, int64_t boot_start_ns, int ready_fd, int drain_fd, int ack_fd) {
  mkdir("/var/ipc", 0755);
  Listener l;
  l.boot_start_ns = boot_start_ns;
  l.drain_fd = drain_fd;
  l.ack_fd = ack_fd;
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
    (void)chmod(addr.sun_path, 0777);
    l.sockets.push_back({s, POLLIN, 0});
    l.ids.push_back(id);
  }
  char one = 1;
  (void)!write(ready_fd, &one, 1);
  close(ready_fd);
  for (;;) l.step();
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
