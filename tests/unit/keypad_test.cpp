#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <string>
#include <vector>

#include "basicui/keypad.h"
#include "log/rl_log.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

// Every usleep of this process sleeps for real and, while asked to, is noted.
std::vector<useconds_t> g_sleeps;
bool g_note_sleeps = false;

extern "C" int usleep(useconds_t us) {
  if (g_note_sleeps) g_sleeps.push_back(us);
  struct timespec ts = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
  return nanosleep(&ts, nullptr);
}

namespace {

const char kDevice[] = "/dev/input/event0";

// One event as the 32-bit target's kernel lays it out (little-endian).
std::string event(uint16_t type, uint16_t code, int32_t value) {
  std::string e(16, '\0');
  auto put = [&](int at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) e[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  put(0, 1700000000u, 4);
  put(4, 123456u, 4);
  put(8, type, 2);
  put(10, code, 2);
  put(12, static_cast<uint32_t>(value), 4);
  return e;
}
std::string press(uint16_t code) { return event(1, code, 1); }
std::string release(uint16_t code) { return event(1, code, 0); }
// A synchronisation event closes every burst: once the reader has taken it
// from the pipe, it has handled everything before it.
std::string sync_event() { return event(0, 0, 0); }

class Keypad {
 public:
  Keypad() {
    unlink(kDevice);
    if (mkfifo(kDevice, 0600) == 0) fd_ = open(kDevice, O_RDWR);
  }
  ~Keypad() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  // Writes the bytes and waits until the reader has drained the pipe.
  bool send(const std::string& bytes) {
    if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return false;
    for (int i = 0; i < 5000; ++i) {
      int pending = 0;
      if (ioctl(fd_, FIONREAD, &pending) != 0) return false;
      if (pending == 0) return true;
      usleep(1000);
    }
    return false;
  }

 private:
  int fd_ = -1;
};

int thread_count() {
  std::string status = read_file("/proc/self/status");
  size_t at = status.find("Threads:");
  return at == std::string::npos ? -1 : atoi(status.c_str() + at + 8);
}

// Waits until the process is back to the threads it had before the reader
// (an emulator may keep threads of its own).
bool wait_for_threads(int count) {
  for (int i = 0; i < 5000; ++i) {
    if (thread_count() == count) return true;
    usleep(1000);
  }
  return false;
}

int result() { return ::testing::Test::HasFailure() ? 1 : 0; }

// Waits until the capture's thread has started and gone idle: a fork while
// it is still setting itself up (allocating) would hand the child a locked
// allocator under the sanitizers.
void settle(SyslogCapture& cap) {
  for (int i = 0; i < 5000 && !cap.has("keypad test sync\n"); ++i) {
    if (i % 500 == 0) rl_log_debug("keypad test sync\n");
    usleep(1000);
  }
  cap.clear();
}

TEST(Keypad, ParsesTheTargetLayout) {
  std::string e = event(0x0001, 0x0123, -2);
  kpad_event ev = kpad_parse_event(reinterpret_cast<const uint8_t*>(e.data()));
  EXPECT_EQ(0x0001, ev.type);
  EXPECT_EQ(0x0123, ev.code);
  EXPECT_EQ(-2, ev.value);
}

TEST(Keypad, PressReleaseAndRepeat) {
  EXPECT_EQ(0, run_in_child([] {
    Keypad pad;
    EXPECT_TRUE(pad.ok());
    EXPECT_EQ(0, key_get_keypressed());  // starts the reader
    EXPECT_TRUE(pad.send(press(35) + release(35) + sync_event()));
    EXPECT_EQ(35, key_get_keypressed());
    EXPECT_EQ(0, key_get_keypressed());
    EXPECT_TRUE(pad.send(press(5) + sync_event()));
    EXPECT_EQ(5, key_get_keypressed());
    EXPECT_TRUE(pad.send(event(1, 5, 2) + event(1, 5, 2) + release(5) + sync_event()));
    EXPECT_EQ(0, key_get_keypressed());  // auto-repeat does not repeat the key
    EXPECT_TRUE(pad.send(event(4, 17, 1) + sync_event()));
    EXPECT_EQ(17, key_get_keypressed());  // the event type is not examined
    return result();
  }));
}

// The first request starts the reader and gives it half a second to open
// the device, so that a key pressed right away is not lost; later requests
// answer at once.
TEST(Keypad, FirstRequestWaitsHalfASecondForTheReader) {
  EXPECT_EQ(0, run_in_child([] {
    Keypad pad;
    g_note_sleeps = true;
    EXPECT_EQ(0, key_get_keypressed());
    EXPECT_EQ(std::vector<useconds_t>{500000}, g_sleeps);
    g_sleeps.clear();
    EXPECT_EQ(0, key_get_keypressed());
    EXPECT_EQ(std::vector<useconds_t>{}, g_sleeps);
    return result();
  }));
}

TEST(Keypad, TwoPressesWithinOnePollKeepTheLast) {
  EXPECT_EQ(0, run_in_child([] {
    Keypad pad;
    EXPECT_EQ(0, key_get_keypressed());
    EXPECT_TRUE(pad.send(press(2) + release(2) + press(3) + release(3) + sync_event()));
    EXPECT_EQ(3, key_get_keypressed());
    EXPECT_EQ(0, key_get_keypressed());
    return result();
  }));
}

TEST(Keypad, ShortReadIsNoKey) {
  SyslogCapture cap;
  settle(cap);
  EXPECT_EQ(0, run_in_child([] {
    Keypad pad;
    EXPECT_EQ(0, key_get_keypressed());
    EXPECT_TRUE(pad.send(press(9).substr(0, 8)));
    EXPECT_TRUE(pad.send(press(4) + sync_event()));
    EXPECT_EQ(4, key_get_keypressed());
    return result();
  }));
  EXPECT_EQ(1, cap.count("kpad_thread no key read", 6));
}

TEST(Keypad, DeviceThatCannotBeOpened) {
  SyslogCapture cap;
  settle(cap);
  EXPECT_EQ(0, run_in_child([] {
    unlink(kDevice);
    int threads = thread_count();
    EXPECT_EQ(0, key_get_keypressed());
    EXPECT_TRUE(wait_for_threads(threads));  // the reader ended
    EXPECT_EQ(0, key_get_keypressed());
    return result();
  }));
  EXPECT_TRUE(cap.has("can't open /dev/input/event0.\n", 2));
}

// A stream that ends (or fails) ends the reader instead of spinning on it.
TEST(Keypad, EndOfStreamEndsTheReader) {
  SyslogCapture cap;
  settle(cap);
  EXPECT_EQ(0, run_in_child([] {
    unlink(kDevice);
    EXPECT_TRUE(write_file(kDevice, press(6) + release(6)));
    int threads = thread_count();
    int first = key_get_keypressed();
    EXPECT_TRUE(wait_for_threads(threads));
    int second = key_get_keypressed();
    EXPECT_EQ(6, first + second);
    EXPECT_EQ(0, first * second);
    EXPECT_EQ(0, key_get_keypressed());
    return result();
  }));
  EXPECT_EQ(1, cap.count("kpad_thread no key read", 6));
}

}  // namespace
