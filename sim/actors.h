// The other processes of the phone, played by the simulator during a boot.
// Each runs as a child of the boot's init and records what it saw in a file
// under /sim/boot of the device root (times in milliseconds since the boot
// started).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sim {

struct KeyPress {
  double at = 0;       // seconds after the program started (real time)
  int code = 0;        // key code (35: the "Reboot" soft key)
  int value = -1;      // 1 press, 0 release, 2 repeat; -1: a press then a release
};

// Listens on /var/ipc/<id> for every id 1..12 except `own_id` and records
// each message to /sim/boot/ipc. Serves every connection at once, so that a
// stalled or trickling sender delays nobody; a connection ends when its
// sender closes it, stays quiet for two seconds, or after
// kConnectionLimitMs. Runs chrooted; writes one byte to ready_fd once every
// socket listens. When drain_fd becomes readable it accepts every connection
// still waiting, serves each to its end (at most kConnectionLimitMs more) and
// then answers with one byte on ack_fd, so that nothing sent before the end
// of a boot goes unrecorded. Never returns.
constexpr int64_t kConnectionLimitMs = 5000;
[[noreturn]] void ipc_listener_main(int own_id, int64_t boot_start_ns, int ready_fd, int drain_fd, int ack_fd);

// The configuration saver: at start_ns (CLOCK_MONOTONIC) takes the semaphore
// with key 0xB012 with a blocking wait with undo, writes one byte to
// ready_fd (-1: none), holds it for `hold_seconds`, releases it and ends.
// Records to /sim/boot/saver.
[[noreturn]] void saver_main(int64_t start_ns, double hold_seconds, int64_t boot_start_ns, int ready_fd);

// The keypad: writes 16-byte input events into /dev/input/event0 (a FIFO)
// at their times after program_start_ns. A press while nobody has the
// device open is lost, as on the phone, unless wait_for_reader is set.
// Records every press to /sim/boot/keys.
[[noreturn]] void keypad_main(const std::vector<KeyPress>& keys, bool wait_for_reader, int64_t boot_start_ns,
                              int64_t program_start_ns);

// Parses "SECONDS CODE [VALUE]". false when malformed.
bool parse_key(const std::string& text, KeyPress* out);

void record_line(const std::string& path, int64_t boot_start_ns, const std::string& text);

}  // namespace sim
