// `romtool check`: the program's ROM check, run on a simulated device that
// a profile describes, inside a throw-away device root, so that the shell
// commands, the extracted files and the environment writes of the check
// touch nothing of the host's.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <dirent.h>

#include <thread>

#include "common/unique_fd.h"
#include "common/unique_mapping.h"
#include "rom/rom_check.h"
#include "rom/release_sig.h"
#include "sim/boot.h"
#include "sim/chip.h"
#include "sim/device.h"
#include "sim/rootfs.h"
#include "sim/simroot.h"
#include "tools/romtool/romtool.h"

namespace romtool {
namespace {

const char kImageInRoot[] = "/sim/rom.img";

int complain(const std::string& message) {
  fprintf(stderr, "romtool: %s\n", message.c_str());
  return kExitUsage;
}

// /tmp/bin holds what /bin does: links as links, files hard-linked. Every
// name is looked up inside the root.
int copy_bin_to_tmp(const std::string& root) {
  if (sim::rootfs_mkdirs(root, "/tmp/bin") != 0) return -1;
  unique_fd to(sim::rootfs_open(root, "/tmp/bin", O_PATH | O_DIRECTORY));
  int from = sim::rootfs_open(root, "/bin", O_RDONLY | O_DIRECTORY);
  DIR* dir = from < 0 ? nullptr : fdopendir(from);
  if (!to.valid() || !dir) {
    if (from >= 0) close(from);
    return -1;
  }
  int rc = 0;
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    char target[PATH_MAX];
    ssize_t n = readlinkat(from, e->d_name, target, sizeof target - 1);
    if (n >= 0) {
      target[n] = '\0';
      if (symlinkat(target, to.get(), e->d_name) != 0 && errno != EEXIST) rc = -1;
    } else if (linkat(from, e->d_name, to.get(), e->d_name, 0) != 0 && errno != EEXIST) {
      rc = -1;
    }
  }
  closedir(dir);
  return rc;
}

// An empty file of the root, `size` bytes long (a hole).
int make_sized_file(const std::string& root, const std::string& path, unsigned long long size) {
  unique_fd fd(sim::rootfs_open(root, path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  return fd.valid() && ftruncate(fd.get(), static_cast<off_t>(size)) == 0 ? 0 : -1;
}

// The flash devices, each with its erase unit: the check asks whether the
// units covering a region fit its device. The profile's chip when its
// partitions lie on one (the windows as the phone's kernel maps them), else
// one device per environment region, of that region's size.
int lay_out_flash(const std::string& root, const sim::Profile& profile) {
  std::string error;
  sim::Chip chip;
  std::vector<sim::Window> windows;
  if (sim::chip_create(root, profile, true, &error) == 0 && sim::chip_load(root, &chip, &windows) == 0) {
    for (const sim::Window& w : windows) {
      if (w.name.rfind("mtdblock", 0) == 0) continue;
      std::string control = "erasesize " + std::to_string(sim::chip_erase_size(chip, w.start, w.size)) + "\n";
      if (sim::simroot_write(root, "/dev/" + w.name + ".sim", control, 0644, &error) != 0) return -1;
    }
    return 0;
  }
  for (int i = 0; i < 10; ++i) {
    unsigned long long start = 0, end = 0;
    std::string range = profile.get("env", "mtd" + std::to_string(i));
    if (sscanf(range.c_str(), "%llx,%llx", &start, &end) != 2 || end < start) start = end = 0;
    if (make_sized_file(root, "/dev/mtd" + std::to_string(i), end - start) != 0) return -1;
  }
  return 0;
}

int lay_out_device(const std::string& root, const sim::Profile& profile, const std::string& image) {
  std::string error;
  std::string env;
  if (const sim::ProfileSection* s = profile.section("env")) {
    for (const auto& kv : s->entries) env += kv.first + " " + kv.second + "\n";
  }
  struct {
    std::string path, text;
  } files[] = {
      {"/proc/avalanche/env", env},
      {"/proc/misc/hwver", profile.get("device", "hwver") + "\n"},
      {"/proc/ver/software", profile.get("device", "software") + "\n"},
      {"/app/version.conf", sim::device_version_text(profile, "app_version")},
      {"/basic/version.conf", sim::device_version_text(profile, "basic_version")},
      {"/version.conf", sim::device_version_text(profile, "root_version")},
      {kImageInRoot, image},
  };
  for (const auto& f : files) {
    if (sim::simroot_write(root, f.path, f.text, 0644, &error) != 0) return complain(error);
  }
  // The phone's release keys, as its profile installs them.
  std::vector<std::pair<std::string, std::string>> keys;
  if (sim::device_release_keys(profile, &keys, &error) != 0) return complain(error);
  for (const auto& [path, text] : keys) {
    if (sim::simroot_write(root, path, text, 0644, &error) != 0) return complain(error);
  }
  if (lay_out_flash(root, profile) != 0) return complain("cannot lay out the flash devices in " + root);
  if (copy_bin_to_tmp(root) != 0) return complain("cannot copy /bin to /tmp/bin in " + root);
  return 0;
}

// Prints what the check sends to syslog, with the level of each line.
class SyslogEcho {
 public:
  SyslogEcho() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    unlink(addr.sun_path);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || pipe(stop_) != 0) return;
    thread_ = std::thread([this] { run(); });
  }
  ~SyslogEcho() {
    if (thread_.joinable()) {
      (void)!write(stop_[1], "x", 1);
      thread_.join();
    }
    if (fd_ >= 0) close(fd_);
  }

 private:
  void run() {
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0 && errno != EINTR) return;
      if (p[0].revents & POLLIN) {
        char buf[8192];
        ssize_t n = recv(fd_, buf, sizeof buf - 1, 0);
        if (n <= 0) continue;
        buf[n] = '\0';
        int pri = 0;
        const char* text = buf;
        if (buf[0] == '<') pri = atoi(buf + 1);
        // The program's own prefix ends at its level marker ",lN: ".
        if (const char* level = strstr(buf, ",l")) {
          if (const char* colon = strstr(level, ": ")) text = colon + 2;
        }
        fprintf(stderr, "log l%d: %s%s", pri & 7, text, (n > 0 && buf[n - 1] == '\n') ? "" : "\n");
        continue;
      }
      if (p[1].revents & POLLIN) return;
    }
  }
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace

