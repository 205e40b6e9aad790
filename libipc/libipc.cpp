#include "libipc/libipc.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "common/unique_fd.h"
#include "log/rl_log.h"

namespace {

int g_own_id = 0;
int g_listen_sock = 0;
pthread_t g_thread;
bool g_thread_started = false;
ipc_callback g_callback = nullptr;
void* g_user = nullptr;
std::atomic<int> g_quit{0};

// The address length handed to the platform covers the family and the whole
// path field, as the other processes of the phone do.
socklen_t make_address(int id, sockaddr_un* addr) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  snprintf(addr->sun_path, sizeof addr->sun_path, "%s%d", IPC_PATH_PREFIX, id);
  return static_cast<socklen_t>(sizeof *addr);
}

struct free_deleter {
  void operator()(void* p) const { free(p); }
};

int64_t now_ms() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Reads up to `want` bytes, across as many reads as the stream needs, until
// the peer closes or the deadline passes: a whole message gets
// IPC_READ_TIMEOUT_MS, so a peer that trickles bytes cannot hold the queue.
// Returns the count.
int read_fully(int fd, unsigned char* buf, int want, int64_t deadline_ms) {
  int got = 0;
  while (got < want) {
    int64_t left = deadline_ms - now_ms();
    if (left <= 0) break;
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = read(fd, buf + got, static_cast<size_t>(want - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  return got;
}

void serve_connection(int conn) {
  unique_fd fd(conn);
  int64_t deadline = now_ms() + IPC_READ_TIMEOUT_MS;
  int32_t length = 0;
  int got = read_fully(fd.get(), reinterpret_cast<unsigned char*>(&length), 4, deadline);
  if (got < 4) {
    rl_log_err("read len failed: read_len = %d", got);
    return;
  }
  if (length < 8 || length > IPC_MAX_MSG) {
    rl_log_err("msg len failed: msg_len = %d", length);
    return;
  }
  // A message shorter than the header still hands the callback a whole
  // header, its missing fields zero.
  size_t room = length < IPC_HEADER_SIZE ? IPC_HEADER_SIZE : static_cast<size_t>(length);
  std::unique_ptr<unsigned char, free_deleter> buf(static_cast<unsigned char*>(calloc(1, room)));
  if (!buf) {
    rl_log_err("malloc msg buffer failed.");
    return;
  }
  memcpy(buf.get(), &length, 4);
  int rest = read_fully(fd.get(), buf.get() + 4, length - 4, deadline);
  fd.reset();
  if (rest != length - 4) {
    rl_log_err("msg_len != read_len: msg_len = %d, read_len = %d", length - 4, rest);
    return;
  }
  if (g_callback) g_callback(reinterpret_cast<ipc_msg*>(buf.get()), g_user);
}

void* listen_thread_entry(void* arg) {
  ipc_listen_thread(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
  return nullptr;
}

}  // namespace

void ipc_register(int id) { g_own_id = id; }

int ipc_listen(ipc_callback callback, void* user) {
  if (g_own_id <= 0) {
    rl_log_err("registe ipc failed");
    return -1;
  }
  g_callback = callback;
  g_user = user;
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    rl_log_err("create socket failed: %s", strerror(errno));
    return -1;
  }
  sockaddr_un addr;
  socklen_t addr_len = make_address(g_own_id, &addr);
  unlink(addr.sun_path);
  if (bind(sock, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) {
    (void)system("mkdir -p /var/ipc/");
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) {
      int err = errno;
      close(sock);
      unlink(addr.sun_path);
      rl_log_err("bind failed: %s", strerror(err));
      return -1;
    }
  }
  if (listen(sock, 64) != 0) {
    int err = errno;
    close(sock);
    unlink(addr.sun_path);
    rl_log_err("listen failed: %s", strerror(err));
    return -1;
  }
  chmod(addr.sun_path, 0777);
  g_listen_sock = sock;
  int rc = pthread_create(&g_thread, nullptr, listen_thread_entry, reinterpret_cast<void*>(static_cast<intptr_t>(sock)));
  if (rc != 0) {
    rl_log_err("pthread_create failed: %s", strerror(rc));
    return 0;
  }
  g_thread_started = true;
  rl_log_debug("create thread sucess\n");
  return 0;
}

int ipc_listen_thread(int sock) {
  rl_log_debug("This is thread, thread id is %u, gettid()=%d\n", static_cast<unsigned>(pthread_self()),
               static_cast<int>(syscall(SYS_gettid)));
  while (g_quit.load() == 0) {
    int conn = accept(sock, nullptr, nullptr);
    if (conn < 0) {
      rl_log_err("accept failed: %s", strerror(errno));
      continue;
    }
    serve_connection(conn);
  }
  return 0;
}

int ipc_unregister() {
  if (g_thread_started) {
    pthread_cancel(g_thread);
    pthread_join(g_thread, nullptr);
    g_thread_started = false;
  }
  rl_log_debug("leave thread\n");
  g_callback = nullptr;
  g_user = nullptr;
  g_own_id = 0;
  if (g_listen_sock > 0) close(g_listen_sock);
  g_listen_sock = 0;
  return 0;
}

int ipc_send(int dest, int type, int param1, int param2, const void* data, int len) {
  std::unique_ptr<unsigned char, free_deleter> buf(static_cast<unsigned char*>(calloc(1, IPC_MAX_MSG)));
  if (!buf) {
    rl_log_err("memery alloc failed: %s\n", strerror(errno));
    return -1;
  }
  ipc_msg* msg = reinterpret_cast<ipc_msg*>(buf.get());
  msg->type = type;
  msg->sender = g_own_id;
  msg->param1 = param1;
  msg->param2 = param2;
  if (len > IPC_MAX_DATA) {
    rl_log_err("data len %d is larger than %d\n", len, IPC_MAX_DATA);
    return 1;
  }
  int data_len = (data && len >= 1) ? len : 0;
  if (data_len) memcpy(msg->data, data, static_cast<size_t>(data_len));
  msg->length = IPC_HEADER_SIZE + data_len;
  if (g_own_id <= 0) return -1;

  unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    rl_log_err("socket failed: %s", strerror(errno));
    return -1;
  }
  int on = 1;
  if (ioctl(sock.get(), FIONBIO, &on) != 0) {
    rl_log_err("ioctl failed: %s", strerror(errno));
    return -1;
  }
  sockaddr_un addr;
  socklen_t addr_len = make_address(dest, &addr);
  if (connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) return -1;  // nobody listens: normal
  // A peer that closed after the connect gives EPIPE here, not SIGPIPE.
  if (send(sock.get(), buf.get(), static_cast<size_t>(msg->length), MSG_NOSIGNAL) < 0) {
    rl_log_err("write failed: %s\n", strerror(errno));
    return -1;
  }
  return 0;
}

int ipc_broadcast(int type, int param1, int param2, const void* data, int len) {
  for (int id = IPC_FIRST_ID; id <= IPC_LAST_ID; ++id) (void)ipc_send(id, type, param1, param2, data, len);
  return 0;
}

int get_quitflag() { return g_quit.load(); }

int set_quitflag(int flag) {
  g_quit.store(flag);
  return flag;
}

void libipc_show_version() {
  rl_log_info("Init %s, Version %s, Build at %s %s", "libipc", "1.0.0.24", "Apr 20 2023", "03:14:04");
}
