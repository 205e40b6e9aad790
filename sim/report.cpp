#include "sim/report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>

#include "sim/chip.h"
#include "sim/profile.h"
#include "tools/fb2png/fbpng.h"
#include "sim/sha256.h"

namespace sim {
namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 272;

bool read_file(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// "<time> rest" lines of the boot's records.
struct Timed {
  double ms = 0;
  std::string text;
};

std::vector<Timed> read_timed(const std::string& path) {
  std::vector<Timed> out;
  for (const std::string& line : read_lines(path)) {
    Timed t;
    size_t sp = line.find(' ');
    t.ms = atof(line.substr(0, sp).c_str());
    t.text = sp == std::string::npos ? "" : line.substr(sp + 1);
    out.push_back(t);
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
std::vector<LogEntry> read_log(const std::string& path) {
  std::vector<LogEntry> out;
  for (const std::string& line : read_lines(path)) {
    if (line.size() < 16) continue;
    LogEntry e;
    e.time = line.substr(7, 8);
    size_t host_end = line.find(' ', 16);
    if (host_end == std::string::npos) continue;
    size_t fp_end = line.find(' ', host_end + 1);
    std::string fp = line.substr(host_end + 1, fp_end == std::string::npos ? std::string::npos : fp_end - host_end - 1);
    size_t dot = fp.find('.');
    if (dot == std::string::npos) continue;
    e.facility = fp.substr(0, dot);
    e.level = level_of(fp.substr(dot + 1));
    e.text = fp_end == std::string::npos ? "" : line.substr(fp_end + 1);
    // A sender that gave no identity shows as ": text".
    if (e.text.rfind(": ", 0) == 0) e.text = e.text.substr(2);
    // The daemon's own lines and the simulator's end-of-boot marker.
    if (e.facility == "syslog" || e.text.rfind("simdev-flush:", 0) == 0) continue;
    out.push_back(e);
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

std::string fmt_ms(double ms) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.3f", ms / 1000.0);
  return buf;
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
  s.env = env_load(root + "/sim/state/env");
  return s;
}

int report_write(const ReportInput& in, const std::string& dir, std::string* error) {
  const std::string boot = in.root + "/sim/boot";
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    if (error) *error = dir + ": " + strerror(errno);
    return -1;
  }
  mkdir((dir + "/frames").c_str(), 0755);

  // How the boot ended.
  std::string end = "unknown", program_start = "0", end_ms = "0";
  long max_rss_kb = -1;
  for (const std::string& line : read_lines(boot + "/result")) {
    if (line.rfind("end_ms ", 0) == 0) end_ms = line.substr(7);
    else if (line.rfind("max_rss_kb ", 0) == 0) max_rss_kb = atol(line.c_str() + 11);
    else if (line.rfind("end ", 0) == 0) end = line.substr(4);
    else if (line.rfind("program_start_ms ", 0) == 0) program_start = line.substr(17);
  }
  std::vector<Timed> reboots = read_timed(boot + "/reboot");
  std::vector<LogEntry> log = read_log(boot + "/messages");
  std::vector<Timed> ipc = read_timed(boot + "/ipc");
  std::vector<Timed> keys = read_timed(boot + "/keys");
  std::vector<Timed> saver = read_timed(boot + "/saver");
  std::vector<Timed> second = read_timed(boot + "/second");
  std::vector<Timed> env_writes = read_timed(boot + "/env-writes");
  int killapps_runs = static_cast<int>(read_lines(boot + "/killapps").size());
  std::string console;
  read_file(boot + "/console", &console);
  std::vector<std::string> board;
  for (const std::string& line : read_lines(in.root + "/dev/misc0"))
    if (line.rfind("fail ", 0) != 0) board.push_back(line);
  std::vector<std::pair<std::string, std::string>> remaps;
  for (int i = 0; i <= 9; ++i)
    for (const std::string& line : read_lines(in.root + "/dev/mtd" + std::to_string(i) + ".log"))
      remaps.emplace_back("mtd" + std::to_string(i), line);

  std::vector<Frame> frames;
  std::string previous;
  for (const std::string& line : read_lines(boot + "/frames/index")) {
    Frame f;
    std::istringstream ls(line);
    ls >> f.number >> f.ms;
    char name[64];
    snprintf(name, sizeof name, "frame-%04d", f.number);
    std::string fb;
    if (!read_file(boot + "/frames/" + name + ".fb", &fb)) continue;
    f.sha256 = sha256_hex(fb);
    f.same_as_previous = f.sha256 == previous;
    previous = f.sha256;
    if (frame_to_grey(fb, &f.grey)) {
      f.png = std::string(name) + ".png";
      if (write_grey_png(dir + "/frames/" + f.png, f.grey.data(), kWidth, kHeight) != 0) {
        if (error) *error = dir + "/frames/" + f.png + ": cannot be written";
        return -1;
      }
    }
    frames.push_back(std::move(f));
  }
  bool sheet = false;
  for (const Frame& f : frames) sheet = sheet || !f.grey.empty();
  if (sheet && write_sheet(dir + "/frames.png", frames) != 0) {
    if (error) *error = dir + "/frames.png: cannot be written";
    return -1;
  }

  // Text for a person.
  std::ostringstream t;
  t << "Boot of " << in.root << "\n";
  std::string cmd;
  for (const std::string& a : in.command) cmd += (cmd.empty() ? "" : " ") + a;
  t << "command: " << cmd << "\n";
  t << "program started at " << fmt_ms(atof(program_start.c_str())) << " s; boot ended at "
    << fmt_ms(atof(end_ms.c_str())) << " s: " << end << "\n";
  if (max_rss_kb >= 0) t << "program's peak resident memory: " << max_rss_kb << " KiB\n";
  for (const Timed& r : reboots) t << "  " << r.text << " requested at " << fmt_ms(r.ms) << " s\n";
  t << "\nFlash:\n";
  for (size_t i = 0; i < in.after.flash.size(); ++i) {
    const FlashState& a = in.after.flash[i];
    const FlashState& b = i < in.before.flash.size() ? in.before.flash[i] : a;
    if (a.size < 0 && b.size < 0) continue;
    bool changed = a.sha256 != b.sha256 || a.size != b.size;
    t << "  " << a.name << " " << a.size << " bytes sha256 " << a.sha256.substr(0, 16)
      << (changed ? "  CHANGED (was " + b.sha256.substr(0, 16) + ")" : "  unchanged") << "\n";
  }
  for (const auto& r : remaps) t << "  " << r.first << " " << r.second << "\n";
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
  for (const Timed& w : env_writes) t << "  written at " << fmt_ms(w.ms) << " s: " << w.text << "\n";
  t << "\nBoard control (/dev/misc0):\n";
  for (const std::string& line : board) t << "  " << line << "\n";
  t << "\napplications stopped (killapps.sh runs): " << killapps_runs << "\n";
  if (!saver.empty()) {
    t << "\nConfiguration saver (semaphore 0xB012):\n";
    for (const Timed& s : saver) t << "  " << fmt_ms(s.ms) << " s " << s.text << "\n";
  }
  if (!keys.empty()) {
    t << "\nKeypad:\n";
    for (const Timed& k : keys) t << "  " << fmt_ms(k.ms) << " s " << k.text << "\n";
  }
  if (!second.empty()) {
    t << "\nSecond program:\n";
    for (const Timed& s : second) t << "  " << fmt_ms(s.ms) << " s " << s.text << "\n";
  }
  t << "\nIPC messages (" << ipc.size() << " deliveries):\n";
  for (const Timed& m : ipc) t << "  " << fmt_ms(m.ms) << " s " << m.text << "\n";
  t << "\nLog (" << log.size() << " lines):\n";
  for (const LogEntry& e : log)
    t << "  " << e.time << " " << (e.level >= 0 ? kLevelNames[e.level] : "?") << ": " << e.text << "\n";
  t << "\nLCD frames (" << frames.size() << "):\n";
  for (const Frame& f : frames)
    t << "  " << fmt_ms(f.ms) << " s " << (f.png.empty() ? "(unreadable)" : "frames/" + f.png)
      << (f.same_as_previous ? "  same as the previous frame" : "") << "\n";
  if (sheet) t << "  all distinct frames: frames.png\n";
  t << "\nConsole:\n" << console;

  // The same for programs.
  std::ostringstream j;
  j << "{\n  \"root\": " << json_string(in.root) << ",\n  \"command\": [";
  for (size_t i = 0; i < in.command.size(); ++i) j << (i ? ", " : "") << json_string(in.command[i]);
  j << "],\n  \"status\": " << in.status << ",\n  \"end\": " << json_string(end)
    << ",\n  \"reboot_requested\": " << (reboots.empty() ? "false" : "true")
    << ",\n  \"program_start_ms\": " << atof(program_start.c_str()) << ",\n  \"end_ms\": " << atof(end_ms.c_str())
    << ",\n  \"max_rss_kb\": " << max_rss_kb
    << ",\n  \"reboots\": [";
  for (size_t i = 0; i < reboots.size(); ++i)
    j << (i ? ", " : "") << "{\"ms\": " << reboots[i].ms << ", \"what\": " << json_string(reboots[i].text) << "}";
  j << "],\n  \"flash\": [";
  for (size_t i = 0; i < in.after.flash.size(); ++i) {
    const FlashState& a = in.after.flash[i];
    const FlashState& b = i < in.before.flash.size() ? in.before.flash[i] : a;
    j << (i ? ",\n    " : "\n    ") << "{\"name\": " << json_string(a.name) << ", \"size\": " << a.size
      << ", \"sha256\": " << json_string(a.sha256) << ", \"size_before\": " << b.size
      << ", \"sha256_before\": " << json_string(b.sha256)
      << ", \"changed\": " << ((a.sha256 != b.sha256 || a.size != b.size) ? "true" : "false") << "}";
  }
  j << "],\n  \"remaps\": [";
  for (size_t i = 0; i < remaps.size(); ++i)
    j << (i ? ", " : "") << "{\"device\": " << json_string(remaps[i].first) << ", \"request\": " << json_string(remaps[i].second) << "}";
  auto env_json = [&](const EnvList& env) {
    j << "{";
    for (size_t i = 0; i < env.size(); ++i) j << (i ? ", " : "") << json_string(env[i].first) << ": " << json_string(env[i].second);
    j << "}";
  };
  j << "],\n  \"env_before\": ";
  env_json(in.before.env);
  j << ",\n  \"env_after\": ";
  env_json(in.after.env);
  j << ",\n  \"env_writes\": [";
  for (size_t i = 0; i < env_writes.size(); ++i)
    j << (i ? ", " : "") << "{\"ms\": " << env_writes[i].ms << ", \"line\": " << json_string(env_writes[i].text) << "}";
  j << "],\n  \"board\": [";
  for (size_t i = 0; i < board.size(); ++i) j << (i ? ", " : "") << json_string(board[i]);
  j << "],\n  \"watchdog\": [";
  bool first = true;
  for (const std::string& line : board) {
    if (line.rfind("watchdog ", 0) != 0) continue;
    j << (first ? "" : ", ") << atoi(line.c_str() + 9);
    first = false;
  }
  j << "],\n  \"killapps_runs\": " << killapps_runs << ",\n  \"saver\": [";
  for (size_t i = 0; i < saver.size(); ++i)
    j << (i ? ", " : "") << "{\"ms\": " << saver[i].ms << ", \"what\": " << json_string(saver[i].text) << "}";
  j << "],\n  \"keys\": [";
  for (size_t i = 0; i < keys.size(); ++i) {
    auto f = fields(keys[i].text);
    j << (i ? ", " : "") << "{\"ms\": " << keys[i].ms << ", \"code\": " << atoi(f["code"].c_str())
      << ", \"delivered\": " << (keys[i].text.find(" delivered") != std::string::npos ? "true" : "false")
      << ", \"what\": " << json_string(keys[i].text) << "}";
  }
  j << "],\n  \"second\": [";
  for (size_t i = 0; i < second.size(); ++i)
    j << (i ? ", " : "") << "{\"ms\": " << second[i].ms << ", \"what\": " << json_string(second[i].text) << "}";
  j << "],\n  \"ipc\": [";
  for (size_t i = 0; i < ipc.size(); ++i) {
    auto f = fields(ipc[i].text);
    j << (i ? ",\n    " : "\n    ") << "{\"ms\": " << ipc[i].ms << ", \"to\": " << atoi(f["to"].c_str())
      << ", \"type\": " << atoi(f["type"].c_str()) << ", \"sender\": " << atoi(f["sender"].c_str())
      << ", \"param1\": " << atoi(f["p1"].c_str()) << ", \"param2\": " << atoi(f["p2"].c_str())
      << ", \"length\": " << atoi(f["len"].c_str()) << ", \"data\": " << json_string(f["data"])
      << ", \"well_formed\": " << (f.count("bad") || ipc[i].text.rfind("bad", 0) == 0 ? "false" : "true") << "}";
  }
  j << "],\n  \"log\": [";
  for (size_t i = 0; i < log.size(); ++i)
    j << (i ? ",\n    " : "\n    ") << "{\"level\": " << log[i].level << ", \"facility\": " << json_string(log[i].facility)
      << ", \"time\": " << json_string(log[i].time) << ", \"text\": " << json_string(log[i].text) << "}";
  j << "],\n  \"frames\": [";
  for (size_t i = 0; i < frames.size(); ++i)
    j << (i ? ",\n    " : "\n    ") << "{\"ms\": " << frames[i].ms << ", \"png\": " << json_string(frames[i].png.empty() ? "" : "frames/" + frames[i].png)
      << ", \"sha256\": " << json_string(frames[i].sha256)
      << ", \"same_as_previous\": " << (frames[i].same_as_previous ? "true" : "false") << "}";
  j << "],\n  \"frames_sheet\": " << json_string(sheet ? "frames.png" : "") << ",\n  \"console\": " << json_string(console)
    << "\n}\n";

  for (const auto& out : {std::make_pair(std::string("/report.txt"), t.str()), std::make_pair(std::string("/report.json"), j.str())}) {
    FILE* f = fopen((dir + out.first).c_str(), "w");
    if (!f || fwrite(out.second.data(), 1, out.second.size(), f) != out.second.size() || fclose(f) != 0) {
      if (error) *error = dir + out.first + ": cannot be written";
      return -1;
    }
  }
  return 0;
}

}  // namespace sim
