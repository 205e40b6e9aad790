// The bus listener's reading of what a peer sends: any local process can
// connect, so the bytes are arbitrary. Each input goes over a real connection
// to the real listener; a callback reads the message the way every callback
// does (the whole header, then the data the length announces). A marker
// message sent after each input tells that the listener is done with it.
// Runs inside a simulated root (scripts/fuzz.sh), whose /var/ipc is its own.
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "libipc/libipc.h"
#include "log/rl_log.h"

namespace {

constexpr int kOwnId = 6;
constexpr int32_t kMarkerType = 0x5EA1;

std::mutex g_mu;
std::condition_variable g_cv;
int32_t g_markers_seen = 0;
volatile int32_t g_sink;

void on_message(ipc_msg* msg, void*) {
  int32_t x = msg->type ^ msg->sender ^ msg->param1 ^ msg->param2;
  for (int32_t i = 0; i < msg->length - IPC_HEADER_SIZE; ++i) x ^= msg->data[i];
  g_sink = x;
  if (msg->type != kMarkerType || msg->param1 != kMarkerType) return;
  std::lock_guard<std::mutex> lock(g_mu);
  if (msg->param2 > g_markers_seen) g_markers_seen = msg->param2;
  g_cv.notify_all();
}

void send_raw(const uint8_t* data, size_t size) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) __builtin_trap();
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s%d", IPC_PATH_PREFIX, kOwnId);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) __builtin_trap();
  // Blocking: all of it, unless the listener drops the connection early.
  (void)send(fd, data, size, MSG_NOSIGNAL);
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  rl_log_set_level(-1);
  (void)signal(SIGPIPE, SIG_IGN);  // only this side's sends; the listener is what is tested
  ipc_register(kOwnId);
  if (ipc_listen(on_message, nullptr) != 0) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int32_t sequence = 0;
  send_raw(data, size);
  ++sequence;
  if (ipc_send(kOwnId, kMarkerType, kMarkerType, sequence, nullptr, 0) != 0) __builtin_trap();
  std::unique_lock<std::mutex> lock(g_mu);
  g_cv.wait(lock, [] { return g_markers_seen >= sequence; });
  return 0;
}
