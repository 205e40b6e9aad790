#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "libipc/libipc.h"
#include "tests/support/files.h"
#include "tests/support/syslog_capture.h"

// Every connect of this program goes through here, so that a test can make
// the peer go away between the sender's connect and its write.
std::function<void()> g_after_connect;
extern "C" int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  int rc = static_cast<int>(syscall(SYS_connect, fd, addr, len));
  if (rc == 0 && g_after_connect) g_after_connect();
  return rc;
}

namespace {

std::string ipc_path(int id) { return "/var/ipc/" + std::to_string(id); }

sockaddr_un address_of(int id) {
  sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", ipc_path(id).c_str());
  return a;
}

// A bare listener on one id that hands back the raw bytes of each connection.
class RawListener {
 public:
  explicit RawListener(int id) {
    mkdir("/var/ipc", 0777);
    unlink(ipc_path(id).c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = address_of(id);
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a));
    EXPECT_EQ(0, listen(fd_, 16));
    path_ = ipc_path(id);
  }
  ~RawListener() {
    close(fd_);
    unlink(path_.c_str());
  }
  // Accepts the next pending connection and closes it unread.
  void hang_up() { close(accept(fd_, nullptr, nullptr)); }
  // Bytes of the next pending connection; "" when none is pending.
  std::string take() {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return "";
    int c = accept(fd_, nullptr, nullptr);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(c, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(c);
    return out;
  }

 private:
  int fd_;
  std::string path_;
};

int32_t word(const std::string& s, size_t i) {
  int32_t v;
  memcpy(&v, s.data() + 4 * i, 4);
  return v;
}

// A message's header: length, type, sender's id and the two parameters.
std::string header(int32_t length, int32_t type, int32_t from = 4, int32_t p1 = 11, int32_t p2 = 12) {
  int32_t h[5] = {length, type, from, p1, p2};
  return std::string(reinterpret_cast<char*>(h), sizeof h);
}

TEST(IpcSend, WireLayoutAndDataLimits) {
  RawListener l3(3);
  SyslogCapture cap;
  ipc_register(6);
  ASSERT_EQ(0, ipc_send(3, 4, 2, 0, nullptr, 0));
  EXPECT_EQ(header(20, 4, 6, 2, 0), l3.take());
  std::string data(2048, 'd');
  ASSERT_EQ(0, ipc_send(3, 9, -1, 7, data.data(), 2048));
  EXPECT_EQ(header(2068, 9, 6, -1, 7) + data, l3.take());

  std::string big(2049, 'x');
  EXPECT_EQ(1, ipc_send(3, 9, 0, 0, big.data(), 2049));
  EXPECT_EQ("", l3.take());
  EXPECT_TRUE(cap.has("data len 2049 is larger than 2048\n", 3));

  // A length without data sends the header alone.
  ASSERT_EQ(0, ipc_send(3, 1, 0, 0, nullptr, 100));
  EXPECT_EQ(header(20, 1, 6, 0, 0), l3.take());
  ipc_unregister();
}

TEST(IpcSend, UnregisteredOrAbsentPeerFailsSilently) {
  RawListener l2(2);
  SyslogCapture cap;
  ipc_unregister();
  EXPECT_EQ(-1, ipc_send(2, 4, 1, 0, nullptr, 0));
  EXPECT_EQ("", l2.take());
  ipc_register(6);
  EXPECT_EQ(-1, ipc_send(9, 4, 1, 0, nullptr, 0));  // nobody listens on 9
  ipc_unregister();
  for (const auto& line : cap.lines()) EXPECT_NE(3, line.level) << line.text;
}

// A listener that goes away after the connect (killapps stops them) is a
// failed write for the sender, never a signal that ends it.
TEST(IpcSend, PeerGoneAfterConnectIsAWriteFailure) {
  RawListener l4(4);
  int status = run_in_child([&l4] {
    SyslogCapture cap;
    ipc_register(6);
    g_after_connect = [&l4] { l4.hang_up(); };
    int rc = ipc_send(4, 4, 2, 0, nullptr, 0);
    g_after_connect = nullptr;
    return rc == -1 && cap.has("write failed: Broken pipe\n", 3) ? 0 : 1;
  });
  EXPECT_EQ(0, status);
}

TEST(IpcBroadcast, TriesEveryIdIncludingItsOwn) {
  std::vector<std::unique_ptr<RawListener>> all;
  for (int id = 1; id <= 12; ++id) all.push_back(std::make_unique<RawListener>(id));
  RawListener extra(13);
  ipc_register(6);
  EXPECT_EQ(0, ipc_broadcast(3, 0, 0, nullptr, 0));
  for (int id = 1; id <= 12; ++id) {
    EXPECT_EQ(header(20, 3, 6, 0, 0), all[static_cast<size_t>(id - 1)]->take()) << "id " << id;
  }
  EXPECT_EQ("", extra.take());
  ipc_unregister();
}

struct Received {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> messages;
  // Waits (ten seconds at most, for a loaded machine) until n messages came.
  bool wait_for(size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return messages.size() >= n; });
  }
};

