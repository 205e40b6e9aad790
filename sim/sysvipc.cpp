#include "sim/sysvipc.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <set>
#include <sstream>
#include <utility>

namespace sim {
namespace {

// Keys of the sets and segments "sem_sets" and "shm_segments" make: away
// from the keys the phone's own processes use (0xA130, 0xB012, 0xC002..).
constexpr uint32_t kFillerSemKey = 0x5E000001;
constexpr uint32_t kFillerShmKey = 0x5F000001;
constexpr uint32_t kFillerShmSize = 4096;
// Sane bounds, well inside the kernel's defaults (SEMMSL 32000, SHMMAX).
constexpr uint64_t kMaxFillers = 64;
constexpr uint64_t kMaxSemsInSet = 250;
constexpr uint64_t kMaxSegmentSize = 64ull << 20;
constexpr uint64_t kMaxKey = 0xFFFFFFFF;
// semctl's fourth argument, which the caller defines.
union semun {
  int val;
  struct semid_ds* buf;
  unsigned short* array;
  struct seminfo* info;
};

// Decimal or 0x hex digits only: no sign, no blank, no suffix; at most `max`.
bool parse_number(const std::string& text, uint64_t max, uint64_t* out) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  size_t i = hex ? 2 : 0;
  if (i >= text.size()) return false;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return false;
    uint64_t base = hex ? 16 : 10;
    if (v > (max - static_cast<uint64_t>(d)) / base) return false;
    v = v * base + static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}

int refuse(std::string* error, const std::string& key, const std::string& value, const std::string& why) {
  if (error) *error = "[ipc] " + key + " = \"" + value + "\": " + why;
  return -1;
}

// "KEY AMOUNT" of an explicit sem or shm line.
int parse_object(const std::string& key, const std::string& value, SysvObject* out, std::string* error) {
  std::vector<std::string> w = split_words(value);
  bool sem = key == "sem";
  uint64_t max = sem ? kMaxSemsInSet : kMaxSegmentSize;
  uint64_t k = 0, amount = 0;
  if (w.size() != 2) return refuse(error, key, value, sem ? "expected KEY NSEMS" : "expected KEY SIZE");
  if (!parse_number(w[0], kMaxKey, &k)) return refuse(error, key, value, "the key is not a number up to 0xFFFFFFFF");
  if (!parse_number(w[1], max, &amount) || amount == 0)
    return refuse(error, key, value, "the " + std::string(sem ? "number of semaphores" : "size") + " is not a number from 1 to " +
                                         std::to_string(max));
  out->semaphore = sem;
  out->key = static_cast<int32_t>(static_cast<uint32_t>(k));
  out->amount = static_cast<uint32_t>(amount);
  return 0;
}

int create_one(const SysvObject& o, std::string* error) {
  key_t key = o.key == 0 ? IPC_PRIVATE : static_cast<key_t>(o.key);
  int id = o.semaphore ? semget(key, static_cast<int>(o.amount), IPC_CREAT | IPC_EXCL | 0666)
                       : shmget(key, o.amount, IPC_CREAT | IPC_EXCL | 0666);
  if (id >= 0) return 0;
  char text[128];
  snprintf(text, sizeof text, "%s key 0x%08x (%u %s): %s", o.semaphore ? "semaphore set" : "shared-memory segment",
           static_cast<uint32_t>(o.key), o.amount, o.semaphore ? "semaphores" : "bytes", strerror(errno));
  if (error) *error = text;
  return -1;
}

int read_sems(std::vector<SemSet>* out) {
  struct seminfo info;
  semun arg;
  arg.info = &info;
  int highest = semctl(0, 0, SEM_INFO, arg);
  if (highest < 0) return -1;
  for (int index = 0; index <= highest; ++index) {
    struct semid_ds ds;
    arg.buf = &ds;
    int id = semctl(index, 0, SEM_STAT, arg);
    if (id < 0) continue;  // a free slot
    SemSet s;
    s.key = static_cast<int32_t>(ds.sem_perm.__key);
    s.id = id;
    std::vector<unsigned short> values(ds.sem_nsems);
    arg.array = values.data();
    if (!values.empty() && semctl(id, 0, GETALL, arg) != 0) continue;  // removed meanwhile
    s.values.assign(values.begin(), values.end());
    out->push_back(s);
  }
  return 0;
}

int read_shms(std::vector<ShmSegment>* out) {
  struct shm_info info;
  int highest = shmctl(0, SHM_INFO, reinterpret_cast<struct shmid_ds*>(&info));
  if (highest < 0) return -1;
  for (int index = 0; index <= highest; ++index) {
    struct shmid_ds ds;
    int id = shmctl(index, SHM_STAT, &ds);
    if (id < 0) continue;
    out->push_back(ShmSegment{static_cast<int32_t>(ds.shm_perm.__key), id, ds.shm_segsz, ds.shm_nattch});
  }
  return 0;
}

// "name=value" words of a record line, in order.
bool word_value(const std::string& word, const char* name, std::string* value) {
  size_t n = strlen(name);
  if (word.size() <= n || word.compare(0, n, name) != 0 || word[n] != '=') return false;
  *value = word.substr(n + 1);
  return true;
}

bool parse_int_field(const std::string& word, const char* name, uint64_t max, uint64_t* out) {
  std::string v;
  return word_value(word, name, &v) && parse_number(v, max, out);
}

int parse_sem_line(const std::vector<std::string>& w, SysvState* out) {
  uint64_t key = 0, id = 0;
  std::string list;
  if (w.size() != 4 || !parse_int_field(w[1], "key", kMaxKey, &key) || !parse_int_field(w[2], "id", INT32_MAX, &id) ||
      !word_value(w[3], "values", &list))
    return -1;
  SemSet s{static_cast<int32_t>(static_cast<uint32_t>(key)), static_cast<int>(id), {}};
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) {
    uint64_t v = 0;
    if (!parse_number(item, 0xFFFF, &v)) return -1;
    s.values.push_back(static_cast<int>(v));
  }
  out->sems.push_back(s);
  return 0;
}

