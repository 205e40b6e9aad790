#include "sim/report.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "common/unique_fd.h"
#include "hostlib/fbpng.h"
#include "sim/chip.h"
#include "sim/envstore.h"
#include "sim/profile.h"
#include "sim/rootfs.h"
#include "sim/sha256.h"
#include "sim/sysvipc.h"

namespace sim {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kWidth = 480;
constexpr int kHeight = 272;
constexpr size_t kMaxRecord = 256u * 1024 * 1024;

// The records are files of the root, read inside it (sim/rootfs.h): a link
// the phone left there cannot bring a host file into the report.
bool exists(const std::string& root, const std::string& path) {
  struct stat st;
  return rootfs_lstat(root, path, &st) == 0;
}

bool read_root_text(const std::string& root, const std::string& path, std::string* out) {
  return rootfs_read(root, path, kMaxRecord, out) == 0;
}

int write_file(const std::string& path, const std::string& text, std::string* error) {
  FILE* f = fopen(path.c_str(), "w");
  bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && fclose(f) != 0) ok = false;
  if (ok) return 0;
  if (error) *error = path + ": cannot be written";
  return -1;
}

std::vector<std::string> read_lines(const std::string& root, const std::string& path) {
  std::vector<std::string> lines;
  std::string text;
  if (!read_root_text(root, path, &text)) return lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string fmt_ms(double ms) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.3f", ms / 1000.0);
  return buf;
}

// The records' times are milliseconds from the boot's start, for as long as
// a boot may last (a day): read with the seconds' rule, not their bound.
constexpr double kMaxRecordMs = kMaxSeconds * 1000;

double ms_or_zero(const std::string& text) {
  double v = 0;
  return parse_decimal(text, kMaxRecordMs, &v) ? v : 0;
}

// "<time> rest" lines of the boot's records.
struct Timed {
  double ms = 0;
  std::string text;
};

std::vector<Timed> read_timed(const std::string& root, const std::string& path) {
  std::vector<Timed> out;
  for (const std::string& line : read_lines(root, path)) {
    size_t sp = line.find(' ');
    out.push_back(Timed{ms_or_zero(line.substr(0, sp)), sp == std::string::npos ? "" : line.substr(sp + 1)});
  }
  return out;
}

// "key=value" words of a record line.
std::map<std::string, std::string> fields(const std::string& text) {
  std::map<std::string, std::string> out;
  for (const std::string& w : split_words(text)) {
    size_t eq = w.find('=');
    if (eq != std::string::npos) out[w.substr(0, eq)] = w.substr(eq + 1);
  }
  return out;
}

const char* const kLevelNames[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};

int level_of(const std::string& name) {
  if (name == "warn") return 4;
  if (name == "panic") return 0;
  if (name == "error") return 3;
  for (int i = 0; i < 8; ++i)
    if (name == kLevelNames[i]) return i;
  return -1;
}

struct LogEntry {
  std::string time;  // the daemon's clock, hh:mm:ss
  std::string facility;
  int level = -1;
  std::string text;
};

// busybox syslogd lines: "Mmm dd hh:mm:ss host facility.level text".
bool parse_log_line(const std::string& line, LogEntry* e) {
  if (line.size() < 16) return false;
  e->time = line.substr(7, 8);
  size_t host_end = line.find(' ', 16);
  if (host_end == std::string::npos) return false;
  size_t fp_end = line.find(' ', host_end + 1);
  std::string fp = line.substr(host_end + 1, fp_end == std::string::npos ? std::string::npos : fp_end - host_end - 1);
  size_t dot = fp.find('.');
  if (dot == std::string::npos) return false;
  e->facility = fp.substr(0, dot);
  e->level = level_of(fp.substr(dot + 1));
  e->text = fp_end == std::string::npos ? "" : line.substr(fp_end + 1);
  // A sender that gave no identity shows as ": text".
  if (e->text.rfind(": ", 0) == 0) e->text = e->text.substr(2);
  // The daemon's own lines and the simulator's end-of-boot marker.
  return e->facility != "syslog" && e->text.rfind("simdev-flush:", 0) != 0;
}

