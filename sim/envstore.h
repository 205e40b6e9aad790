// The boot-loader environment of the simulated phone: "name value" lines in
// a file of the device root (/sim/state/env), kept in the order the
// variables were first set, so that it survives boots as the real one does.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sim {

using EnvList = std::vector<std::pair<std::string, std::string>>;

// Missing file: empty list.
EnvList env_load(const std::string& path);
// The same, of the file's text.
EnvList env_parse(const std::string& text);
// Writes the list atomically (temporary file and rename). 0 or -1.
int env_save(const std::string& path, const EnvList& env);
// The listing as the kernel prints it: one "name value" line per variable.
std::string env_format(const EnvList& env);
// Applies what was echoed into the kernel file: every line "name value" sets
// the variable (blanks after the name separate it from the value; blanks at
// the end are dropped), a name alone clears it, empty lines are ignored.
// Returns the number of lines applied.
int env_apply(EnvList* env, const std::string& written);

}  // namespace sim
