// The simulated phone's LCD and keypad for tests: a G-type framebuffer file,
// the kernel files the LCD layer reads and writes, and the keypad device as a
// pipe the test writes input events into.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "lcd/lcd_device.h"
#include "tests/support/files.h"

// Lays out /proc/misc/hwver (a G-type panel, or the 4-bit one), /proc/glcd/refresh
// and /dev/fb0. True when every file was written.
inline bool make_simulated_panel(bool gtype = true) {
  mkdir("/proc/misc", 0755);
  mkdir("/proc/glcd", 0755);
  return write_file("/proc/misc/hwver", gtype ? "59.0.0.1.0.0.0.0\n" : "58.0.0.1.0.0.0.0\n") &&
         write_file("/proc/glcd/refresh", "") &&
         write_file("/dev/fb0", std::string(gtype ? LCD_FB_SIZE_GTYPE : LCD_FB_SIZE_4BIT, '\0'));
}

// The G-type panel laid out and the LCD layer started once for a whole test
// binary: ::testing::AddGlobalTestEnvironment(new StartedPanel).
class StartedPanel : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(make_simulated_panel());
    ASSERT_EQ(0, lcd_init());
  }
};

// One input event as the 32-bit target's kernel lays it out (little-endian):
// seconds, microseconds, type u16, code u16, value s32.
inline std::string key_event(uint16_t type, uint16_t code, int32_t value) {
  const uint32_t words[] = {1700000000u, 123456u, type | static_cast<uint32_t>(code) << 16,
                            static_cast<uint32_t>(value)};
  std::string e;
  for (uint32_t word : words)
    for (int i = 0; i < 4; ++i) e += static_cast<char>((word >> (8 * i)) & 0xFF);
  return e;
}

// /dev/input/event0 as a pipe. A synchronisation event closes every burst a
// test sends: once the reader has drained the pipe, it has handled the burst.
class KeypadPipe {
 public:
  KeypadPipe() {
    unlink("/dev/input/event0");
    if (mkfifo("/dev/input/event0", 0600) == 0) fd_ = open("/dev/input/event0", O_RDWR);
  }
  ~KeypadPipe() {
    if (fd_ >= 0) close(fd_);
  }
  KeypadPipe(const KeypadPipe&) = delete;
  KeypadPipe& operator=(const KeypadPipe&) = delete;
  // Writes the bytes and waits until the reader has drained the pipe and
  // `taken` (when given) holds.
  bool send(const std::string& bytes, const std::function<bool()>& taken = {}) {
    if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return false;
    for (int i = 0; i < 20000; ++i) {
      int pending = 0;
      if (ioctl(fd_, FIONREAD, &pending) != 0) return false;
      if (pending == 0 && (!taken || taken())) return true;
      usleep(500);
    }
    return false;
  }

 private:
  int fd_ = -1;
};