std::vector<LogEntry> read_log(const std::string& root, const std::string& path) {
  std::vector<LogEntry> out;
  for (const std::string& line : read_lines(root, path)) {
    LogEntry e;
    if (parse_log_line(line, &e)) out.push_back(e);
  }
  return out;
}

struct Frame {
  int number = 0;
  double ms = 0;
  std::string sha256;
  std::string png;   // file name under frames/
  bool same_as_previous = false;
  std::vector<unsigned char> grey;
};

// A partition window on the flash chip: "mtd3 0x90010000 0x10000".
struct Window {
  std::string line;
  std::string name;
  bool well_formed = false;
  unsigned long long start = 0, size = 0;
};

// Whether the end-of-boot semaphore table can be shown.
enum class IpcState { recorded, power_cut, not_recorded, unreadable };

const char* ipc_state_name(IpcState s) {
  switch (s) {
    case IpcState::recorded: return "recorded";
    case IpcState::power_cut: return "power cut";
    case IpcState::not_recorded: return "not recorded";
    case IpcState::unreadable: return "unreadable";
  }
  return "?";
}

// Everything the boot left in the root, gathered before anything is written.
struct Records {
  std::string end = "unknown";
  double program_start_ms = 0, end_ms = 0;
  long max_rss_kb = -1;
  std::optional<int> recorded_status;  // "status N" of the result record
  std::vector<Timed> reboots, ipc, keys, saver, second, env_writes;
  std::vector<LogEntry> log;
  int killapps_runs = 0;
  std::string console;
  std::vector<std::string> board;
  std::vector<std::pair<std::string, std::string>> remaps;
  std::vector<Frame> frames;
  bool sheet = false;
  IpcState ipc_state = IpcState::not_recorded;
  SysvState sysv;
  // The flash chip's records: absent files leave them unset.
  std::optional<std::vector<Window>> windows_before, windows_after;
  std::optional<std::vector<std::pair<std::string, std::string>>> flash_time;
  std::optional<std::string> cut;
};

const char kBootDir[] = "/sim/boot";

void gather_result(const std::string& root, Records* r) {
  for (const std::string& line : read_lines(root, std::string(kBootDir) + "/result")) {
    if (line.rfind("end_ms ", 0) == 0) r->end_ms = ms_or_zero(line.substr(7));
    else if (line.rfind("max_rss_kb ", 0) == 0) r->max_rss_kb = atol(line.c_str() + 11);
    else if (line.rfind("end ", 0) == 0) r->end = line.substr(4);
    else if (line.rfind("program_start_ms ", 0) == 0) r->program_start_ms = ms_or_zero(line.substr(17));
    else if (line.rfind("status ", 0) == 0) r->recorded_status = atoi(line.c_str() + 7);
  }
}

void gather_frames(const std::string& root, Records* r) {
  const std::string boot = kBootDir;
  std::string previous;
  for (const std::string& line : read_lines(root, boot + "/frames/index")) {
    Frame f;
    if (sscanf(line.c_str(), "%d %lf", &f.number, &f.ms) != 2 || f.number < 0 || f.number > 9999) continue;
    char name[64];
    snprintf(name, sizeof name, "frame-%04d", f.number);
    std::string fb;
    if (!read_root_text(root, boot + "/frames/" + name + ".fb", &fb)) continue;
    f.sha256 = sha256_hex(fb);
    f.same_as_previous = f.sha256 == previous;
    previous = f.sha256;
    if (frame_to_grey(fb, &f.grey)) f.png = std::string(name) + ".png";
    r->sheet = r->sheet || !f.grey.empty();
    r->frames.push_back(std::move(f));
  }
}

// A power cut leaves no semaphore or segment behind: there is nothing to show.
void gather_sysv(const std::string& root, Records* r) {
  std::string text;
  if (r->cut) r->ipc_state = IpcState::power_cut;
  else if (!read_root_text(root, std::string(kBootDir) + "/sysvipc", &text)) r->ipc_state = IpcState::not_recorded;
  else r->ipc_state = sysv_parse(text, &r->sysv) == 0 ? IpcState::recorded : IpcState::unreadable;
}

