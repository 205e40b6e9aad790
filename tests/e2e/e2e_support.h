// Running the real program on the simulated phone and reading what the phone,
// a person and the other processes saw.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/files.h"

namespace e2e {

// Where things are, from the environment CTest gives the runner.
struct Paths {
  std::string simdev, romtool, program, faketime, work, source;
};
const Paths& paths();
std::string env_or(const char* name, const char* fallback);  // a variable of the environment

struct LogEntry {
  int level;            // 0 emerg .. 7 debug (-1: the program's prefix names another level)
  std::string message;  // the program's text as logged, after the "name pidN,tidN,lL: " prefix
};

struct IpcMessage {
  int type, param1, param2, sender;
  bool operator==(const IpcMessage&) const = default;
};

struct Boot {
  std::string root;
  std::string end;                     // "reboot", "exit N", "signal N", "timeout"
  std::vector<LogEntry> log;           // the program's lines (and a second program's)
  std::vector<IpcMessage> broadcasts;  // the messages id 1 received, in order
  std::vector<std::string> board;      // lines of /dev/misc0
  int reboot_requests = 0;
  int killapps_runs = 0;
  int frames = 0;

  // Lines whose whole text is the message as the phone's syslog daemon
  // writes it: line ends at its end dropped, the others turned into blanks.
  // Expected texts are written as the program composes them, line ends
  // included, and compared whole.
  bool logged(int level, const std::string& message) const;
  int count(const std::string& message) const;
  // Index of the first such line at or after `from`; -1 if none.
  int find(const std::string& message, int from = 0) const;
  std::string file(const std::string& path) const;  // a file of the root
  // LCD frame n (1 the first) as 480 x 272 grey pixels (0 dark, 255 light); empty if none.
  std::vector<uint8_t> frame(int n) const;
  bool exists(const std::string& path) const;
  // Values of the semaphore set with this key at the end of the boot, as
  // "v1,v2,..."; "" when there was no such set.
  std::string semaphore_values(unsigned key) const;
};

struct BootRequest {
  std::string name = "";                 // also the root's folder name
  std::string profile = "";              // profile text
  std::string rom_path = "";             // host ROM file installed as /data/rom.bin (may be empty)
  std::vector<std::string> options = {}; // more simdev boot options
  std::vector<std::string> command = {}; // empty: the program with /data/rom.bin
  int timeout = 120;
  bool fresh = true;                     // false: boot the root as the last boot left it
  std::string runner = "";               // empty: simdev; else a runner with its command line (simkernel)
};
Boot boot(const BootRequest& request);

// A layout that moves the environment (mtd3) and configuration (mtd4)
// partitions to the end of the applications' (mtd6), which shrinks to make
// room: on the one flash chip a partition written after the write-back must
// not cover the saved copies. The environment's new place lies in mtd8; no
// new place covers an old one. A ROM description's special entry.
extern const char kMovedLayout[];

// The typical phone's profile with textual edits (from, to) and extra text.
std::string profile(const std::vector<std::pair<std::string, std::string>>& edits, const std::string& extra);

// Builds a ROM with romtool from a description; options are romtool's.
std::string build_rom(const std::string& name, const std::string& description,
                      const std::vector<std::string>& options = {});

// Signs a ROM with romtool and tests/keys/private/release-KEY.pem; the
// signed image's path, "" on failure.
std::string sign_rom(const std::string& rom, const std::string& key);

// A golden picture of the screens (tests/golden/NAME.pbm) as grey pixels.
std::vector<uint8_t> golden(const std::string& name);

// The payload of the partition with this id in a ROM built with standard header sizes.
std::string payload_of(const std::string& rom, unsigned partition_id);

// "" when /dev/mtdN begins with its payload in the ROM (when written) and is
// erased beyond; else where it first differs.
std::string flash_difference(const Boot& b, const std::string& rom, unsigned id, bool written);

}  // namespace e2e
