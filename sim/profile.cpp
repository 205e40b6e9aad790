#include "sim/profile.h"

#include <stdio.h>

#include <iterator>
#include <unordered_map>

namespace sim {

bool has_control(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += hex;
  }
  return out;
}

bool read_root_file(const std::string& path, std::string* out) {
  return read_regular_file(path, 256ull * 1024 * 1024, out, nullptr) == 0;
}

const ProfileSection* Profile::section(const std::string& name) const {
  for (const ProfileSection& s : sections)
    if (s.name == name) return &s;
  return nullptr;
}

std::string Profile::get(const std::string& sec, const std::string& key, const std::string& fallback) const {
  std::vector<std::string> values = all(sec, key);
  return values.empty() ? fallback : values.back();
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
  std::vector<IniSection> read;
  if (ini_parse(text, &read, error) != 0) return -1;
  // Found by name in a map, not by a walk through the sections merged so
  // far: a profile of many small sections reads in linear time.
  std::unordered_map<std::string, size_t> index;
  index.reserve(out->sections.size() + read.size());
  out->sections.reserve(out->sections.size() + read.size());
  for (size_t i = 0; i < out->sections.size(); ++i) index.emplace(out->sections[i].name, i);
  for (IniSection& r : read) {
    // A key names a file, a variable or a setting: one that shows
    // differently from what it is is refused, and named.
    for (const auto& kv : r.entries)
      if (has_control(kv.first)) {
        if (error) *error = "[" + r.name + "] " + printable(kv.first) + ": a zero byte or control character in a key";
        return -1;
      }
    auto [at, added] = index.emplace(r.name, out->sections.size());
    if (added) {
      out->sections.push_back(ProfileSection{std::move(r.name), std::move(r.entries)});
      continue;
    }
    std::vector<std::pair<std::string, std::string>>& entries = out->sections[at->second].entries;
    entries.insert(entries.end(), std::make_move_iterator(r.entries.begin()), std::make_move_iterator(r.entries.end()));
  }
  return 0;
}

int profile_load(const std::string& path, Profile* out, std::string* error) {
  std::string text, why;
  if (read_regular_file(path, kMaxIniBytes, &text, error) != 0) return -1;
  Profile p;
  if (profile_parse(text, &p, &why) != 0) {
    if (error) *error = path + ": " + why;
    return -1;
  }
  p.path = path;
  size_t slash = path.rfind('/');
  p.base_dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  *out = p;
  return 0;
}

}  // namespace sim