int parse_shm_line(const std::vector<std::string>& w, SysvState* out) {
  uint64_t key = 0, id = 0, size = 0, attached = 0;
  if (w.size() != 5 || !parse_int_field(w[1], "key", kMaxKey, &key) || !parse_int_field(w[2], "id", INT32_MAX, &id) ||
      !parse_int_field(w[3], "size", UINT64_MAX, &size) || !parse_int_field(w[4], "attached", UINT64_MAX, &attached))
    return -1;
  out->shms.push_back(ShmSegment{static_cast<int32_t>(static_cast<uint32_t>(key)), static_cast<int>(id), size, attached});
  return 0;
}

// A second set (or segment) with a key an earlier one has: refused here by
// name, rather than by the kernel's "File exists" when it is made.
int add_object(const SysvObject& o, const std::string& key, const std::string& value,
               std::set<std::pair<bool, int32_t>>* keys, std::vector<SysvObject>* objects, std::string* error) {
  if (o.key != 0 && !keys->emplace(o.semaphore, o.key).second) {
    char why[96];
    snprintf(why, sizeof why, "duplicate: a %s with key 0x%08x is already made", o.semaphore ? "set" : "segment",
             static_cast<uint32_t>(o.key));
    return refuse(error, key, value, why);
  }
  objects->push_back(o);
  return 0;
}

}  // namespace

int sysv_profile(const Profile& p, std::vector<SysvObject>* out, std::string* error) {
  std::vector<SysvObject> objects;
  std::set<std::pair<bool, int32_t>> keys;
  const ProfileSection* s = p.section("ipc");
  for (const auto& [key, value] : s ? s->entries : std::vector<std::pair<std::string, std::string>>{}) {
    if (key == "sem" || key == "shm") {
      SysvObject o;
      if (parse_object(key, value, &o, error) != 0 || add_object(o, key, value, &keys, &objects, error) != 0) return -1;
    } else if (key == "sem_sets" || key == "shm_segments") {
      uint64_t n = 0;
      if (!parse_number(value, kMaxFillers, &n))
        return refuse(error, key, value, "not a number from 0 to " + std::to_string(kMaxFillers));
      bool sem = key == "sem_sets";
      for (uint32_t i = 0; i < n; ++i) {
        SysvObject o{sem, static_cast<int32_t>((sem ? kFillerSemKey : kFillerShmKey) + i), sem ? 1u : kFillerShmSize};
        if (add_object(o, key, value, &keys, &objects, error) != 0) return -1;
      }
    } else {
      return refuse(error, key, value, "unknown key (sem_sets, shm_segments, sem, shm)");
    }
  }
  *out = objects;
  return 0;
}

int sysv_create(const std::vector<SysvObject>& objects, std::string* error) {
  for (const SysvObject& o : objects)
    if (create_one(o, error) != 0) return -1;
  return 0;
}

int sysv_read(SysvState* out) {
  SysvState s;
  if (read_sems(&s.sems) != 0 || read_shms(&s.shms) != 0) return -1;
  *out = s;
  return 0;
}

std::string sysv_format(const SysvState& state) {
  std::string text;
  char line[160];
  for (const SemSet& s : state.sems) {
    snprintf(line, sizeof line, "sem key=0x%08x id=%d values=", static_cast<uint32_t>(s.key), s.id);
    text += line;
    for (size_t i = 0; i < s.values.size(); ++i) text += (i ? "," : "") + std::to_string(s.values[i]);
    text += "\n";
  }
  for (const ShmSegment& m : state.shms) {
    snprintf(line, sizeof line, "shm key=0x%08x id=%d size=%" PRIu64 " attached=%" PRIu64 "\n",
             static_cast<uint32_t>(m.key), m.id, m.size, m.attached);
    text += line;
  }
  return text;
}

int sysv_parse(const std::string& text, SysvState* out) {
  SysvState s;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> w = split_words(line);
    if (w.empty()) continue;
    int rc = w[0] == "sem" ? parse_sem_line(w, &s) : w[0] == "shm" ? parse_shm_line(w, &s) : -1;
    if (rc != 0) return -1;
  }
  *out = s;
  return 0;
}

}  // namespace sim
