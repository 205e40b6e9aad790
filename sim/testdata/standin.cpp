// sim_standin STEP [ARGS...] [, STEP [ARGS...]]...
//
// Steps, run in order; each prints what it saw on the console:
//   log                       one line at each of the levels err, info, debug
//   env-set NAME [VALUE]      echo "NAME VALUE" into /proc/avalanche/env (shell)
//   cat PATH                  print a file
//   chroot-out PATH           leave a chroot the classic way (chroot into a
//                             folder, ".." as far as it goes, chroot there),
//                             then print PATH and try to make PATH.out
//   frames N                  N refreshes of /dev/fb0, frame k filled with byte 0x11*k
//   reboot [SECONDS]          run "reboot" through the shell, then sleep (30 s)
//   sem-hold KEY              create the semaphore KEY and take it without undo
//   sem-state KEY             print "KEY absent" or "KEY value V"
//   saver                     try 0xB012 once, then wait for it (with undo)
//   broadcast TYPE P1 P2      register as id 6 and broadcast a message
//   trickle ID MS             a child sends id ID a message of type 9 (sender 6,
//                             p1 7), one byte every MS milliseconds
//   keys N                    read N 16-byte events from /dev/input/event0
//   shm                       read the shared upgrade state under memory_semid
//   spawn SECONDS             leave "sleep SECONDS; echo leftover done" running
//   sh COMMAND                run COMMAND through the shell
//   watchdog VALUE            switch the watchdog through /dev/misc0
//   sleep SECONDS             sleep
//   exit CODE                 end with CODE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "libipc/libipc.h"
#include "libupgrader/libupgrader.h"
#include "log/rl_log.h"
#include "platform/misc_device.h"
#include "platform/mtd_device.h"
#include "semctrl/semctrl.h"

namespace {

struct timespec g_start;

long elapsed_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - g_start.tv_sec) * 1000 + (now.tv_nsec - g_start.tv_nsec) / 1000000;
}

