#include "devenv/config_maint.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "log/rl_log.h"
#include "sysrun/shell_runner.h"

namespace {

constexpr int kTimeout = 3;
constexpr int kRetries = 1;
constexpr size_t kMaxPath = 255;

struct rom_version_numbers {
  int part[4] = {0, 0, 0, 0};
};

// The version being replaced, from the RomVersion record; numbers that are
// not there count as 0. Returns false when the record is missing.
bool replaced_version(const env_info* env_table, rom_version_numbers* v) {
  int index = -1;
  if (!env_table || env_find(env_table, "RomVersion", &index) != 0) {
    rl_log_info("RomVersion env isnot exist!\n");
    return false;
  }
  char value[ENV_VALUE_SIZE + 1];
  memcpy(value, env_table[index].value, ENV_VALUE_SIZE);
  value[ENV_VALUE_SIZE] = '\0';
  sscanf(value, "%d.%d.%d.%d", &v->part[0], &v->part[1], &v->part[2], &v->part[3]);
  return true;
}

bool ends_with(const char* name, char c) {
  size_t len = strlen(name);
  return len > 0 && name[len - 1] == c;
}

bool wanted_config_file(const char* name) {
  return (strstr(name, ".cfg") && ends_with(name, 'g')) || (strstr(name, ".conf") && ends_with(name, 'f'));
}

// Names in /tmp come from any process of the phone: they go into the shell
// command single-quoted, so that no character of a name is shell syntax.
std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += "'";
  return out;
}

int collect_config_files(std::string files[AUTOP_MAX_FILES]) {
  DIR* dir = opendir("/tmp/");
  if (!dir) {
    rl_log_err("open /tmp failed!\n");
    return -1;
  }
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    std::string path = std::string("/tmp/") + entry->d_name;
    if (path.size() > kMaxPath) continue;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (!wanted_config_file(entry->d_name)) continue;
    if (count == AUTOP_MAX_FILES) break;  // the list holds ten paths
    files[count++] = path;
  }
  closedir(dir);
  return count;
}

void run(const std::string& command) { (void)system_ex(command.c_str(), kTimeout, kRetries); }

}  // namespace

void config_autop(const env_info* env_table) {
  rom_version_numbers v;
  if (!replaced_version(env_table, &v)) return;
  if (v.part[2] >= 4) return;
  struct stat st;
  if (stat(AUTOP_RETRY_FILE, &st) == 0) {
    rl_log_err("/config/autop_retry_save.cfg is exist");
    return;
  }
  std::string files[AUTOP_MAX_FILES];
  int count = collect_config_files(files);
  if (count < 0) return;
  run("touch /config/autop_retry_save.cfg");
  for (int i = 0; i < count; ++i) {
    run("cat " + shell_quote(files[i]) + " >> /config/autop_retry_save.cfg");
    run("echo \"  \" >> /config/autop_retry_save.cfg");
  }
  run("sed -i \"/.[u,U][r,R][l,L]/ c\\   \"  /config/autop_retry_save.cfg");
  run("echo \"Config.Autoprovision.Reboot.Enable = 1 \" >> /config/autop_retry_save.cfg");
  rl_log_err("config ok");
}

void config_deleteLineKey8(const env_info* env_table) {
  rl_log_info("config_deleteLineKey8");
  rom_version_numbers v;
  if (!replaced_version(env_table, &v)) return;
  if (v.part[0] == 59 && v.part[2] < 4) {
    rl_log_info("config_deleteLineKey8 excute");
    run("sed -i \"/LINEKEY8/ c\\ [ LINEKEY8_NOUSED ]\" /config/Phone/Key/ProgramableKey.conf ");
  }
}
