#include "sim/profile.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

namespace sim {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> split_words(const std::string& s) {
  std::vector<std::string> words;
  std::istringstream in(s);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

namespace {

// A comment starts with ';' or '#' at the start of a line, or after a blank.
std::string strip_comment(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if ((line[i] == ';' || line[i] == '#') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
      return line.substr(0, i);
  }
  return line;
}

}  // namespace

const ProfileSection* Profile::section(const std::string& name) const {
  for (const ProfileSection& s : sections)
    if (s.name == name) return &s;
  return nullptr;
}

std::string Profile::get(const std::string& sec, const std::string& key, const std::string& fallback) const {
  std::string value = fallback;
  for (const ProfileSection& s : sections)
    if (s.name == sec)
      for (const auto& kv : s.entries)
        if (kv.first == key) value = kv.second;
  return value;
}

bool Profile::has(const std::string& sec, const std::string& key) const {
  return !all(sec, key).empty();
}

std::vector<std::string> Profile::all(const std::string& sec, const std::string& key) const {
  std::vector<std::string> values;
  for (const ProfileSection& s : sections)
    if (s.name == sec)
      for (const auto& kv : s.entries)
        if (kv.first == key) values.push_back(kv.second);
  return values;
}

std::string Profile::file(const std::string& name) const {
  if (name.empty() || name[0] == '/' || base_dir.empty()) return name;
  return base_dir + "/" + name;
}

int profile_parse(const std::string& text, Profile* out, std::string* error) {
  std::istringstream in(text);
  std::string raw;
  int lineno = 0;
  ProfileSection* current = nullptr;
  while (std::getline(in, raw)) {
    ++lineno;
    std::string line = trim(strip_comment(raw));
    if (line.empty()) continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos || close < 2) {
        if (error) *error = "line " + std::to_string(lineno) + ": bad section header";
        return -1;
      }
      std::string name = trim(line.substr(1, close - 1));
      current = nullptr;
      for (ProfileSection& s : out->sections)
        if (s.name == name) current = &s;
      if (!current) {
        out->sections.push_back(ProfileSection{name, {}});
        current = &out->sections.back();
      }
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || !current) {
      if (error) *error = "line " + std::to_string(lineno) + ": expected key = value inside a section";
      return -1;
    }
    std::string key = trim(line.substr(0, eq));
    if (key.empty()) {
      if (error) *error = "line " + std::to_string(lineno) + ": empty key";
      return -1;
    }
    current->entries.emplace_back(key, trim(line.substr(eq + 1)));
  }
  return 0;
}

int profile_load(const std::string& path, Profile* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = path + ": cannot be read";
    return -1;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  Profile p;
  std::string why;
  if (profile_parse(ss.str(), &p, &why) != 0) {
    if (error) *error = path + ": " + why;
    return -1;
  }
  p.path = path;
  size_t slash = path.rfind('/');
  p.base_dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  *out = p;
  return 0;
}

bool parse_size(const std::string& text, unsigned long long* out) {
  std::string t = trim(text);
  if (t.empty()) return false;
  unsigned long long mult = 1;
  char last = t.back();
  if (last == 'K' || last == 'k') mult = 1024;
  if (last == 'M' || last == 'm') mult = 1024 * 1024;
  if (mult != 1) t.pop_back();
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(t.c_str(), &end, 0);
  if (errno != 0 || !end || *end != '\0' || t[0] == '-') return false;
  *out = v * mult;
  return true;
}

bool parse_seconds(const std::string& text, double* out) {
  std::string t = trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  double v = strtod(t.c_str(), &end);
  if (!end || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

bool parse_bool(const std::string& text, bool* out) {
  std::string t = trim(text);
  if (t == "yes" || t == "on" || t == "true" || t == "1") {
    *out = true;
    return true;
  }
  if (t == "no" || t == "off" || t == "false" || t == "0") {
    *out = false;
    return true;
  }
  return false;
}

}  // namespace sim
