// The bus listener's reading of what a peer sends: any local process can
// connect, so the bytes are arbitrary. Each input goes over a real connection
// to the real listener; a callback reads the message the way every callback
// does (the whole header, then the data the length announces). The listener
// serves one connection after the other, so an empty second connection,
// closed by the listener, tells that it is done with the input: a sign no
// bytes of the input can forge (a marker message could be, and was).
// Runs inside a simulated root (scripts/fuzz.sh), whose /var/ipc is its own.
#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "libipc/libipc.h"
#include "log/rl_log.h"

namespace {

constexpr int kOwnId = 6;
volatile int32_t g_sink;

void on_message(ipc_msg* msg, void*) {
  int32_t x = msg->type ^ msg->sender ^ msg->param1 ^ msg->param2;
  for (int32_t i = 0; i < msg->length - IPC_HEADER_SIZE; ++i) x ^= msg->data[i];
  g_sink = x;
}

int connect_to_listener() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) __builtin_trap();
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s%d", IPC_PATH_PREFIX, kOwnId);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) __builtin_trap();
  return fd;
}

void send_raw(const uint8_t* data, size_t size) {
  int fd = connect_to_listener();
  // Blocking: all of it, unless the listener drops the connection early.
  (void)send(fd, data, size, MSG_NOSIGNAL);
  close(fd);
}

// Returns once the listener has closed an empty connection, which it reaches
// only after the one before it, callback included.
void wait_for_the_listener() {
  int fd = connect_to_listener();
  if (shutdown(fd, SHUT_WR) != 0) __builtin_trap();
  char byte;
  ssize_t n;
  while ((n = read(fd, &byte, 1)) != 0)
    if (n < 0 && errno != EINTR) __builtin_trap();
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
  send_raw(data, size);
  wait_for_the_listener();
  return 0;
}
