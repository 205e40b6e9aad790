#include "tests/support/syslog_capture.h"

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <future>

std::string LogLine::message() const {
  // "<name> pid<N>,tid<N>,l<N>: <message>"
  size_t at = text.find(",tid");
  if (at == std::string::npos) return text;
  size_t colon = text.find(": ", at);
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

namespace {

constexpr char kPath[] = "/dev/log";

// What glibc sends: "<pri>Mmm dd hh:mm:ss ", the identity (empty here), ": "
// and the text.
LogLine parse_syslog_datagram(const std::string& raw) {
  LogLine line;
  int pri = atoi(raw.c_str() + 1);
  line.level = pri & 7;
  line.facility = pri >> 3;
  size_t sep = raw.find(": ", raw.find('>') + 1 + 16);
  line.text = sep == std::string::npos ? raw : raw.substr(sep + 2);
  return line;
}

}  // namespace

SyslogCapture::SyslogCapture() {
  unlink(kPath);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, kPath, sizeof addr.sun_path - 1);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) abort();
  int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  // Tests fork right after this: return only once the reader is up and
  // waiting, never while it is still starting (allocating).
  std::promise<void> started;
  std::future<void> up = started.get_future();
  thread_ = std::thread([this, &started] {
    started.set_value();
    run();
  });
  up.wait();
}

SyslogCapture::~SyslogCapture() {
  shutdown(fd_, SHUT_RDWR);  // wakes the reader for good
  thread_.join();
  close(fd_);
  unlink(kPath);
}

void SyslogCapture::run() {
  for (;;) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (!receive() && (p.revents & POLLHUP)) return;  // shut down, and nothing left to read
  }
}

// Receives and files one datagram under mu_, so that lines() never sees the
// socket empty while a received line is not filed yet.
bool SyslogCapture::receive() {
  char buf[8192];
  ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
  if (n <= 0) return false;
  lines_.push_back(parse_syslog_datagram(std::string(buf, static_cast<size_t>(n))));
  return true;
}

std::vector<LogLine> SyslogCapture::lines() {
  std::lock_guard<std::mutex> lock(mu_);
  // What was sent and the reader has not taken yet.
  while (receive()) {
  }
  return lines_;
}

void SyslogCapture::clear() {
  lines();
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

std::vector<std::string> SyslogCapture::messages(int level) {
  std::vector<std::string> out;
  for (const LogLine& l : lines())
    if (level < 0 || l.level == level) out.push_back(l.message());
  return out;
}

bool SyslogCapture::has(const std::string& text, int level) { return count(text, level) > 0; }

int SyslogCapture::count(const std::string& text, int level) {
  int n = 0;
  for (const std::string& m : messages(level))
    if (m == text) ++n;
  return n;
}
