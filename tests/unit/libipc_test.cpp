#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

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

sockaddr_un address_of(int id) {
  sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "/var/ipc/%d", id);
  return a;
}

// A bare listener on one id that hands back the raw bytes of each connection.
class RawListener {
 public:
  explicit RawListener(int id) : addr_(address_of(id)) {
    mkdir("/var/ipc", 0777);
    unlink(addr_.sun_path);
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_));
    EXPECT_EQ(0, listen(fd_, 16));
  }
  ~RawListener() {
    close(fd_);
    unlink(addr_.sun_path);
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
    for (ssize_t n; (n = read(c, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(c);
    return out;
  }

 private:
  sockaddr_un addr_;
  int fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
};

// A message's header: length, type, sender's id and the two parameters.
std::string header(int32_t length, int32_t type, int32_t from = 4, int32_t p1 = 11, int32_t p2 = 12) {
  int32_t h[5] = {length, type, from, p1, p2};
  return std::string(reinterpret_cast<char*>(h), sizeof h);
}

// Sending before registration, to nobody, and past the data limit fails;
// only the data limit and the refused listener are worth an error line. A
// listener that goes away after the connect (killapps stops them) is a failed
// write, never a signal that ends the sender: so all of it in a child.
TEST(IpcSend, WireLayoutAndFailures) {
  RawListener l3(3);
  SyslogCapture cap;
  EXPECT_EQ(0, run_in_child([&l3] {
    ipc_unregister();
    EXPECT_EQ(-1, ipc_listen(nullptr, nullptr));
    EXPECT_EQ(-1, ipc_send(3, 4, 1, 0, nullptr, 0));
    EXPECT_EQ("", l3.take());
    ipc_register(6);
    EXPECT_EQ(-1, ipc_send(9, 4, 1, 0, nullptr, 0));  // nobody listens on 9
    EXPECT_EQ(0, ipc_send(3, 4, 2, 0, nullptr, 0));
    EXPECT_EQ(header(20, 4, 6, 2, 0), l3.take());
    std::string data(2048, 'd');
    EXPECT_EQ(0, ipc_send(3, 9, -1, 7, data.data(), 2048));
    EXPECT_EQ(header(2068, 9, 6, -1, 7) + data, l3.take());
    EXPECT_EQ(1, ipc_send(3, 9, 0, 0, (data + "x").data(), 2049));
    EXPECT_EQ("", l3.take());
    EXPECT_EQ(0, ipc_send(3, 1, 0, 0, nullptr, 100));  // a length without data sends the header alone
    EXPECT_EQ(header(20, 1, 6, 0, 0), l3.take());
    g_after_connect = [&l3] { l3.hang_up(); };
    EXPECT_EQ(-1, ipc_send(3, 4, 2, 0, nullptr, 0));
    return ::testing::Test::HasFailure() ? 1 : 0;
  }));
  EXPECT_EQ((std::vector<std::string>{"registe ipc failed", "data len 2049 is larger than 2048\n",
                                      "write failed: Broken pipe\n"}),
            cap.messages(3));
}

TEST(IpcBroadcast, TriesEveryIdIncludingItsOwn) {
  std::vector<std::unique_ptr<RawListener>> all;
  for (int id = 1; id <= 13; ++id) all.push_back(std::make_unique<RawListener>(id));
  ipc_register(6);
  EXPECT_EQ(0, ipc_broadcast(3, 0, 0, nullptr, 0));
  ipc_unregister();
  for (int id = 1; id <= 13; ++id) EXPECT_EQ(id <= 12 ? header(20, 3, 6, 0, 0) : "", all[id - 1]->take()) << id;
}

// A listener on id 5 that keeps what reaches its callback: the whole header
// at least (a short message comes over one), else the announced length.
class IpcListen : public ::testing::Test {
 protected:
  void SetUp() override {
    ipc_register(5);
    ASSERT_EQ(0, ipc_listen(on_message, this));
  }
  void TearDown() override { ipc_unregister(); }
  static void on_message(ipc_msg* msg, void* user) {
    auto* self = static_cast<IpcListen*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->got_.emplace_back(reinterpret_cast<char*>(msg), std::max<size_t>(msg->length, IPC_HEADER_SIZE));
    self->cv_.notify_all();
  }
  // The messages once n came (ten seconds at most, for a loaded machine).
  std::vector<std::string> received(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return got_.size() >= n; });
    return got_;
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> got_;
};

int connect_to(int id) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a = address_of(id);
  EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  return fd;
}

// Sends bytes to id 5 on a new connection; split: the first two bytes, a
// pause for the listener to read them, then the rest.
void send_raw(const std::string& bytes, bool split = false) {
  int fd = connect_to(5);
  for (const std::string& part : split ? std::vector{bytes.substr(0, 2), bytes.substr(2)} : std::vector{bytes}) {
    EXPECT_EQ(static_cast<ssize_t>(part.size()), write(fd, part.data(), part.size()));
    usleep(20000);
  }
  close(fd);
}

// Malformed messages are dropped with their log line and the listener keeps
// serving; a message that arrives in pieces is still delivered whole; a peer
// that connects and sends nothing cannot stall the listener. Messages of 8 to
// 19 bytes reach the callback over a whole header: the fields they do not
// carry read 0.
TEST_F(IpcListen, DropsMalformedMessagesAndKeepsServing) {
  SyslogCapture cap;
  struct stat st;
  ASSERT_EQ(0, stat("/var/ipc/5", &st));
  EXPECT_EQ(0777u, st.st_mode & 0777);
  int silent = connect_to(5);  // sends nothing and stays open
  send_raw(header(7, 1));
  send_raw(header(2069, 1));
  send_raw(header(30, 1) + "abcd");  // announces 30, closes after 24
  for (int32_t length : {8, 12, 16, 19}) send_raw(header(length, 9).substr(0, static_cast<size_t>(length)));
  send_raw(header(24, 2) + "wxyz", true);
  EXPECT_EQ((std::vector<std::string>{header(8, 9, 0, 0, 0), header(12, 9, 4, 0, 0), header(16, 9, 4, 11, 0),
                                      header(19, 9, 4, 11, 12), header(24, 2) + "wxyz"}),
            received(5));
  close(silent);
  EXPECT_EQ((std::vector<std::string>{"read len failed: read_len = 0", "msg len failed: msg_len = 7",
                                      "msg len failed: msg_len = 2069",
                                      "msg_len != read_len: msg_len = 26, read_len = 20"}),
            cap.messages(3));
}

// A peer that sends a byte now and then is cut off within the bound for a
// whole message, though no single gap reaches it; the listener serves the
// next message, though it comes in two writes.
TEST_F(IpcListen, TricklingPeerIsDroppedAndTheNextServed) {
  int fd = connect_to(5);
  for (char c : header(24, 2) + "wxyz") {
    (void)send(fd, &c, 1, MSG_NOSIGNAL);  // fails once the listener hung up
    usleep(IPC_READ_TIMEOUT_MS * 1000 / 8);
  }
  close(fd);
  send_raw(header(20, 7), true);
  EXPECT_EQ(std::vector<std::string>{header(20, 7)}, received(1));
}

}  // namespace
