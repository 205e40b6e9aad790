#include "devenv/config_maint.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "common/unique_fd.h"
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

int write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// Appends the listed file to out only if it is still a regular file: any
// process may swap a name in /tmp for a link or a FIFO after the listing,
// so it is opened without following links and without blocking, checked
// on that descriptor and read from it.
void append_file(const std::string& path, int out) {
  unique_fd in(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!in.valid() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    rl_log_debug("%s is no longer a regular file\n", path.c_str());
    return;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || write_all(out, buf, static_cast<size_t>(n)) != 0) return;
  }
}

// Each listed file, then a separator line of two blanks.
void gather(const std::string files[], int count) {
  unique_fd out(open(AUTOP_RETRY_FILE, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  if (!out.valid()) {
    rl_log_debug("%s open failed\n", AUTOP_RETRY_FILE);
    return;
  }
  for (int i = 0; i < count; ++i) {
    append_file(files[i], out.get());
    (void)write_all(out.get(), "  \n", 3);
  }
}

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
  gather(files, count);
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
