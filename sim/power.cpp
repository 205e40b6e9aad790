#include "sim/power.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace sim {
namespace {

// Called inside the device root, as the boot's other records.
void record_cut(const std::string& what) {
  FILE* f = fopen("/sim/boot/cut", "w");
  if (!f) return;
  fprintf(f, "%s\n", what.c_str());
  (void)fclose(f);
}

[[noreturn]] void wait_for_the_end() {
  for (;;) pause();
}

}  // namespace

PowerState* power_create() {
  void* m = mmap(nullptr, sizeof(PowerState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  PowerState* p = static_cast<PowerState*>(m);
  memset(p, 0, sizeof *p);
  pthread_mutexattr_t attr;
  (void)pthread_mutexattr_init(&attr);
  (void)pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  (void)pthread_mutex_init(&p->lock, &attr);
  (void)pthread_mutexattr_destroy(&attr);
  return p;
}

void power_enter(PowerState* p) {
  if (!p) return;
  (void)pthread_mutex_lock(&p->lock);
  if (!p->frozen) return;
  (void)pthread_mutex_unlock(&p->lock);
  wait_for_the_end();
}

void power_leave(PowerState* p) {
  if (p) (void)pthread_mutex_unlock(&p->lock);
}

void power_cut_here(PowerState* p, const std::string& what) {
  record_cut(what);
  p->frozen = 1;
  (void)pthread_mutex_unlock(&p->lock);
  (void)kill(1, SIGPWR);  // init of the boot's PID namespace
  wait_for_the_end();
}

void power_freeze(PowerState* p, const std::string& what) {
  (void)pthread_mutex_lock(&p->lock);
  if (!p->frozen) record_cut(what);
  p->frozen = 1;
  (void)pthread_mutex_unlock(&p->lock);
}

std::string power_flash_record(const PowerState& p) {
  char text[256];
  snprintf(text, sizeof text, "erases %ld\nwrites %ld\nerase_ms %.1f\nprogram_ms %.1f\ntotal_ms %.1f\n", p.erases,
           p.writes, p.erase_ms, p.program_ms, p.erase_ms + p.program_ms);
  return text;
}

}  // namespace sim
