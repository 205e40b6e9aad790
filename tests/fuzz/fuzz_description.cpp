// The host tools' reader of INI text that others write: romtool's image
// descriptions and simdev's device profiles go through the same reader.
// Whatever it accepts must read back the same when written out again as
// "[section]" and "key=value" lines.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "sim/profile.h"

namespace {

using Sections = std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

// The reader under test, through its current entry point: false when it
// refuses the text.
bool read_sections(const std::string& text, Sections* out) {
  std::string error;
  sim::Profile profile;
  if (sim::profile_parse(text, &profile, &error) != 0) return false;
  if (!error.empty()) __builtin_trap();  // an accepted text carries no message
  out->clear();
  for (const sim::ProfileSection& s : profile.sections) out->emplace_back(s.name, s.entries);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Sections first, again;
  if (!read_sections(std::string(reinterpret_cast<const char*>(data), size), &first)) return 0;
  std::string text;
  for (const auto& [name, entries] : first) {
    text += "[" + name + "]\n";
    for (const auto& [key, value] : entries) text += key + "=" + value + "\n";
  }
  if (!read_sections(text, &again) || again != first) __builtin_trap();
  return 0;
}