std::optional<std::vector<Window>> gather_windows(const std::string& root, const std::string& path) {
  if (!exists(root, path)) return std::nullopt;
  std::vector<Window> out;
  for (const std::string& line : read_lines(root, path)) {
    Window w;
    w.line = line;
    std::vector<std::string> words = split_words(line);
    if (!words.empty()) w.name = words[0];
    w.well_formed = words.size() == 3 && parse_size(words[1], &w.start) && parse_size(words[2], &w.size);
    out.push_back(w);
  }
  return out;
}

// "erases N", "writes N", "erase_ms X", "program_ms X", "total_ms X".
std::optional<std::vector<std::pair<std::string, std::string>>> gather_flash_time(const std::string& root, const std::string& path) {
  if (!exists(root, path)) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& line : read_lines(root, path)) {
    std::vector<std::string> w = split_words(line);
    if (!w.empty()) out.emplace_back(w[0], w.size() == 2 ? w[1] : "");
  }
  return out;
}

void gather_chip(const std::string& root, Records* r) {
  const std::string boot = kBootDir;
  r->windows_before = gather_windows(root, boot + "/windows-before");
  r->windows_after = gather_windows(root, boot + "/windows-after");
  r->flash_time = gather_flash_time(root, boot + "/flash");
  if (exists(root, boot + "/cut")) {
    std::vector<std::string> lines = read_lines(root, boot + "/cut");
    r->cut = lines.empty() ? std::string() : trim(lines[0]);
  }
}

Records gather(const std::string& root) {
  const std::string boot = kBootDir;
  Records r;
  gather_result(root, &r);
  r.reboots = read_timed(root, boot + "/reboot");
  r.log = read_log(root, boot + "/messages");
  r.ipc = read_timed(root, boot + "/ipc");
  r.keys = read_timed(root, boot + "/keys");
  r.saver = read_timed(root, boot + "/saver");
  r.second = read_timed(root, boot + "/second");
  r.env_writes = read_timed(root, boot + "/env-writes");
  r.killapps_runs = static_cast<int>(read_lines(root, boot + "/killapps").size());
  (void)read_root_text(root, boot + "/console", &r.console);
  for (const std::string& line : read_lines(root, "/dev/misc0"))
    if (line.rfind("fail ", 0) != 0) r.board.push_back(line);
  for (int i = 0; i <= 9; ++i)
    for (const std::string& line : read_lines(root, "/dev/mtd" + std::to_string(i) + ".log"))
      r.remaps.emplace_back("mtd" + std::to_string(i), line);
  gather_frames(root, &r);
  gather_chip(root, &r);
  gather_sysv(root, &r);
  return r;
}

void fill_rect(std::vector<unsigned char>* img, int width, int x0, int y0, const std::vector<unsigned char>& src) {
  for (int y = 0; y < kHeight; ++y)
    memcpy(img->data() + static_cast<size_t>(y0 + y) * width + x0, src.data() + static_cast<size_t>(y) * kWidth, kWidth);
}

// The distinct frames in order, four to a row, on a grey sheet.
int write_sheet(const std::string& path, const std::vector<Frame>& frames) {
  std::vector<const Frame*> shown;
  for (const Frame& f : frames)
    if (!f.same_as_previous && !f.grey.empty()) shown.push_back(&f);
  if (shown.empty()) return 0;
  const int gap = 8, cols = shown.size() < 4 ? static_cast<int>(shown.size()) : 4;
  const int rows = static_cast<int>((shown.size() + 3) / 4);
  const int width = cols * (kWidth + gap) + gap, height = rows * (kHeight + gap) + gap;
  std::vector<unsigned char> img(static_cast<size_t>(width) * height, 128);
  for (size_t i = 0; i < shown.size(); ++i)
    fill_rect(&img, width, gap + static_cast<int>(i % 4) * (kWidth + gap), gap + static_cast<int>(i / 4) * (kHeight + gap),
              shown[i]->grey);
  return write_grey_png(path, img.data(), width, height);
}

