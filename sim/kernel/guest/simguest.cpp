// simguest: the simulator's helpers inside a real-kernel guest (mipsel,
// static), started by the guest's init (init.sh):
//
//   simguest now                          CLOCK_MONOTONIC in ns: the boot's start
//   simguest procfs ROOT START_NS [FAULT]... the phone kernel's /proc files on ROOT/proc,
//                                         served chrooted into ROOT
//   simguest listen ROOT START_NS READYFILE
//                                         the IPC bus listener, chrooted into ROOT;
//                                         creates READYFILE once every socket listens;
//                                         SIGTERM records what still waits, then ends
//   simguest run ROOT START_NS PIDFILE -- COMMAND...
//                                         the program, chrooted, output on the
//                                         console record; answers its status and
//                                         leaves its peak resident set in the result
//
// They are the very code the host simulator runs, so that a kernel file or a
// record means the same on both.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim/actors.h"
#include "sim/procfs.h"

namespace {

constexpr int kOwnIpcId = 6;
constexpr int kDrainWaitMs = 5000;

int usage() {
  fprintf(stderr,
          "usage: simguest now\n"
          "       simguest procfs ROOT START_NS [env_read|env_write|hwver_read|refresh]...\n"
          "       simguest listen ROOT START_NS READYFILE\n"
          "       simguest run ROOT START_NS PIDFILE -- COMMAND...\n");
  return 2;
}

bool parse_ns(const char* text, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

void append(const std::string& path, const std::string& line) {
  FILE* f = fopen(path.c_str(), "a");
  if (!f) return;
  fprintf(f, "%s\n", line.c_str());
  fclose(f);
}

double ms_since(int64_t start_ns) { return static_cast<double>(sim::monotonic_ns() - start_ns) / 1e6; }

int cmd_procfs(const std::string& root, int64_t start, int argc, char** argv) {
  sim::ProcfsOptions o;
  o.boot_start_ns = start;
  for (int i = 0; i < argc; ++i) {
    std::string f = argv[i];
    if (f == "env_read") o.env_read_fails = true;
    else if (f == "env_write") o.env_write_fails = true;
    else if (f == "hwver_read") o.hwver_read_fails = true;
    else if (f == "refresh") o.refresh_fails = true;
    else return usage();
  }
  // The server forks nothing; readiness is the mount, which init waits for.
  int fds[2];
  if (pipe(fds) != 0) return 1;
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    close(fds[0]);
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(1);
    _exit(sim::procfs_serve(o, fds[1]) == 0 ? 0 : 1);
  }
  close(fds[1]);
  char byte;
  ssize_t n;
  do n = read(fds[0], &byte, 1);
  while (n < 0 && errno == EINTR);
  // Ready (or failed): the parent answers, the server stays in the background.
  return n == 1 ? 0 : 1;
}

int cmd_listen(const std::string& root, int64_t start, const std::string& ready_file) {
  int ready[2], drain[2], ack[2];
  if (pipe(ready) != 0 || pipe(drain) != 0 || pipe(ack) != 0) return 1;
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(1);
    sim::ipc_listener_main(kOwnIpcId, start, ready[1], drain[0], ack[1]);
  }
  close(ready[1]);
  char byte = 0;
  if (read(ready[0], &byte, 1) != 1) return 1;
  append(ready_file, "ready");
  int sig = 0;
  sigwait(&term, &sig);
  // Messages sent before the end wait in the sockets' backlogs.
  if (write(drain[1], &byte, 1) == 1) {
    struct pollfd p = {ack[0], POLLIN, 0};
    if (poll(&p, 1, kDrainWaitMs) > 0) (void)!read(ack[0], &byte, 1);
  }
  kill(pid, SIGKILL);
  (void)waitpid(pid, nullptr, 0);
  return 0;
}

int cmd_run(const std::string& root, int64_t start, const std::string& pidfile, int argc, char** argv) {
  if (argc < 1) return usage();
  const std::string boot = root + "/sim/boot";
  int console = open((boot + "/console").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (console < 0) return 125;
  pid_t pid = fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    dup2(console, 1);
    dup2(console, 2);
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(125);
    setenv("PATH", "/bin:/sbin:/usr/bin", 1);
    execv(argv[0], argv);
    fprintf(stderr, "simguest: exec %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  char line[64];
  snprintf(line, sizeof line, "program_start_ms %.1f", ms_since(start));
  append(boot + "/result", line);
  append(pidfile, std::to_string(pid));
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 125;
  }
  append(boot + "/result", "max_rss_kb " + std::to_string(usage.ru_maxrss));
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "now") {
    printf("%lld\n", static_cast<long long>(sim::monotonic_ns()));
    return 0;
  }
  int64_t start = 0;
  if (argc < 4 || !parse_ns(argv[3], &start)) return usage();
  std::string root = argv[2];
  if (cmd == "procfs") return cmd_procfs(root, start, argc - 4, argv + 4);
  if (cmd == "listen" && argc == 5) return cmd_listen(root, start, argv[4]);
  if (cmd == "run" && argc >= 6 && strcmp(argv[5], "--") == 0) return cmd_run(root, start, argv[4], argc - 6, argv + 6);
  return usage();
}
