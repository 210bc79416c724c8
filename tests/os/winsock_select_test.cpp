// WSAAsyncSelect over real sockets on 127.0.0.1: readiness arrives as FD_* messages on the
// window's thread, under Winsock's re-enabling rules.
#include <gtest/gtest.h>

#include <QThread>
#include <string>
#include <thread>
#include <vector>

#include "os/messages.h"
#include "os/winsock.h"
#include "os/winsock_test_peer.h"
#include "os/winsock_watcher_probe.h"
#include "support/event_loop.h"

namespace {

namespace ws = os::ws;
using testing_support::RunEventsUntil;
using testing_support::TestListener;

constexpr unsigned kMessage = os::WM_USER;
constexpr long kAllEvents = ws::FD_READ | ws::FD_WRITE | ws::FD_CONNECT | ws::FD_CLOSE;

struct Seen {
  ws::SOCKET socket;
  long event;
  int error;
  bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& seen, std::ostream* out) {
  *out << "{socket " << seen.socket << ", event " << seen.event << ", error " << seen.error << "}";
}

class NotificationWindow : public os::ComponentWindow {
 public:
  void HandleMessage(const os::Message& message) override {
    if (message.msg != kMessage) return;
    seen.push_back({static_cast<ws::SOCKET>(message.wParam),
                    static_cast<long>(ws::WSAGETSELECTEVENT(message.lParam)),
                    static_cast<int>(ws::WSAGETSELECTERROR(message.lParam))});
    threads.push_back(QThread::currentThread());
  }
  bool WaitFor(std::size_t count) {
    return RunEventsUntil([&] { return seen.size() >= count; });
  }
  std::vector<Seen> seen;
  std::vector<QThread*> threads;
};

class WinsockSelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ws::WSAStartup(0x0101, &data_), 0);
    socket_ = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
    ASSERT_GE(socket_, 0);
  }
  void TearDown() override {
    ws::closesocket(socket_);
    EXPECT_EQ(ws::WSACleanup(), 0);
  }

  int Connect(int port) {
    ws::SOCKADDR_IN address{};
    address.sin_family = ws::WS_AF_INET;
    address.sin_port = (ws::htons)(static_cast<ws::u_short>(port));
    address.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    return ws::connect(socket_, reinterpret_cast<const ws::SOCKADDR*>(&address), sizeof address);
  }

  // Selected for every event, connected and accepted, FD_CONNECT and FD_WRITE taken.
  void ConnectSelected(TestListener& listener) {
    ASSERT_EQ(ws::WSAAsyncSelect(socket_, &window_, kMessage, kAllEvents), 0);
    Connect(listener.Port());
    ASSERT_GE(listener.Accept(), 0);
    ASSERT_TRUE(window_.WaitFor(2));
    window_.seen.clear();
  }

  std::string Receive(int length) {
    std::string bytes(static_cast<std::size_t>(length), '\0');
    const int n = ws::recv(socket_, bytes.data(), length, 0);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
  }

  Seen Notice(long event, int error = 0) const { return {socket_, event, error}; }

  // Every notification that the sockets' present state gives has been handled: one that has
  // not come by now will not come.
  void HandleAllDue() { ASSERT_TRUE(probe_.CompleteAndDeliver()) << "the watcher is stuck"; }

  testing_support::WatcherProbe probe_;
  ws::WSADATA data_{};
  ws::SOCKET socket_ = ws::INVALID_SOCKET;
  NotificationWindow window_;
};