int write_pictures(const std::string& dir, const Records& r, std::string* error) {
  for (const Frame& f : r.frames) {
    if (f.png.empty() || write_grey_png(dir + "/frames/" + f.png, f.grey.data(), kWidth, kHeight) == 0) continue;
    if (error) *error = dir + "/frames/" + f.png + ": cannot be written";
    return -1;
  }
  if (r.sheet && write_sheet(dir + "/frames.png", r.frames) != 0) {
    if (error) *error = dir + "/frames.png: cannot be written";
    return -1;
  }
  return 0;
}

bool changed(const FlashState& a, const FlashState& b) { return a.sha256 != b.sha256 || a.size != b.size; }

const FlashState& before_of(const ReportInput& in, size_t i) {
  return i < in.before.flash.size() ? in.before.flash[i] : in.after.flash[i];
}

std::string hex(unsigned long long v, int width = 0) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%0*llx", width, v);
  return buf;
}

// --- Text for a person ---

void text_timed(std::ostringstream& t, const char* title, const std::vector<Timed>& records) {
  if (records.empty()) return;
  t << "\n" << title << ":\n";
  for (const Timed& s : records) t << "  " << fmt_ms(s.ms) << " s " << s.text << "\n";
}

void text_flash(std::ostringstream& t, const ReportInput& in, const Records& r) {
  t << "\nFlash:\n";
  for (size_t i = 0; i < in.after.flash.size(); ++i) {
    const FlashState& a = in.after.flash[i];
    const FlashState& b = before_of(in, i);
    if (a.size < 0 && b.size < 0) continue;
    t << "  " << a.name << " " << a.size << " bytes sha256 " << a.sha256.substr(0, 16)
      << (changed(a, b) ? "  CHANGED (was " + b.sha256.substr(0, 16) + ")" : "  unchanged") << "\n";
  }
  for (const auto& m : r.remaps) t << "  " << m.first << " " << m.second << "\n";
  auto windows = [&t](const char* title, const std::optional<std::vector<Window>>& list) {
    if (!list) return;
    t << "  partition windows " << title << ":\n";
    for (const Window& w : *list)
      t << "    " << (w.well_formed ? w.name + " at " + hex(w.start, 8) + ", " + hex(w.size) + " bytes" : w.line + "  (unreadable)")
        << "\n";
  };
  windows("before", r.windows_before);
  windows("after", r.windows_after);
  if (r.flash_time) {
    t << "  modelled flash time:";
    for (const auto& [key, value] : *r.flash_time) t << " " << key << " " << value;
    t << "\n";
  }
}

void text_env(std::ostringstream& t, const ReportInput& in, const Records& r) {
  t << "\nEnvironment (before -> after):\n";
  auto find = [](const EnvList& env, const std::string& name, std::string* value) {
    for (const auto& kv : env)
      if (kv.first == name) {
        *value = kv.second;
        return true;
      }
    return false;
  };
  for (const auto& kv : in.after.env) {
    std::string old;
    if (!find(in.before.env, kv.first, &old)) t << "  + " << kv.first << " " << kv.second << "\n";
    else if (old != kv.second) t << "  * " << kv.first << " " << old << " -> " << kv.second << "\n";
    else t << "    " << kv.first << " " << kv.second << "\n";
  }
  for (const auto& kv : in.before.env) {
    std::string now;
    if (!find(in.after.env, kv.first, &now)) t << "  - " << kv.first << " " << kv.second << "\n";
  }
  for (const Timed& w : r.env_writes) t << "  written at " << fmt_ms(w.ms) << " s: " << w.text << "\n";
}

