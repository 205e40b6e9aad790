#include "sim/envstore.h"

#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace sim {

EnvList env_load(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return env_parse(text.str());
}

EnvList env_parse(const std::string& text) {
  EnvList env;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    size_t sep = line.find(' ');
    if (sep == std::string::npos)
      env.emplace_back(line, "");
    else
      env.emplace_back(line.substr(0, sep), line.substr(sep + 1));
  }
  return env;
}

std::string env_format(const EnvList& env) {
  std::string out;
  for (const auto& kv : env) out += kv.first + " " + kv.second + "\n";
  return out;
}

int env_save(const std::string& path, const EnvList& env) {
  std::string tmp = path + ".new";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return -1;
  std::string text = env_format(env);
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (fflush(f) == 0) && ok;
  ok = (fsync(fileno(f)) == 0) && ok;
  ok = (fclose(f) == 0) && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

int env_apply(EnvList* env, const std::string& written) {
  int applied = 0;
  std::istringstream in(written);
  std::string line;
  while (std::getline(in, line)) {
    size_t end = line.find_last_not_of(" \t\r");
    if (end == std::string::npos) continue;
    line.resize(end + 1);
    size_t start = line.find_first_not_of(" \t");
    line = line.substr(start);
    size_t sep = line.find_first_of(" \t");
    std::string name = line.substr(0, sep);
    std::string value;
    if (sep != std::string::npos) value = line.substr(line.find_first_not_of(" \t", sep));
    bool found = false;
    for (auto it = env->begin(); it != env->end(); ++it) {
      if (it->first != name) continue;
      found = true;
      if (value.empty())
        env->erase(it);
      else
        it->second = value;
      break;
    }
    if (!found && !value.empty()) env->emplace_back(name, value);
    ++applied;
  }
  return applied;
}

}  // namespace sim
