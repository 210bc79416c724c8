// WSAAsyncSelect over real sockets on 127.0.0.1: readiness arrives as FD_* messages on the
// window's thread, under Winsock's re-enabling rules.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QtGlobal>
#include <atomic>
#include <map>
#include <mutex>
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
using testing_support::WaitForDescriptor;

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

// What Qt warns about while it lives: a socket notifier made or switched on the wrong thread,
// or left on a descriptor that was closed, shows here.
class QtWarnings {
 public:
  QtWarnings() { previous_ = qInstallMessageHandler(&Record); }
  ~QtWarnings() { qInstallMessageHandler(previous_); }
  QtWarnings(const QtWarnings&) = delete;
  QtWarnings& operator=(const QtWarnings&) = delete;

  static std::vector<std::string> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  static void Record(QtMsgType, const QMessageLogContext&, const QString& text) {
    std::lock_guard lock(mutex_);
    seen_.push_back(text.toStdString());
  }
  static inline std::mutex mutex_;
  static inline std::vector<std::string> seen_;
  QtMessageHandler previous_;
};

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

TEST_F(WinsockSelectTest, ConnectOnAnotherThreadWhileTheWindowThreadRunsEvents) {
  QtWarnings warnings;
  TestListener listener;
  std::atomic<bool> requested{false};
  // The first request of the library, so the window thread's watch is set up from here.
  std::thread worker([&] {
    ws::WSAAsyncSelect(socket_, &window_, kMessage, kAllEvents);
    Connect(listener.Port());
    requested = true;
  });
  const bool connected = window_.WaitFor(2);
  worker.join();
  ASSERT_TRUE(connected && requested);
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(listener.Send("hello"));
  ASSERT_TRUE(window_.WaitFor(3));
  HandleAllDue();
  EXPECT_EQ(window_.seen,
            (std::vector<Seen>{Notice(ws::FD_CONNECT), Notice(ws::FD_WRITE), Notice(ws::FD_READ)}));
  for (QThread* thread : window_.threads) EXPECT_EQ(thread, QThread::currentThread());
  EXPECT_EQ(QtWarnings::Seen(), std::vector<std::string>{});
}

TEST_F(WinsockSelectTest, SocketClosedWithReadinessPendingPostsNothing) {
  QtWarnings warnings;
  TestListener listener;
  ConnectSelected(listener);
  ASSERT_TRUE(listener.Send("unheard"));
  ASSERT_TRUE(WaitForDescriptor(socket_, POLLIN, 5000)) << "ready, not yet taken";
  ASSERT_EQ(ws::closesocket(socket_), 0);
  socket_ = ws::INVALID_SOCKET;
  listener.Close();
  HandleAllDue();
  EXPECT_TRUE(window_.seen.empty());
  EXPECT_EQ(QtWarnings::Seen(), std::vector<std::string>{});
}

// Notifications found in one look of the loop go one after the other; one whose socket a
// handler before it closed never arrives.
TEST_F(WinsockSelectTest, NoticeFoundWithOthersStopsWhenAnEarlierHandlerClosesItsSocket) {
  TestListener listener;
  ConnectSelected(listener);
  const ws::SOCKET first = socket_;
  const int firstPeer = listener.Peer();
  socket_ = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
  ASSERT_GE(socket_, 0);
  ConnectSelected(listener);
  const ws::SOCKET second = socket_;
  // Whichever is handed on first closes the other, as an owner that gives a connection up.
  struct ClosingWindow : NotificationWindow {
    void HandleMessage(const os::Message& message) override {
      NotificationWindow::HandleMessage(message);
      const auto heard = static_cast<ws::SOCKET>(message.wParam);
      const ws::SOCKET other = heard == pair[0] ? pair[1] : pair[0];
      if (seen.size() == 1) ws::closesocket(other);
      closed = other;
    }
    ws::SOCKET pair[2] = {ws::INVALID_SOCKET, ws::INVALID_SOCKET};
    ws::SOCKET closed = ws::INVALID_SOCKET;
  } closing;
  closing.pair[0] = first;
  closing.pair[1] = second;
  for (const ws::SOCKET s : {first, second}) {
    ASSERT_EQ(ws::WSAAsyncSelect(s, &closing, kMessage, ws::FD_READ | ws::FD_CLOSE), 0);
  }
  ASSERT_EQ(::send(firstPeer, "1", 1, MSG_NOSIGNAL), 1);
  ASSERT_TRUE(listener.Send("2"));
  for (const ws::SOCKET s : {first, second}) {
    ASSERT_TRUE(WaitForDescriptor(s, POLLIN, 5000)) << "both ready before the loop looks";
  }
  ASSERT_TRUE(closing.WaitFor(1));
  HandleAllDue();
  ASSERT_EQ(closing.seen.size(), 1u) << "the closed socket was heard of";
  socket_ = closing.closed == first ? second : first;  // the one still open, for TearDown
  ::close(firstPeer);
}