void text_sysv(std::ostringstream& t, const Records& r) {
  t << "\nSemaphores and shared memory at the end of the boot:\n";
  if (r.ipc_state == IpcState::power_cut) {
    t << "  none to show: the power was cut, and no semaphore or segment outlives it\n";
    return;
  }
  if (r.ipc_state != IpcState::recorded) {
    t << "  " << ipc_state_name(r.ipc_state) << "\n";
    return;
  }
  for (const SemSet& s : r.sysv.sems) {
    t << "  semaphore set key " << hex(static_cast<uint32_t>(s.key), 8) << " id " << s.id << " values";
    for (int v : s.values) t << " " << v;
    t << "\n";
  }
  for (const ShmSegment& m : r.sysv.shms)
    t << "  segment key " << hex(static_cast<uint32_t>(m.key), 8) << " id " << m.id << " size " << m.size << " attached "
      << m.attached << "\n";
  if (r.sysv.sems.empty() && r.sysv.shms.empty()) t << "  none\n";
}

std::string format_text(const ReportInput& in, const Records& r) {
  std::ostringstream t;
  t << "Boot of " << in.root << "\n";
  std::string cmd;
  for (const std::string& a : in.command) cmd += (cmd.empty() ? "" : " ") + a;
  t << "command: " << cmd << "\n";
  t << "program started at " << fmt_ms(r.program_start_ms) << " s; boot ended at " << fmt_ms(r.end_ms) << " s: " << r.end
    << "\n";
  if (r.cut) t << "POWER CUT at " << *r.cut << "\n";
  if (!in.status_known) t << "simdev's status: not recorded\n";
  if (r.max_rss_kb >= 0) t << "program's peak resident memory: " << r.max_rss_kb << " KiB\n";
  for (const Timed& b : r.reboots) t << "  " << b.text << " requested at " << fmt_ms(b.ms) << " s\n";
  text_flash(t, in, r);
  text_env(t, in, r);
  t << "\nBoard control (/dev/misc0):\n";
  for (const std::string& line : r.board) t << "  " << line << "\n";
  t << "\napplications stopped (killapps.sh runs): " << r.killapps_runs << "\n";
  text_timed(t, "Configuration saver (semaphore 0xB012)", r.saver);
  text_timed(t, "Keypad", r.keys);
  text_timed(t, "Second program", r.second);
  text_sysv(t, r);
  t << "\nIPC messages (" << r.ipc.size() << " deliveries):\n";
  for (const Timed& m : r.ipc) t << "  " << fmt_ms(m.ms) << " s " << m.text << "\n";
  t << "\nLog (" << r.log.size() << " lines):\n";
  for (const LogEntry& e : r.log)
    t << "  " << e.time << " " << (e.level >= 0 ? kLevelNames[e.level] : "?") << ": " << e.text << "\n";
  t << "\nLCD frames (" << r.frames.size() << "):\n";
  for (const Frame& f : r.frames)
    t << "  " << fmt_ms(f.ms) << " s " << (f.png.empty() ? "(unreadable)" : "frames/" + f.png)
      << (f.same_as_previous ? "  same as the previous frame" : "") << "\n";
  if (r.sheet) t << "  all distinct frames: frames.png\n";
  t << "\nConsole:\n" << r.console;
  return t.str();
}

// --- The same for programs ---

Json json_timed(const std::vector<Timed>& records) {
  Json out = Json::array();
  for (const Timed& s : records) out.push_back({{"ms", s.ms}, {"what", s.text}});
  return out;
}

Json json_env(const EnvList& env) {
  Json out = Json::object();
  for (const auto& [name, value] : env) out[name] = value;
  return out;
}

Json json_flash(const ReportInput& in) {
  Json out = Json::array();
  for (size_t i = 0; i < in.after.flash.size(); ++i) {
    const FlashState& a = in.after.flash[i];
    const FlashState& b = before_of(in, i);
    out.push_back({{"name", a.name}, {"size", a.size}, {"sha256", a.sha256}, {"size_before", b.size},
                   {"sha256_before", b.sha256}, {"changed", changed(a, b)}});
  }
  return out;
}

// The listener marks what it could not take as it came: a "bad" word
// (too short for a header) or a "bad=WHY" field (a length that lies).
bool well_formed(const std::string& record) {
  for (const std::string& w : split_words(record))
    if (w == "bad" || w.rfind("bad=", 0) == 0) return false;
  return true;
}

