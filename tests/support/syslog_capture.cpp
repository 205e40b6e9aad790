#include "tests/support/syslog_capture.h"

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <future>

std::string LogLine::message() const {
  // "<name> pid<N>,tid<N>,l<N>: <message>"
  size_t at = text.find(",tid");
  if (at == std::string::npos) return text;
  size_t colon = text.find(": ", at);
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

LogLine parse_syslog_datagram(const std::string& raw) {
  LogLine line;
  size_t close = raw.find('>');
  if (raw.empty() || raw[0] != '<' || close == std::string::npos) {
    line.text = raw;
    return line;
  }
  int pri = atoi(raw.c_str() + 1);
  line.level = pri & 7;
  line.facility = pri >> 3;
  // "<pri>Mmm dd hh:mm:ss " then the identity (empty here) and ": "
  size_t body = close + 1 + 16;
  size_t sep = raw.find(": ", body > raw.size() ? raw.size() : body);
  line.text = sep == std::string::npos ? raw.substr(close + 1) : raw.substr(sep + 2);
  return line;
}

SyslogCapture::SyslogCapture(const char* path) : path_(path) {
  unlink(path);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) abort();
  int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  if (pipe(stop_pipe_) != 0) abort();
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
  (void)!write(stop_pipe_[1], "x", 1);
  thread_.join();
  close(fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  unlink(path_.c_str());
}

void SyslogCapture::run() {
  char buf[8192];
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents & POLLIN) {
      // Receive and file under one lock, so that lines() never sees the
      // socket empty while a received line is not filed yet.
      std::lock_guard<std::mutex> lock(mu_);
      ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) lines_.push_back(parse_syslog_datagram(std::string(buf, static_cast<size_t>(n))));
      continue;
    }
    if (fds[1].revents & POLLIN) return;
  }
}

std::vector<LogLine> SyslogCapture::lines() {
  // Datagrams already sent sit in the socket; give the reader a moment.
  for (int i = 0; i < 500; ++i) {
    int pending;
    {
      std::lock_guard<std::mutex> lock(mu_);
      pollfd p = {fd_, POLLIN, 0};
      pending = poll(&p, 1, 0);
    }
    if (pending <= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::lock_guard<std::mutex> lock(mu_);
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