TEST_F(WinsockSelectTest, ConnectGivesFdConnectThenOneFdWrite) {
  TestListener listener;
  ASSERT_EQ(ws::WSAAsyncSelect(socket_, &window_, kMessage, kAllEvents), 0);
  EXPECT_EQ(Connect(listener.Port()), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK) << "WSAAsyncSelect made it non-blocking";
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(window_.WaitFor(2));
  HandleAllDue();
  EXPECT_EQ(window_.seen, (std::vector<Seen>{Notice(ws::FD_CONNECT), Notice(ws::FD_WRITE)}));

  char byte;
  EXPECT_EQ(ws::recv(socket_, &byte, 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK) << "a recv never waits";
}

TEST_F(WinsockSelectTest, FdReadOnceAndAgainOnlyAfterARecv) {
  TestListener listener;
  ConnectSelected(listener);
  ASSERT_TRUE(listener.Send("abc"));
  ASSERT_TRUE(window_.WaitFor(1));
  ASSERT_TRUE(listener.Send("def"));
  HandleAllDue();
  EXPECT_EQ(window_.seen, std::vector<Seen>{Notice(ws::FD_READ)}) << "no second FD_READ yet";

  EXPECT_EQ(Receive(2), "ab");
  ASSERT_TRUE(window_.WaitFor(2)) << "data remains after the recv";
  EXPECT_EQ(Receive(100), "cdef");
  HandleAllDue();
  EXPECT_EQ(window_.seen.size(), 2u) << "nothing left to read";
  ASSERT_TRUE(listener.Send("g"));
  ASSERT_TRUE(window_.WaitFor(3));
  EXPECT_EQ(window_.seen[2], Notice(ws::FD_READ));
}

TEST_F(WinsockSelectTest, OrderlyCloseComesAfterTheLastDataIsRead) {
  TestListener listener;
  ConnectSelected(listener);
  ASSERT_TRUE(listener.Send("last words"));
  listener.Close();
  ASSERT_TRUE(window_.WaitFor(1));
  HandleAllDue();
  EXPECT_EQ(window_.seen, std::vector<Seen>{Notice(ws::FD_READ)}) << "data first, close held";

  EXPECT_EQ(Receive(100), "last words");
  ASSERT_TRUE(window_.WaitFor(2));
  HandleAllDue();
  EXPECT_EQ(window_.seen, (std::vector<Seen>{Notice(ws::FD_READ), Notice(ws::FD_CLOSE)}));
  EXPECT_EQ(Receive(100), "") << "end of stream";
  HandleAllDue();
  EXPECT_EQ(window_.seen.size(), 2u) << "FD_CLOSE comes once";
}

TEST_F(WinsockSelectTest, FdWriteAgainOnlyAfterASendWouldBlock) {
  TestListener listener;
  const int small = 4096;
  ASSERT_EQ(ws::setsockopt(socket_, ws::WS_SOL_SOCKET, ws::WS_SO_SNDBUF,
                           reinterpret_cast<const char*>(&small), sizeof small),
            0);
  ConnectSelected(listener);
  ::setsockopt(listener.Peer(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string block(65536, 'x');
  std::size_t sent = 0;
  int result;
  while ((result = ws::send(socket_, block.data(), static_cast<int>(block.size()), 0)) > 0) {
    sent += static_cast<std::size_t>(result);
    ASSERT_LT(sent, 64u << 20) << "the peer reads nothing, so the buffers must fill";
  }
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
  HandleAllDue();
  EXPECT_TRUE(window_.seen.empty()) << "no room yet";

  EXPECT_EQ(listener.Receive(sent).size(), sent);
  ASSERT_TRUE(window_.WaitFor(1));
  HandleAllDue();
  EXPECT_EQ(window_.seen, std::vector<Seen>{Notice(ws::FD_WRITE)});
}

TEST_F(WinsockSelectTest, CancelledRequestAndClosedSocketPostNothing) {
  TestListener listener;
  ConnectSelected(listener);
  ASSERT_EQ(ws::WSAAsyncSelect(socket_, &window_, kMessage, 0), 0);
  ASSERT_TRUE(listener.Send("unheard"));
  HandleAllDue();
  EXPECT_TRUE(window_.seen.empty());

  ws::u_long blocking = 0;
  EXPECT_EQ(ws::ioctlsocket(socket_, ws::WS_FIONBIO, &blocking), 0) << "allowed once cancelled";
  ASSERT_EQ(ws::WSAAsyncSelect(socket_, &window_, kMessage, kAllEvents), 0);
  EXPECT_EQ(ws::ioctlsocket(socket_, ws::WS_FIONBIO, &blocking), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL) << "not while a request is in force";
  ASSERT_TRUE(window_.WaitFor(2)) << "a new request records what already holds";
  EXPECT_EQ(window_.seen, (std::vector<Seen>{Notice(ws::FD_READ), Notice(ws::FD_WRITE)}));

  window_.seen.clear();
  ASSERT_EQ(ws::closesocket(socket_), 0);
  listener.Close();
  HandleAllDue();
  EXPECT_TRUE(window_.seen.empty()) << "closesocket ends the request";
  socket_ = ws::INVALID_SOCKET;
}

TEST_F(WinsockSelectTest, ForgottenWindowReceivesNothing) {
  TestListener listener;
  ConnectSelected(listener);
  ws::ForgetWindow(&window_);
  ASSERT_TRUE(listener.Send("unheard"));
  listener.Close();
  HandleAllDue();
  EXPECT_TRUE(window_.seen.empty());
}

TEST_F(WinsockSelectTest, ConnectOnAnotherThreadNotifiesTheWindowThread) {
  TestListener listener;
  std::thread worker([&] {
    ws::WSAAsyncSelect(socket_, &window_, kMessage, kAllEvents);
    Connect(listener.Port());
  });
  worker.join();
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(window_.WaitFor(2));
  EXPECT_EQ(window_.seen[0], Notice(ws::FD_CONNECT));
  for (QThread* thread : window_.threads) EXPECT_EQ(thread, QThread::currentThread());
}

}  // namespace