Json json_ipc_messages(const std::vector<Timed>& ipc) {
  Json out = Json::array();
  for (const Timed& m : ipc) {
    auto f = fields(m.text);
    out.push_back({{"ms", m.ms}, {"to", atoi(f["to"].c_str())}, {"type", atoi(f["type"].c_str())},
                   {"sender", atoi(f["sender"].c_str())}, {"param1", atoi(f["p1"].c_str())},
                   {"param2", atoi(f["p2"].c_str())}, {"length", atoi(f["len"].c_str())}, {"data", f["data"]},
                   {"well_formed", well_formed(m.text)}});
  }
  return out;
}

Json json_keys(const std::vector<Timed>& keys) {
  Json out = Json::array();
  for (const Timed& k : keys)
    out.push_back({{"ms", k.ms}, {"code", atoi(fields(k.text)["code"].c_str())},
                   {"delivered", k.text.find(" delivered") != std::string::npos}, {"what", k.text}});
  return out;
}

Json json_sysv(const Records& r, bool semaphores) {
  if (r.ipc_state != IpcState::recorded) return nullptr;
  Json out = Json::array();
  if (semaphores)
    for (const SemSet& s : r.sysv.sems)
      out.push_back({{"key", static_cast<uint32_t>(s.key)}, {"id", s.id}, {"values", s.values}});
  else
    for (const ShmSegment& m : r.sysv.shms)
      out.push_back({{"key", static_cast<uint32_t>(m.key)}, {"id", m.id}, {"size", m.size}, {"attached", m.attached}});
  return out;
}

Json json_windows(const std::optional<std::vector<Window>>& list) {
  if (!list) return nullptr;
  Json out = Json::array();
  for (const Window& w : *list) {
    if (w.well_formed) out.push_back({{"name", w.name}, {"start", w.start}, {"size", w.size}});
    else out.push_back({{"name", w.name}, {"start", nullptr}, {"size", nullptr}, {"line", w.line}});
  }
  return out;
}

// Counts stay integers; times (ms) may have fractions; anything else is kept as text.
Json json_flash_time(const Records& r) {
  if (!r.flash_time) return nullptr;
  Json out = Json::object();
  for (const auto& [key, value] : *r.flash_time) {
    unsigned long long count = 0;
    double ms = 0;
    if (value.find_first_not_of("0123456789") == std::string::npos && parse_size(value, &count)) out[key] = count;
    else if (parse_decimal(value, kMaxRecordMs, &ms)) out[key] = ms;
    else out[key] = value;
  }
  return out;
}

Json json_log(const std::vector<LogEntry>& log) {
  Json out = Json::array();
  for (const LogEntry& e : log)
    out.push_back({{"level", e.level}, {"facility", e.facility}, {"time", e.time}, {"text", e.text}});
  return out;
}

Json json_frames(const std::vector<Frame>& frames) {
  Json out = Json::array();
  for (const Frame& f : frames)
    out.push_back({{"ms", f.ms}, {"png", f.png.empty() ? "" : "frames/" + f.png}, {"sha256", f.sha256},
                   {"same_as_previous", f.same_as_previous}});
  return out;
}

Json format_json(const ReportInput& in, const Records& r) {
  Json j;
  j["root"] = in.root;
  j["command"] = in.command;
  j["status"] = in.status_known ? Json(in.status) : Json(nullptr);
  j["end"] = r.end;
  j["reboot_requested"] = !r.reboots.empty();
  j["program_start_ms"] = r.program_start_ms;
  j["end_ms"] = r.end_ms;
  j["max_rss_kb"] = r.max_rss_kb;
  j["cut"] = r.cut ? Json(*r.cut) : Json(nullptr);
  j["reboots"] = json_timed(r.reboots);
  j["flash"] = json_flash(in);
  j["windows_before"] = json_windows(r.windows_before);
  j["windows_after"] = json_windows(r.windows_after);
  j["flash_time"] = json_flash_time(r);
  j["remaps"] = Json::array();
  for (const auto& [device, request] : r.remaps) j["remaps"].push_back({{"device", device}, {"request", request}});
  j["env_before"] = json_env(in.before.env);
  j["env_after"] = json_env(in.after.env);
  j["env_writes"] = Json::array();
  for (const Timed& w : r.env_writes) j["env_writes"].push_back({{"ms", w.ms}, {"line", w.text}});
  j["board"] = r.board;
  j["watchdog"] = Json::array();
  for (const std::string& line : r.board)
    if (line.rfind("watchdog ", 0) == 0) j["watchdog"].push_back(atoi(line.c_str() + 9));
  j["killapps_runs"] = r.killapps_runs;
  j["saver"] = json_timed(r.saver);
  j["keys"] = json_keys(r.keys);
  j["second"] = json_timed(r.second);
  j["ipc_state"] = ipc_state_name(r.ipc_state);
  j["semaphores"] = json_sysv(r, true);
  j["shared_memory"] = json_sysv(r, false);
  j["ipc"] = json_ipc_messages(r.ipc);
  j["log"] = json_log(r.log);
  j["frames"] = json_frames(r.frames);
  j["frames_sheet"] = r.sheet ? "frames.png" : "";
  j["console"] = r.console;
  return j;
}

