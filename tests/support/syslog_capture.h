// Receives what the program sends to syslog, inside the simulated root:
// binds /dev/log and collects every line with its priority.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct LogLine {
  int level = -1;     // priority 0..7
  int facility = -1;  // facility number (LOG_USER is 1)
  std::string text;   // the message as composed, without the syslog header
  // The caller's own text: `text` without the "name pidN,tidN,lN: " prefix.
  std::string message() const;
};

class SyslogCapture {
 public:
  SyslogCapture();
  ~SyslogCapture();

  // Lines received so far, every line sent before the call included.
  std::vector<LogLine> lines();
  void clear();
  // Messages (prefix removed) in order, at the given level or any level (-1).
  std::vector<std::string> messages(int level = -1);
  // True when some message equals `text` exactly, at `level` (or any, -1).
  bool has(const std::string& text, int level = -1);
  // Number of messages equal to `text`.
  int count(const std::string& text, int level = -1);

 private:
  void run();
  bool receive();
  int fd_ = -1;
  std::mutex mu_;
  std::vector<LogLine> lines_;
  std::thread thread_;
};