// A handler that ends the socket layer (the last WSACleanup ends the watchers) while its
// notification is being handed on, then runs a nested loop (as a box does): the watcher that is
// handing it on goes only after the handler has returned.
TEST_F(WinsockSelectTest, LastCleanupInsideAHandlerEndsTheWatcherAfterIt) {
  TestListener listener;
  ConnectSelected(listener);
  struct EndingWindow : NotificationWindow {
    void HandleMessage(const os::Message& message) override {
      NotificationWindow::HandleMessage(message);
      ws::closesocket(static_cast<ws::SOCKET>(message.wParam));
      while (ws::WSACleanup() == 0) {
      }
      QCoreApplication::sendPostedEvents();  // the watcher's end, queued, comes now
    }
  } ending;
  ASSERT_EQ(ws::WSAAsyncSelect(socket_, &ending, kMessage, ws::FD_READ | ws::FD_CLOSE), 0);
  ASSERT_TRUE(listener.Send("last words"));
  ASSERT_TRUE(ending.WaitFor(1));
  QCoreApplication::sendPostedEvents();  // the watcher's own end, queued behind
  socket_ = ws::INVALID_SOCKET;
  ASSERT_EQ(ws::WSAStartup(0x0101, &data_), 0);  // for TearDown's cleanup
}

TEST_F(WinsockSelectTest, SocketClosedOnAnotherThreadWhileWatchedLeavesTheWatchWorking) {
  QtWarnings warnings;
  TestListener first;
  ConnectSelected(first);
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    ws::closesocket(socket_);
    closed = true;
  });
  const bool closedInTime = testing_support::RunEventsUntil([&] { return closed.load(); });
  closer.join();
  ASSERT_TRUE(closedInTime);
  EXPECT_TRUE(first.SeesEnd()) << "closed for the peer as well";
  HandleAllDue();
  EXPECT_TRUE(window_.seen.empty()) << "nothing for the closed socket";

  socket_ = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
  TestListener second;
  ConnectSelected(second);
  ASSERT_TRUE(second.Send("heard"));
  ASSERT_TRUE(window_.WaitFor(1)) << "the window thread still watches";
  EXPECT_EQ(window_.seen, std::vector<Seen>{Notice(ws::FD_READ)});
  EXPECT_EQ(QtWarnings::Seen(), std::vector<std::string>{});
}

TEST_F(WinsockSelectTest, DescriptorReusedByANewSocketNeverHearsTheEarlierOne) {
  TestListener first;
  TestListener second;
  ConnectSelected(first);
  ASSERT_TRUE(first.Send("for the earlier socket"));
  ASSERT_TRUE(WaitForDescriptor(socket_, POLLIN, 5000)) << "ready, not yet taken";
  const ws::SOCKET earlier = socket_;
  ASSERT_EQ(ws::closesocket(socket_), 0);
  socket_ = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
  ASSERT_EQ(socket_, earlier) << "the system hands out the lowest free descriptor";
  first.Close();

  ASSERT_EQ(ws::WSAAsyncSelect(socket_, &window_, kMessage, kAllEvents), 0);
  Connect(second.Port());
  ASSERT_GE(second.Accept(), 0);
  ASSERT_TRUE(window_.WaitFor(2));
  HandleAllDue();
  EXPECT_EQ(window_.seen, (std::vector<Seen>{Notice(ws::FD_CONNECT), Notice(ws::FD_WRITE)}));
}

// The local port of a socket, which is the peer's remote port: it pairs the two ends.
int LocalPort(int fd, bool remote) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const int result = remote ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                            : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return result == 0 ? ntohs(address.sin_port) : -1;
}

TEST_F(WinsockSelectTest, ManySocketsEachHearTheirOwnNotices) {
  constexpr std::size_t kSockets = 150;  // more than one turn of the watcher takes
  TestListener listener;
  std::vector<ws::SOCKET> sockets;
  for (std::size_t i = 0; i < kSockets; ++i) {
    sockets.push_back(ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP));
    ASSERT_GE(sockets.back(), 0);
    ASSERT_EQ(ws::WSAAsyncSelect(sockets.back(), &window_, kMessage, kAllEvents), 0);
    std::swap(socket_, sockets.back());
    Connect(listener.Port());
    std::swap(socket_, sockets.back());
  }
  std::map<int, int> peerOfPort;  // the socket's local port -> the accepted end
  for (std::size_t i = 0; i < kSockets; ++i) {
    const int peer = listener.AcceptAnother();
    ASSERT_GE(peer, 0);
    peerOfPort[LocalPort(peer, true)] = peer;
  }
  ASSERT_TRUE(window_.WaitFor(2 * kSockets));
  for (const ws::SOCKET s : sockets) {
    const int peer = peerOfPort.at(LocalPort(s, false));
    ASSERT_EQ(::send(peer, &s, sizeof s, 0), static_cast<ssize_t>(sizeof s));
    ::close(peer);
  }
  ASSERT_TRUE(window_.WaitFor(3 * kSockets));
  std::map<ws::SOCKET, std::vector<long>> eventsOf;
  for (const Seen& seen : window_.seen) eventsOf[seen.socket].push_back(seen.event);
  for (const ws::SOCKET s : sockets) {
    EXPECT_EQ(eventsOf[s], (std::vector<long>{ws::FD_CONNECT, ws::FD_WRITE, ws::FD_READ}))
        << "socket " << s;
    ws::SOCKET heard = ws::INVALID_SOCKET;
    EXPECT_EQ(ws::recv(s, reinterpret_cast<char*>(&heard), sizeof heard, 0),
              static_cast<int>(sizeof heard));
    EXPECT_EQ(heard, s) << "its own peer's bytes";
  }
  ASSERT_TRUE(window_.WaitFor(4 * kSockets)) << "each end comes once its data is read";
  HandleAllDue();
  EXPECT_EQ(window_.seen.size(), 4 * kSockets);
  for (const ws::SOCKET s : sockets) ws::closesocket(s);
}

}  // namespace