void on_message(ipc_msg* msg, void* user) {
  auto* r = static_cast<Received*>(user);
  std::lock_guard<std::mutex> lock(r->mu);
  r->messages.emplace_back(reinterpret_cast<char*>(msg), static_cast<size_t>(msg->length));
  r->cv.notify_all();
}

int connect_to(int id) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a = address_of(id);
  EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  return fd;
}

// Sends bytes on a new connection; split: the first two bytes, a pause for
// the listener to read them, then the rest.
void send_raw(int id, const std::string& bytes, bool split = false) {
  int fd = connect_to(id);
  size_t first = split ? 2 : bytes.size();
  EXPECT_EQ(static_cast<ssize_t>(first), write(fd, bytes.data(), first));
  if (split) {
    usleep(20000);
    EXPECT_EQ(static_cast<ssize_t>(bytes.size() - first), write(fd, bytes.data() + first, bytes.size() - first));
  }
  close(fd);
}

// Malformed messages are dropped with their log line and the listener keeps
// serving; a message that arrives in pieces is still delivered whole; a peer
// that connects and sends nothing cannot stall the listener.
TEST(IpcListen, DropsMalformedMessagesAndKeepsServing) {
  SyslogCapture cap;
  Received got;
  ipc_register(5);
  ASSERT_EQ(0, ipc_listen(on_message, &got));
  struct stat st;
  ASSERT_EQ(0, stat("/var/ipc/5", &st));
  EXPECT_EQ(0777u, st.st_mode & 0777);

  int silent = connect_to(5);  // sends nothing and stays open
  send_raw(5, header(7, 1));
  send_raw(5, header(2069, 1));
  send_raw(5, header(30, 1) + "abcd");  // announces 30, closes after 24
  send_raw(5, header(24, 2) + "wxyz", true);
  ASSERT_TRUE(got.wait_for(1));
  close(silent);
  ASSERT_EQ(1u, got.messages.size());
  EXPECT_EQ(header(24, 2) + "wxyz", got.messages[0]);
  EXPECT_TRUE(cap.has("read len failed: read_len = 0", 3));
  EXPECT_TRUE(cap.has("msg len failed: msg_len = 7", 3));
  EXPECT_TRUE(cap.has("msg len failed: msg_len = 2069", 3));
  EXPECT_TRUE(cap.has("msg_len != read_len: msg_len = 26, read_len = 20", 3));
  ipc_unregister();
}

// A peer that sends a byte now and then is cut off within the bound for a
// whole message, though no single gap reaches it; the listener serves the
// next message, though it comes in two writes.
TEST(IpcListen, TricklingPeerIsDroppedAndTheNextServed) {
  Received got;
  ipc_register(5);
  ASSERT_EQ(0, ipc_listen(on_message, &got));
  std::string slow = header(24, 2) + "wxyz";
  int fd = connect_to(5);
  for (char c : slow) {
    (void)send(fd, &c, 1, MSG_NOSIGNAL);  // fails once the listener hung up
    usleep(IPC_READ_TIMEOUT_MS * 1000 / 8);
  }
  close(fd);
  send_raw(5, header(20, 7), true);
  ASSERT_TRUE(got.wait_for(1));
  ASSERT_EQ(1u, got.messages.size());
  EXPECT_EQ(header(20, 7), got.messages[0]);
  ipc_unregister();
}

// Messages of 8 to 19 bytes reach the callback over a whole header: the
// fields they do not carry read 0.
TEST(IpcListen, ShortMessageGivesAWholeZeroFilledHeader) {
  Received got;
  ipc_callback keep_header = [](ipc_msg* msg, void* user) {
    auto* r = static_cast<Received*>(user);
    std::lock_guard<std::mutex> lock(r->mu);
    r->messages.emplace_back(reinterpret_cast<char*>(msg), size_t{IPC_HEADER_SIZE});
    r->cv.notify_all();
  };
  ipc_register(5);
  ASSERT_EQ(0, ipc_listen(keep_header, &got));
  for (int32_t length : {8, 12, 16, 19}) send_raw(5, header(length, 9).substr(0, static_cast<size_t>(length)));
  ASSERT_TRUE(got.wait_for(4));
  ipc_unregister();
  const int32_t want[4][5] = {{8, 9, 0, 0, 0}, {12, 9, 4, 0, 0}, {16, 9, 4, 11, 0}, {19, 9, 4, 11, 12}};
  for (size_t i = 0; i < 4; ++i)
    for (size_t k = 0; k < 5; ++k) EXPECT_EQ(want[i][k], word(got.messages[i], k)) << "message " << i << " word " << k;
}

TEST(IpcListen, RefusedBeforeRegistration) {
  SyslogCapture cap;
  ipc_unregister();
  EXPECT_EQ(-1, ipc_listen(on_message, nullptr));
  EXPECT_TRUE(cap.has("registe ipc failed", 3));
}

}  // namespace