// --- Before and after a boot ---

const char kBeforeFile[] = "/sim/boot/before.json";

Json json_snapshot(const Snapshot& s) {
  Json flash = Json::array();
  for (const FlashState& f : s.flash) flash.push_back({{"name", f.name}, {"size", f.size}, {"sha256", f.sha256}});
  Json env = Json::array();
  for (const auto& [name, value] : s.env) env.push_back({name, value});  // pairs: the order is the store's
  return {{"flash", flash}, {"env", env}};
}

bool is_string_list(const Json& j) {
  if (!j.is_array()) return false;
  for (const Json& item : j)
    if (!item.is_string()) return false;
  return true;
}

// Every value is checked before it is taken: the file is the root's, and
// anything may have been written there.
bool snapshot_from_json(const Json& j, Snapshot* out) {
  if (!j.is_object() || !j.contains("flash") || !j["flash"].is_array() || !j.contains("env") || !j["env"].is_array())
    return false;
  Snapshot s;
  for (const Json& f : j["flash"]) {
    if (!f.is_object() || !f.contains("name") || !f["name"].is_string() || !f.contains("size") ||
        !f["size"].is_number_integer() || !f.contains("sha256") || !f["sha256"].is_string())
      return false;
    s.flash.push_back(FlashState{f["name"].get<std::string>(), f["size"].get<long long>(), f["sha256"].get<std::string>()});
  }
  for (const Json& kv : j["env"]) {
    if (!is_string_list(kv) || kv.size() != 2) return false;
    s.env.emplace_back(kv[0].get<std::string>(), kv[1].get<std::string>());
  }
  *out = s;
  return true;
}

int load_before(const std::string& root, ReportInput* in, std::string* error) {
  std::string text;
  if (!read_root_text(root, kBeforeFile, &text)) {
    if (error) *error = root + ": no boot records (" + kBeforeFile + ")";
    return -1;
  }
  Json j = Json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("command") || !is_string_list(j["command"]) ||
      !j.contains("before") || !snapshot_from_json(j["before"], &in->before)) {
    if (error) *error = root + kBeforeFile + ": unreadable";
    return -1;
  }
  in->command = j["command"].get<std::vector<std::string>>();
  return 0;
}

