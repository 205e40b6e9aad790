// SysV semaphores and shared memory of a boot's IPC namespace: the sets and
// segments a phone that has been up a while already holds (so that the
// program's ids are not 0), and the state a report shows at the end of a boot.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "sim/profile.h"

namespace sim {

// One set or segment made before the program starts. Key 0 is IPC_PRIVATE.
struct SysvObject {
  bool semaphore = true;
  int32_t key = 0;
  uint32_t amount = 1;  // semaphores in the set, or bytes of the segment
};

// The [ipc] section: "sem_sets = N", "shm_segments = N", "sem = KEY NSEMS",
// "shm = KEY SIZE". 0, or -1 with *error naming the key and the value.
int sysv_profile(const Profile& profile, std::vector<SysvObject>* out, std::string* error);

// Creates the objects in the caller's IPC namespace, in order. 0, or -1 with
// *error naming the object.
int sysv_create(const std::vector<SysvObject>& objects, std::string* error);

struct SemSet {
  int32_t key = 0;
  int id = -1;
  std::vector<int> values;
};

struct ShmSegment {
  int32_t key = 0;
  int id = -1;
  uint64_t size = 0;
  uint64_t attached = 0;
};

struct SysvState {
  std::vector<SemSet> sems;
  std::vector<ShmSegment> shms;
};

// Every set and segment of the caller's IPC namespace, in the kernel's order.
// 0, or -1 when the kernel cannot list them.
int sysv_read(SysvState* out);

// The state as record lines ("sem key=0x0000b012 id=1 values=0,1",
// "shm key=0x00001234 id=0 size=4096 attached=1") and back. sysv_parse
// skips no line silently: -1 on the first malformed one.
std::string sysv_format(const SysvState& state);
int sysv_parse(const std::string& text, SysvState* out);

}  // namespace sim
