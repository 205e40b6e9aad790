#include "tests/e2e/e2e_support.h"

#include "tests/support/pbm.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace e2e {

std::string env_or(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return v ? v : fallback;
}

namespace {

int level_of(const std::string& name) {
  const char* names[] = {"emerg", "alert", "crit", "err", "warn", "notice", "info", "debug"};
  for (int i = 0; i < 8; ++i)
    if (name.compare(0, strlen(names[i]), names[i]) == 0) return i;
  return -1;
}

// "Dec  6 10:39:01 phone user.debug : upgrader pid5,tid5,l7: text". The
// program's prefix is checked for its shape and level; the text after it is
// kept as the log has it, blanks included.
bool parse_log_line(const std::string& line, LogEntry* out) {
  size_t dot = line.find(" user.");
  if (dot == std::string::npos) return false;
  size_t colon = line.find(" : ", dot);
  if (colon == std::string::npos) return false;
  out->level = level_of(line.substr(dot + 6, colon - dot - 6));
  std::string text = line.substr(colon + 3);
  int pid = 0, tid = 0, level = -1, used = 0;
  char name[32] = "";
  // (A blank in a scanf format would eat the text's own leading blanks.)
  if (sscanf(text.c_str(), "%31s pid%d,tid%d,l%d:%n", name, &pid, &tid, &level, &used) != 4 || used == 0 ||
      text.compare(static_cast<size_t>(used), 1, " ") != 0)
    return false;
  if (level != out->level) out->level = -1;  // the prefix names another level than syslog got
  out->message = text.substr(static_cast<size_t>(used) + 1);
  return true;
}

int field(const std::string& line, const char* key) {
  size_t at = line.find(key);
  return at == std::string::npos ? -999 : atoi(line.c_str() + at + strlen(key));
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string as_logged(const std::string& text) {
  std::string out = text;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  for (char& c : out)
    if (c == '\n') c = ' ';
  return out;
}

}  // namespace

const char kMovedLayout[] =
    "\n[partition]\nspecial = mtd_config\ntext = [mtd]\\n"
    "mtd0 = 0x90130000,0x90330000\\nmtd1 = 0x90030000,0x90130000\\nmtd2 = 0x90000000,0x90020000\\n"
    "mtd3 = 0x907e0000,0x907f0000\\nmtd4 = 0x90700000,0x90780000\\nmtd5 = 0x903b0000,0x904b0000\\n"
    "mtd6 = 0x904b0000,0x90700000\\nmtd7 = 0x907b0000,0x907d0000\\nmtd8 = 0x907d0000,0x907f0000\\n"
    "mtd9 = 0x907f0000,0x90800000\\n\n";

const Paths& paths() {
  static Paths p = {env_or("UPG_SIMDEV", ""),  env_or("UPG_ROMTOOL", ""), env_or("UPG_PROGRAM", ""),
                    env_or("UPG_FAKETIME", ""), env_or("UPG_E2E_WORK", "/tmp/e2e"),
                    env_or("UPG_SOURCE_DIR", ".")};
  return p;
}

bool Boot::logged(int level, const std::string& message) const {
  for (const LogEntry& e : log)
    if (e.level == level && e.message == as_logged(message)) return true;
  return false;
}

int Boot::count(const std::string& message) const {
  int n = 0;
  for (const LogEntry& e : log) n += e.message == as_logged(message);
  return n;
}

int Boot::find(const std::string& message, int from) const {
  for (size_t i = static_cast<size_t>(from); i < log.size(); ++i)
    if (log[i].message == as_logged(message)) return static_cast<int>(i);
  return -1;
}

std::string Boot::file(const std::string& path) const { return ::read_file(root + path); }

// A frame is a copy of the G-type panel's framebuffer: 16 bits a pixel,
// 0x0000 dark and 0xFFFF light.
std::vector<uint8_t> Boot::frame(int n) const {
  if (n < 1 || n > frames) return {};
  char name[64];
  snprintf(name, sizeof name, "/sim/boot/frames/frame-%04d.fb", n);
  std::string fb = file(name);
  const size_t pixels = 480 * 272;
  if (fb.size() < pixels * 2) return {};
  std::vector<uint8_t> grey(pixels);
  for (size_t i = 0; i < pixels; ++i) grey[i] = (fb[2 * i] == 0 && fb[2 * i + 1] == 0) ? 0 : 255;
  return grey;
}

std::vector<uint8_t> golden(const std::string& name) {
  int w = 0, h = 0;
  std::vector<uint8_t> pixels = pbm_read(paths().source + "/tests/golden/" + name + ".pbm", &w, &h);
  return w == 480 && h == 272 ? pixels : std::vector<uint8_t>{};
}

bool Boot::exists(const std::string& path) const {
  struct stat st;
  return lstat((root + path).c_str(), &st) == 0;
}

// /sim/boot/sysvipc lines: "sem key=0x0000b012 id=3 values=0".
std::string Boot::semaphore_values(unsigned key) const {
  char prefix[32];
  snprintf(prefix, sizeof prefix, "sem key=0x%08x ", key);
  for (const std::string& line : lines_of(file("/sim/boot/sysvipc"))) {
    size_t values = line.find(" values=");
    if (line.rfind(prefix, 0) == 0 && values != std::string::npos) return line.substr(values + 8);
  }
  return "";
}

std::string profile(const std::vector<std::pair<std::string, std::string>>& edits, const std::string& extra) {
  std::string text = read_file(paths().source + "/sim/profiles/typical.ini");
  for (const auto& [from, to] : edits) {
    size_t at = text.find(from);
    if (at == std::string::npos) abort();  // a scenario edits a line the profile does not have
    text.replace(at, from.size(), to);
  }
  return text + "\n" + extra;
}

std::string build_rom(const std::string& name, const std::string& description, const std::vector<std::string>& options) {
  std::string dir = paths().work + "/roms";
  mkdir(paths().work.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  std::string desc = dir + "/" + name + ".desc", rom = dir + "/" + name + ".rom";
  write_file(desc, description);
  std::vector<std::string> argv = {paths().romtool, "build", desc, rom};
  argv.insert(argv.end(), options.begin(), options.end());
  if (run_argv(argv) != 0) return "";
  return rom;
}

std::string sign_rom(const std::string& rom, const std::string& key) {
  std::string out = rom + ".signed-" + key;
  std::string pem = paths().source + "/tests/keys/private/release-" + key + ".pem";
  return run_argv({paths().romtool, "sign", rom, pem, out}) == 0 ? out : "";
}

std::string payload_of(const std::string& rom, unsigned partition_id) {
  std::string image = read_file(rom);
  if (image.size() < 140) return "";
  uint32_t count;
  memcpy(&count, image.data() + 0x14, 4);
  for (uint32_t i = 0; i < count && 140 + 44 * (i + 1) <= image.size(); ++i) {
    uint32_t h[11];
    memcpy(h, image.data() + 140 + 44 * i, sizeof h);
    if (h[6] == partition_id && static_cast<uint64_t>(h[10]) + h[8] <= image.size())
      return image.substr(h[10], h[8]);
  }
  return "";
}

std::string flash_difference(const Boot& b, const std::string& rom, unsigned id, bool written) {
  std::string name = "mtd" + std::to_string(id), flash = b.file("/dev/" + name);
  std::string payload = written ? payload_of(rom, id) : "";
  if (flash.size() < payload.size() || (written && payload.empty())) return name + " or its payload is missing";
  auto [at, in_payload] = std::mismatch(payload.begin(), payload.end(), flash.begin());
  if (at != payload.end()) return name + " differs from its payload at " + std::to_string(at - payload.begin());
  size_t erased = flash.find_first_not_of('\xff', payload.size());
  return erased == std::string::npos ? "" : name + " is not erased at " + std::to_string(erased);
}

Boot boot(const BootRequest& r) {
  Boot b;
  b.root = paths().work + "/" + r.name;
  std::string profile_path = paths().work + "/" + r.name + ".ini";
  write_file(profile_path, r.profile);
  std::vector<std::string> argv = {r.runner.empty() ? paths().simdev : r.runner, "boot", "--root", b.root, "--profile", profile_path,
                                   "--report", b.root + ".report", "--program", paths().program,
                                   "--timeout", std::to_string(r.timeout)};
  if (r.fresh) argv.push_back("--fresh");
  if (!r.rom_path.empty()) argv.insert(argv.end(), {"--install", r.rom_path + ":/data/rom.bin"});
  // The program's sleeps pass twenty times faster; its tools' are not affected.
  if (!paths().faketime.empty())
    argv.insert(argv.end(), {"--env", "LD_PRELOAD=" + paths().faketime, "--env", "FAKETIME=+0 x20"});
  // More of the program's environment, e.g. the sanitizer's options.
  std::string extra_env = env_or("UPG_PROGRAM_ENV", "");
  if (!extra_env.empty()) argv.insert(argv.end(), {"--env", extra_env});
  argv.insert(argv.end(), r.options.begin(), r.options.end());
  argv.push_back("--");
  const std::vector<std::string> plain = {"/basic/bin/upgrader", "/data/rom.bin"};
  const std::vector<std::string>& command = r.command.empty() ? plain : r.command;
  argv.insert(argv.end(), command.begin(), command.end());
  (void)run_argv(argv);  // how the boot ended is in its result file

  for (const std::string& line : lines_of(b.file("/sim/boot/result")))
    if (line.compare(0, 4, "end ") == 0) b.end = line.substr(4);
  for (const std::string& line : lines_of(b.file("/sim/boot/messages"))) {
    LogEntry e;
    if (parse_log_line(line, &e)) b.log.push_back(e);
  }
  for (const std::string& line : lines_of(b.file("/sim/boot/ipc"))) {
    if (field(line, " to=") != 1) continue;
    b.broadcasts.push_back({field(line, " type="), field(line, " p1="), field(line, " p2="), field(line, " sender=")});
  }
  b.board = lines_of(b.file("/dev/misc0"));
  for (const std::string& line : lines_of(b.file("/sim/boot/reboot")))
    b.reboot_requests += line.size() >= 7 && line.compare(line.size() - 7, 7, " reboot") == 0;
  b.killapps_runs = static_cast<int>(lines_of(b.file("/sim/boot/killapps")).size());
  b.frames = static_cast<int>(lines_of(b.file("/sim/boot/frames/index")).size());
  return b;
}

}  // namespace e2e
