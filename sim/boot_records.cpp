#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "sim/boot_parts.h"

namespace sim {

void Boot::record(const std::string& name, const std::string& text) {
  FILE* f = fopen((boot_dir + "/" + name).c_str(), "a");
  if (!f) return;
  fprintf(f, "%s\n", text.c_str());
  fclose(f);
}

// Everything the program sent to syslog before the end is in the file once
// a line sent now is there: the daemon reads its socket in order.
void Boot::flush_syslog() {
  if (syslogd < 0) return;
  char marker[96];
  snprintf(marker, sizeof marker, "<47>simdev-flush: end of boot %lld", static_cast<long long>(monotonic_ns()));
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return;
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "/dev/log");
  ssize_t sent = sendto(s, marker, strlen(marker), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  close(s);
  if (sent < 0) return;
  std::string needle = strchr(marker, ':') + 2;
  for (int i = 0; i < 300; ++i) {
    std::ifstream in(boot_dir + "/messages");
    std::stringstream ss;
    ss << in.rdbuf();
    if (ss.str().find(needle) != std::string::npos) return;
    usleep(10000);
  }
}

// Messages sent before the end wait in the sockets' backlogs: have the
// listener record them before the boot goes.
void Boot::drain_listener() {
  if (listener_drain < 0) return;
  char one = 1;
  if (write(listener_drain, &one, 1) != 1) return;
  struct pollfd p = {listener_ack, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(kConnectionLimitMs) + 2000) > 0) (void)!read(listener_ack, &one, 1);
}

// VmHWM of a live process of the boot, in KiB (-1 when it is gone), and
// what its resident pages are now: private, file-backed (mapped files and
// libraries), shared memory.
long Boot::live_max_rss_kb(pid_t pid, std::string* composition) const {
  std::ifstream in("/sim/realproc/" + std::to_string(pid) + "/status");
  std::string line;
  long hwm = -1, anon = 0, file = 0, shmem = 0;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) hwm = atol(line.c_str() + 6);
    else if (line.rfind("RssAnon:", 0) == 0) anon = atol(line.c_str() + 8);
    else if (line.rfind("RssFile:", 0) == 0) file = atol(line.c_str() + 8);
    else if (line.rfind("RssShmem:", 0) == 0) shmem = atol(line.c_str() + 9);
  }
  if (hwm >= 0)
    *composition = "rss_end_kb anon " + std::to_string(anon) + " file " + std::to_string(file) + " shmem " +
                   std::to_string(shmem);
  return hwm;
}

// Only init can see the boot's semaphores and segments: they go with it.
void Boot::record_sysv_state() {
  SysvState state;
  if (sysv_read(&state) != 0) return;
  FILE* f = fopen((boot_dir + "/sysvipc").c_str(), "w");
  if (!f) return;
  std::string text = sysv_format(state);
  (void)fwrite(text.data(), 1, text.size(), f);
  (void)fclose(f);
}

[[noreturn]] void Boot::finish(const std::string& how, int code) {
  if (o.device.enabled) {
    drain_listener();
    flush_syslog();
    record_sysv_state();
    std::string composition;
    long max_rss_kb = program_max_rss_kb >= 0 ? program_max_rss_kb : live_max_rss_kb(program, &composition);
    char line[64];
    snprintf(line, sizeof line, "end_ms %.1f", ms(monotonic_ns()));
    record("result", "end " + how);
    record("result", line);
    if (max_rss_kb >= 0) record("result", "max_rss_kb " + std::to_string(max_rss_kb));
    if (!composition.empty()) record("result", composition);
    record_flash();
  }
  _exit(code);
}

void Boot::record_flash() {
  if (!power) return;
  FILE* f = fopen((boot_dir + "/flash").c_str(), "w");
  if (!f) return;
  (void)fputs(power_flash_record(*power).c_str(), f);
  (void)fclose(f);
}

// The power is gone: every process dies at once, before anything else
// happens; only the simulator's records are written after.
[[noreturn]] void Boot::power_cut() {
  (void)kill(-1, SIGKILL);
  char line[64];
  snprintf(line, sizeof line, "end_ms %.1f", ms(monotonic_ns()));
  record("result", "end cut");
  record("result", line);
  record_flash();
  _exit(0);
}

}  // namespace sim
