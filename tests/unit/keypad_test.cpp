#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "basicui/keypad.h"
#include "log/rl_log.h"
#include "tests/support/files.h"
#include "tests/support/panel.h"
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

std::string press(uint16_t code) { return key_event(1, code, 1); }
std::string release(uint16_t code) { return key_event(1, code, 0); }
std::string sync_event() { return key_event(0, 0, 0); }

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

// The reader's start, then bursts sent one after the other to it (it is
// started once per process), and the keys the screens then take from the
// mailbox.
TEST(Keypad, BurstsAndTheKeysTaken) {
  struct Row {
    const char* name;
    std::string bytes;
    std::vector<int> keys;
  };
  const std::vector<Row> rows = {
      {"press and release", press(35) + release(35) + sync_event(), {35, 0}},
      {"press alone", press(5) + sync_event(), {5}},
      {"auto-repeat does not repeat the key", key_event(1, 5, 2) + key_event(1, 5, 2) + release(5) + sync_event(),
       {0}},
      {"the event type is not examined", key_event(4, 17, 1) + sync_event(), {17}},
      {"two presses in one poll keep the last", press(2) + release(2) + press(3) + release(3) + sync_event(), {3, 0}},
      {"a short read is no key", press(9).substr(0, 8), {0}},
      {"and the next event reads whole", press(4) + sync_event(), {4}},
  };
  SyslogCapture cap;
  settle(cap);
  EXPECT_EQ(0, run_in_child([&] {
    KeypadPipe pad;
    // The first request starts the reader and gives it half a second to open
    // the device, so that a key pressed right away is not lost; later
    // requests answer at once.
    g_note_sleeps = true;
    EXPECT_EQ(0, key_get_keypressed());
    EXPECT_EQ(0, key_get_keypressed());
    g_note_sleeps = false;
    EXPECT_EQ(std::vector<useconds_t>{500000}, g_sleeps);
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      EXPECT_TRUE(pad.send(row.bytes));
      std::vector<int> keys;
      for (size_t i = 0; i < row.keys.size(); ++i) keys.push_back(key_get_keypressed());
      EXPECT_EQ(row.keys, keys);
    }
    return result();
  }));
  EXPECT_EQ(1, cap.count("kpad_thread no key read", 6));
}

// A device that cannot be opened, and a stream that ends, end the reader
// instead of spinning on it.
TEST(Keypad, ReaderEndsWithoutADeviceOrAtTheEndOfTheStream) {
  SyslogCapture cap;
  settle(cap);
  for (bool device : {false, true}) {
    SCOPED_TRACE(device);
    EXPECT_EQ(0, run_in_child([device] {
      unlink(kDevice);
      EXPECT_TRUE(!device || write_file(kDevice, press(6) + release(6)));
      int threads = thread_count();
      int first = key_get_keypressed();
      EXPECT_TRUE(wait_for_threads(threads));
      int second = key_get_keypressed();
      EXPECT_EQ(device ? 6 : 0, first + second);  // the press, taken once
      EXPECT_EQ(0, first * second);
      EXPECT_EQ(0, key_get_keypressed());
      return result();
    }));
  }
  EXPECT_TRUE(cap.has("can't open /dev/input/event0.\n", 2));
  EXPECT_EQ(1, cap.count("kpad_thread no key read", 6));
}

}  // namespace