int shell_status(const std::string& cmd) {
  int st = system(cmd.c_str());
  return (st >= 0 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
}

int step_cat(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    printf("cat %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) fwrite(buf, 1, n, stdout);
  fclose(f);
  return 0;
}

int step_chroot_out(const std::string& path) {
  (void)mkdir("/tmp/chroot-out", 0755);
  if (chroot("/tmp/chroot-out") != 0) {
    printf("chroot-out: chroot: %s\n", strerror(errno));
    return 0;
  }
  for (int i = 0; i < 256; ++i) (void)!chdir("..");
  if (chroot(".") != 0) printf("chroot-out: chroot .: %s\n", strerror(errno));
  (void)step_cat(path);
  int fd = open((path + ".out").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  printf("chroot-out: %s\n", fd >= 0 ? "made a file" : strerror(errno));
  if (fd >= 0) close(fd);
  return 0;
}

int step_frames(int count) {
  int fd = open("/dev/fb0", O_RDWR | O_SYNC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  size_t size = static_cast<size_t>(st.st_size);
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return 1;
  for (int k = 1; k <= count; ++k) {
    memset(map, 0x11 * k, size);
    int r = open("/proc/glcd/refresh", O_RDWR);
    if (r < 0 || write(r, "1", 1) != 1) {
      printf("refresh %d failed: %s\n", k, strerror(errno));
      return 1;
    }
    close(r);
  }
  munmap(map, size);
  close(fd);
  printf("frames %d done\n", count);
  return 0;
}

int step_sem_state(int key) {
  int id = semget(key, 0, 0666);
  if (id < 0)
    printf("%d absent\n", key);
  else
    printf("%d value %d\n", key, semctl(id, 0, GETVAL));
  return 0;
}

int step_saver() {
  int id = binary_sem_create_key(SEM_KEY_SAVE_FILE);
  printf("saver lock %s\n", try_lock_binary_sem(id) == 0 ? "free" : "busy");
  fflush(stdout);
  if (lock_binary_sem(id) != 0) return 1;
  printf("saver lock taken\n");
  return 0;
}

int step_keys(int count) {
  int fd = open("/dev/input/event0", O_RDWR);
  if (fd < 0) return 1;
  printf("keypad open at %ld ms\n", elapsed_ms());
  fflush(stdout);
  for (int i = 0; i < count; ++i) {
    unsigned char ev[16];
    size_t got = 0;
    while (got < sizeof ev) {
      ssize_t n = read(fd, ev + got, sizeof ev - got);
      if (n <= 0) return 1;
      got += static_cast<size_t>(n);
    }
    uint16_t type, code;
    int32_t value;
    memcpy(&type, ev + 8, 2);
    memcpy(&code, ev + 10, 2);
    memcpy(&value, ev + 12, 4);
    printf("key type %u code %u value %d at %ld ms\n", type, code, value, elapsed_ms());
    fflush(stdout);
  }
  close(fd);
  return 0;
}

int step_shm() {
  void* addr = get_share_memory();
  if (!addr) {
    printf("shm absent\n");
    return 1;
  }
  int id = binary_sem_create_key(SEM_KEY_MEMORY);
  lock_binary_sem(id);
  const unsigned char* rom = static_cast<const unsigned char*>(libupd_get_rom_start_addr(addr));
  printf("shm state %d rom", libupd_get_state(addr));
  for (int i = 0; i < 16; ++i) printf(" %02x", rom[i]);
  printf("\n");
  unlock_binary_sem(id);
  return 0;
}

// mtd-erase DEV START LENGTH, mtd-write DEV OFFSET BYTE COUNT, mtd-remap
// DEV OFFSET SIZE: the program's flash requests through the device-file layer.
int step_mtd(const std::vector<std::string>& s) {
  if (s.size() < 4) return 2;
  int fd = open(s[1].c_str(), O_RDWR);
  if (fd < 0) {
    printf("%s %s: %s\n", s[0].c_str(), s[1].c_str(), strerror(errno));
    return 1;
  }
  auto num = [&](size_t i) { return static_cast<uint32_t>(strtoul(i < s.size() ? s[i].c_str() : "0", nullptr, 0)); };
  long rc = -1;
  if (s[0] == "mtd-erase") {
    erase_info_user region = {num(2), num(3)};
    rc = plat_mtd_erase(fd, &region);
  } else if (s[0] == "mtd-remap") {
    mtd_repair_region region = {num(2), num(3)};
    rc = plat_mtd_addr_repair(fd, &region);
  } else if (lseek(fd, num(2), SEEK_SET) >= 0) {
    std::string data(num(4), static_cast<char>(num(3)));
    rc = plat_mtd_write(fd, data.data(), data.size());
  }
  printf("%s %s: %ld %s\n", s[0].c_str(), s[1].c_str(), rc, rc < 0 ? strerror(errno) : "");
  close(fd);
  return rc < 0 ? 1 : 0;
}

// Returns once the child is connected, so that what the next step sends
// reaches the listener after it.
int step_trickle(int id, int ms) {
  int ready[2];
  if (pipe(ready) != 0) return 1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "/var/ipc/%d", id);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(1);
    const int32_t message[5] = {20, 9, 6, 7, 0};  // length, type, sender, p1, p2
    (void)!write(ready[1], "1", 1);
    for (size_t i = 0; i < sizeof message; ++i) {
      if (write(s, reinterpret_cast<const char*>(message) + i, 1) != 1) _exit(1);
      usleep(static_cast<useconds_t>(ms) * 1000);
    }
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  bool connected = pid > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  printf("trickle %s\n", connected ? "started" : "failed");
  return connected ? 0 : 1;
}

int run_step(const std::vector<std::string>& s) {
  const std::string& name = s[0];
  auto arg = [&](size_t i) { return i < s.size() ? s[i] : std::string(); };
  if (name == "log") {
    rl_log_init("standin", 7);
    rl_log_err("standin error line\n");
    rl_log_info("standin info line\n");
    rl_log_debug("standin debug line\n");
    return 0;
  }
  if (name == "env-set") {
    std::string text = s.size() > 2 ? arg(1) + " " + arg(2) : arg(1);
    int rc = shell_status("echo \"" + text + "\" >/proc/avalanche/env ");
    printf("env-set %s: %d\n", text.c_str(), rc);
    return rc;
  }
  if (name == "cat") return step_cat(arg(1));
  if (name == "chroot-out") return step_chroot_out(arg(1));
  if (name == "frames") return step_frames(atoi(arg(1).c_str()));
  if (name == "reboot") {
    printf("reboot: %d\n", shell_status("reboot"));
    fflush(stdout);
    usleep(static_cast<useconds_t>((s.size() > 1 ? atof(arg(1).c_str()) : 30.0) * 1e6));
    printf("still running after the reboot\n");
    return 0;
  }
  if (name == "sem-hold") {
    int id = binary_sem_create_key(static_cast<int>(strtol(arg(1).c_str(), nullptr, 0)));
    printf("sem-hold %s: %d\n", arg(1).c_str(), try_lock_binary_sem(id));
    return 0;
  }
  if (name == "sem-state") return step_sem_state(static_cast<int>(strtol(arg(1).c_str(), nullptr, 0)));
  if (name == "saver") return step_saver();
  if (name == "broadcast") {
    ipc_register(6);
    ipc_broadcast(atoi(arg(1).c_str()), atoi(arg(2).c_str()), atoi(arg(3).c_str()), nullptr, 0);
    printf("broadcast sent\n");
    return 0;
  }
  if (name == "trickle") return step_trickle(atoi(arg(1).c_str()), atoi(arg(2).c_str()));
  if (name == "keys") return step_keys(atoi(arg(1).c_str()));
  if (name == "shm") return step_shm();
  if (name == "spawn") return shell_status("(sleep " + arg(1) + "; echo leftover done) &");
  if (name == "sh") {
    int rc = shell_status(arg(1));
    printf("sh: %d\n", rc);
    return rc;
  }
  if (name == "watchdog") {
    int fd = open("/dev/misc0", O_RDWR);
    int rc = fd < 0 ? -1 : plat_misc_set(fd, MISC_IOCS_WATCHDOG, static_cast<unsigned>(atoi(arg(1).c_str())));
    if (fd >= 0) close(fd);
    printf("watchdog %s: %d\n", arg(1).c_str(), rc);
    return 0;
  }
  if (name == "sleep") {
    usleep(static_cast<useconds_t>(atof(arg(1).c_str()) * 1e6));
    return 0;
  }
  if (name.rfind("mtd-", 0) == 0) return step_mtd(s);
  if (name == "exit") exit(atoi(arg(1).c_str()));
  printf("unknown step %s\n", name.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  clock_gettime(CLOCK_MONOTONIC, &g_start);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> step;
  for (int i = 1; i <= argc; ++i) {
    if (i == argc || strcmp(argv[i], ",") == 0) {
      if (step.empty()) continue;
      int rc = run_step(step);
      fflush(stdout);
      if (rc != 0) return rc;
      step.clear();
      continue;
    }
    step.push_back(argv[i]);
  }
  return 0;
}