int run_check(const std::string& image_path, const std::string& profile_path, bool verbose, bool keep) {
  std::string image, error;
  if (read_whole_file(image_path, kMaxImageSize, &image, &error) != 0) return complain(error);
  sim::Profile profile;
  if (sim::profile_load(profile_path, &profile, &error) != 0) return complain(error);

  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) return complain(std::string("cannot find my own binary: ") + strerror(errno));
  self[n] = '\0';
  std::string self_dir(self);
  self_dir.resize(self_dir.rfind('/'));

  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/romtool-check-XXXXXX";
  if (!mkdtemp(&tmpl[0])) return complain(tmpl + ": " + strerror(errno));
  std::string root = tmpl;
  int rc = sim::simroot_populate(root.c_str()) == 0 ? lay_out_device(root, profile, image) : kExitUsage;
  if (rc == 0) {
    sim::BootOptions o;
    o.root = root;
    o.binds.push_back(self_dir);
    o.argv = {self, "__check-in-root", kImageInRoot};
    if (verbose) o.argv.push_back("-v");
#if defined(__SANITIZE_ADDRESS__)
    // The leak checker walks /proc/<pid>/task, which the device root does
    // not have; the host side of romtool is leak-checked as usual.
    const char* asan = getenv("ASAN_OPTIONS");
    o.env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") + "detect_leaks=0");
#endif
    rc = sim::boot_run(o);
    if (rc < 0) rc = complain("the simulated device did not boot");
  }
  if (keep) {
    fprintf(stderr, "romtool: device root kept in %s\n", root.c_str());
  } else {
    sim::simroot_remove(root.c_str());
  }
  return rc;
}

namespace {

// The in-root half unlinks /dev/log and runs the check's shell commands on
// whatever "/" it finds: only a simulated phone's root will do, one simdev
// made (its marker) with the phone's ids mapped away from the host's.
bool inside_simulated_phone() {
  struct stat st;
  if (lstat(sim::kRootMarker, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string map;
  if (read_whole_file("/proc/self/uid_map", 4096, &map, nullptr) != 0) return false;
  unsigned long inside = 0, outside = 0, count = 0;
  if (sscanf(map.c_str(), "%lu %lu %lu", &inside, &outside, &count) != 3) return false;
  return !(inside == 0 && outside == 0 && count == 4294967295ul);
}

}  // namespace

int run_check_in_root(const std::string& image_path, bool verbose) {
  if (!inside_simulated_phone())
    return complain("__check-in-root runs only inside a simulated phone (romtool check starts it there)");
  unique_fd fd(open(image_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) return complain(image_path + ": " + strerror(errno));
  size_t len = static_cast<size_t>(st.st_size);
  // The image is mapped read-only, as the program maps a ROM file.
  unique_mapping map(len ? mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd.get(), 0) : MAP_FAILED, len);
  static const unsigned char empty[4] = {};
  const unsigned char* image = map.valid() ? static_cast<const unsigned char*>(map.get()) : empty;
  if (len && !map.valid()) return complain(image_path + ": cannot map");

  static env_info env[ENV_TABLE_SIZE];
  rom_header header;
  partition_header partitions[ROM_MAX_PARTITIONS];
  uint32_t flags[ROM_MAX_PARTITIONS] = {};
  int code;
  {
    SyslogEcho* echo = verbose ? new SyslogEcho : nullptr;
    // The phone's signature gate, then its check, on what the gate passes on.
    const unsigned char* checked = image;
    size_t checked_len = map.valid() ? len : 0;
    code = rom_release_gate(RELEASE_KEYS_DIR, &checked, &checked_len);
    if (code == 0) code = rom_upgrade_check(checked, checked_len, env, &header, partitions, flags);
    delete echo;
  }
  const char* name = upd_msg_name(code);
  if (code == 0) name = "accepted";
  if (code == UPD_MSG_SIGNATURE_ERR) name = "release signature refused";
  if (code == -1) name = "argument missing";
  printf("%d %s\n", code, name ? name : "unknown");
  if (code == 0) {
    uint32_t count = header.partition_num <= ROM_MAX_PARTITIONS ? header.partition_num : 0;
    for (uint32_t i = 0; i < count; ++i) {
      const partition_header& p = partitions[i];
      if (p.partition_id < 10) {
        printf("partition %u: mtd%u %s\n", i, p.partition_id, flags[i] ? "burn" : "keep");
      } else {
        printf("partition %u: special type %u\n", i, p.partition_type);
      }
    }
  }
  fflush(stdout);
  if (code == 0 || code == UPD_MSG_UPGRADER_TOOL) return kExitAccepted;
  if (code == UPD_MSG_ROM_VERSION_SAME) return kExitSameVersion;
  return kExitRefused;
}

}  // namespace romtool