std::string dump(const Json& j) {
  // Console output and log texts may hold bytes that are not UTF-8.
  return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

int fail_errno(std::string* error, const std::string& path) {
  if (error) *error = path + ": " + strerror(errno);
  return -1;
}

// "frame-NNNN.png", the names write_pictures gives.
bool frame_png_name(const char* name) {
  return strlen(name) == 14 && strncmp(name, "frame-", 6) == 0 && strspn(name + 6, "0123456789") == 4 &&
         strcmp(name + 10, ".png") == 0;
}

// A report folder used before holds the last report's files: they are
// removed by name, so that no frame of an older boot stands beside the new
// ones. Nothing else in the folder is touched, and frames/ is not followed
// where it is a link.
int clear_report(const std::string& dir, std::string* error) {
  unique_fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!d.valid()) return fail_errno(error, dir);
  for (const char* name : {"report.txt", "report.json", "frames.png"})
    if (unlinkat(d.get(), name, 0) != 0 && errno != ENOENT) return fail_errno(error, dir + "/" + name);
  if (mkdirat(d.get(), "frames", 0755) != 0 && errno != EEXIST) return fail_errno(error, dir + "/frames");
  int frames = openat(d.get(), "frames", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* list = frames < 0 ? nullptr : fdopendir(frames);
  if (!list) {
    if (frames >= 0) (void)close(frames);
    return fail_errno(error, dir + "/frames");
  }
  int rc = 0;
  while (const struct dirent* e = readdir(list))
    if (frame_png_name(e->d_name) && unlinkat(dirfd(list), e->d_name, 0) != 0 && errno != ENOENT)
      rc = fail_errno(error, dir + "/frames/" + e->d_name);
  (void)closedir(list);
  return rc;
}

}  // namespace

bool frame_to_grey(const std::string& fb, std::vector<unsigned char>* grey) {
  // A framebuffer larger than the panel needs shows its first screenful.
  size_t len = fb.size() >= FBPNG_SIZE_16BIT ? FBPNG_SIZE_16BIT : fb.size() >= FBPNG_SIZE_4BIT ? FBPNG_SIZE_4BIT : 0;
  int w = 0, h = 0;
  std::vector<uint8_t> out;
  if (len == 0 || fbpng_decode(reinterpret_cast<const unsigned char*>(fb.data()), len, &out, &w, &h) != 0 ||
      w != kWidth || h != kHeight)
    return false;
  grey->assign(out.begin(), out.end());
  return true;
}

int write_grey_png(const std::string& path, const unsigned char* pixels, int width, int height) {
  return fbpng_write_gray(pixels, width, height, path.c_str());
}

Snapshot snapshot_take(const std::string& root) {
  Snapshot s;
  std::vector<std::string> names;
  for (int i = 0; i <= 9; ++i) names.push_back("mtd" + std::to_string(i));
  names.push_back("mtdblock/3");
  names.push_back("mtdblock/4");
  for (const std::string& name : names) {
    FlashState f;
    f.name = name;
    std::string data;
    if (chip_read_window(root, name, &data) == 0) {
      f.size = static_cast<long long>(data.size());
      f.sha256 = sha256_hex(data);
    }
    s.flash.push_back(f);
  }
  std::string env;
  if (read_root_text(root, "/sim/state/env", &env)) s.env = env_parse(env);
  return s;
}

int report_write(const ReportInput& in, const std::string& dir, std::string* error) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    if (error) *error = dir + ": " + strerror(errno);
    return -1;
  }
  if (clear_report(dir, error) != 0) return -1;
  Records r = gather(in.root);
  if (write_pictures(dir, r, error) != 0) return -1;
  if (write_file(dir + "/report.txt", format_text(in, r), error) != 0) return -1;
  return write_file(dir + "/report.json", dump(format_json(in, r)), error);
}

int report_boot_begin(const std::string& root, const std::vector<std::string>& command, std::string* error) {
  Json j = {{"command", command}, {"before", json_snapshot(snapshot_take(root))}};
  if (rootfs_write(root, kBeforeFile, dump(j), 0644) == 0) return 0;
  if (error) *error = root + kBeforeFile + ": cannot be written: " + strerror(errno);
  return -1;
}

int report_boot_end(const std::string& root, int status, std::string* error) {
  if (rootfs_append(root, "/sim/boot/result", "status " + std::to_string(status) + "\n") == 0) return 0;
  if (error) *error = root + "/sim/boot/result: cannot be written: " + strerror(errno);
  return -1;
}

int report_of_root(const std::string& root, const std::string& dir, std::string* error) {
  ReportInput in;
  in.root = root;
  if (load_before(root, &in, error) != 0) return -1;
  Records r;
  gather_result(root, &r);
  in.status_known = r.recorded_status.has_value();
  in.status = r.recorded_status.value_or(0);
  in.after = snapshot_take(root);
  return report_write(in, dir, error);
}

}  // namespace sim
