// TSockets in notification mode against a scripted peer on 127.0.0.1: connecting, data,
// the peer's close and reset, refusals and the component's own reports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/msgbox.h"
#include "os/winsock.h"
#include "os/winsock_test_peer.h"
#include "os/winsock_watcher_probe.h"
#include "support/event_loop.h"
#include "transport/sockets.h"
#include "transport/sockets_test_events.h"

namespace {

namespace ws = os::ws;
using pelorin::TSockets;
using testing_support::ErrorEvent;
using testing_support::Raised;
using testing_support::SocketEvent;
using testing_support::SocketEventLog;
using testing_support::TestListener;

const os::BoxRequest kNoPortBox{"No Port Specified", "WINSOCK ERROR", os::BoxButtons::OkCancel,
                                os::BoxIcon::None};

os::BoxRequest ErrorBox(const std::string& text) {
  return {text, "WINSOCK ERROR", os::BoxButtons::OkCancel, os::BoxIcon::None};
}

class SocketsTest : public ::testing::Test {
 protected:
  void Target(const std::string& address, const std::string& port) {
    sockets_.SetIPAddr(address);
    sockets_.SetPort(port);
  }
  // Connected to `listener` and accepted; the connect events taken.
  void Connect(TestListener& listener) {
    Target("127.0.0.1", listener.PortText());
    sockets_.SConnect();
    ASSERT_GE(listener.Accept(), 0);
    ASSERT_TRUE(log_.WaitFor("DataNeeded"));
    log_.events.clear();
  }

  // Every notification that the sockets' present state gives has been handled: one that has
  // not come by now will not come.
  void HandleAllDue() { ASSERT_TRUE(probe_.CompleteAndDeliver()) << "the watcher is stuck"; }

  testing_support::WatcherProbe probe_;
  os::BoxRecorder boxes_;
  TSockets sockets_;
  SocketEventLog log_{sockets_};
};

TEST_F(SocketsTest, PropertiesAfterConstruction) {
  EXPECT_TRUE(sockets_.NonBlocking());
  EXPECT_EQ(sockets_.Timeout(), 30);
  EXPECT_EQ(sockets_.MaximumReceiveLength(), 8192);
  EXPECT_EQ(sockets_.SocketHandle(), -1);
  sockets_.SetNonBlocking(false);
  EXPECT_FALSE(sockets_.NonBlocking());
  sockets_.SetNonBlocking(true);
  EXPECT_TRUE(sockets_.NonBlocking());
}

TEST_F(SocketsTest, ConnectsAndAnswersDataFromInsideTheEvent) {
  TestListener listener;
  Target("localhost", listener.PortText());
  std::string greeting;
  sockets_.OnDataAvailable = [&](TSockets* sender, int) {
    char buffer[4097] = {};
    const int n = sender->SReceive(sender->SocketHandle(), buffer, 4096);
    greeting.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    sender->SetText("HELO here\r\n");
  };
  sockets_.SConnect();
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(log_.WaitFor("DataNeeded"));
  const int socket = sockets_.SocketHandle();
  EXPECT_EQ(log_.events, (std::vector<SocketEvent>{Raised("SessionConnected", socket),
                                                   Raised("DataNeeded", socket)}));
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  ASSERT_EQ(::getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
  EXPECT_EQ(noDelay, 1) << "the last segment of the data goes out at once";

  ASSERT_TRUE(listener.Send("220 ready\r\n"));
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return !greeting.empty(); }));
  EXPECT_EQ(listener.Receive(11), "HELO here\r\n");
  EXPECT_EQ(greeting, "220 ready\r\n");
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SocketsTest, SessionClosedOnceAfterTheLastDataIsRead) {
  TestListener listener;
  Connect(listener);
  std::string received;
  sockets_.OnDataAvailable = [&](TSockets* sender, int) {
    char buffer[4] = {};
    const int n = sender->SReceive(sender->SocketHandle(), buffer, 4);
    received.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  };
  ASSERT_TRUE(listener.Send("221 closing\r\n"));
  listener.Close();
  ASSERT_TRUE(log_.WaitFor("SessionClosed"));
  HandleAllDue();
  EXPECT_EQ(received, "221 closing\r\n") << "read four bytes per event, all before the close";
  EXPECT_EQ(log_.Count("SessionClosed"), 1);
  EXPECT_NE(sockets_.SocketHandle(), -1) << "held until Disconnect";
}

TEST_F(SocketsTest, RefusedPortIsReportedThroughTheHandler) {
  TestListener notListening(false);
  Target("127.0.0.1", notListening.PortText());
  sockets_.SConnect();
  ASSERT_TRUE(log_.WaitFor("Error"));
  HandleAllDue();
  EXPECT_EQ(
      log_.events,
      (std::vector<SocketEvent>{ErrorEvent(sockets_.SocketHandle(), 10061, "Connection refused")}));
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SocketsTest, ResetIsAnErrorNotASessionClose) {
  TestListener listener;
  Connect(listener);
  const int socket = sockets_.SocketHandle();
  listener.Reset();
  ASSERT_TRUE(log_.WaitFor("Error"));
  HandleAllDue();
  EXPECT_EQ(log_.events,
            (std::vector<SocketEvent>{ErrorEvent(socket, 10054, "Connection reset by peer")}));
}

TEST_F(SocketsTest, UnknownHostIsReportedAndTheProgramGoesOn) {
  Target("nonexistent.invalid", "25");
  sockets_.SConnect();
  EXPECT_EQ(log_.events,
            (std::vector<SocketEvent>{ErrorEvent(-1, 10060, "Cannot convert host address")}));
  EXPECT_EQ(sockets_.SocketHandle(), -1);

  sockets_.OnErrorOccurred = nullptr;
  sockets_.SConnect();
  EXPECT_EQ(boxes_.Boxes(), std::vector<os::BoxRequest>{ErrorBox("Cannot convert host address")});
}

TEST_F(SocketsTest, EmptyPortIsABoxEvenWithAHandler) {
  Target("", "");
  sockets_.SConnect();
  Target("127.0.0.1", "");
  sockets_.SConnect();
  EXPECT_EQ(boxes_.Boxes(), (std::vector<os::BoxRequest>{kNoPortBox, kNoPortBox}))
      << "with both empty only the port box";
  EXPECT_TRUE(log_.events.empty());
}

TEST_F(SocketsTest, EmptyAddressGoesToTheHandlerOrABox) {
  Target("", "25");
  sockets_.SConnect();
  EXPECT_EQ(log_.events,
            (std::vector<SocketEvent>{ErrorEvent(-1, 10060, "No IP Address Specified")}));
  sockets_.OnErrorOccurred = nullptr;
  sockets_.SConnect();
  EXPECT_EQ(boxes_.Boxes(), std::vector<os::BoxRequest>{ErrorBox("No IP Address Specified")});
}

TEST_F(SocketsTest, NamesTooLongForTheLibraryAreRefusedNotCut) {
  Target(std::string(257, 'a'), "25");
  sockets_.SConnect();
  Target("127.0.0.1", std::string(32, '2'));
  sockets_.SConnect();
  EXPECT_EQ(log_.events, (std::vector<SocketEvent>{
                             ErrorEvent(-1, 10022, "Server name is longer than 256 characters"),
                             ErrorEvent(-1, 10022, "Port is longer than 31 characters")}));
  EXPECT_EQ(sockets_.SocketHandle(), -1);

  sockets_.OnErrorOccurred = nullptr;
  sockets_.SConnect();
  EXPECT_EQ(boxes_.Boxes(),
            std::vector<os::BoxRequest>{ErrorBox("Port is longer than 31 characters")});

  TestListener listener;
  Target("127.0.0.1", std::string(31 - listener.PortText().size(), '0') + listener.PortText());
  sockets_.SConnect();
  EXPECT_GE(listener.Accept(), 0) << "31 characters still fit";
}

TEST_F(SocketsTest, PortThatIsNoIntegerThrowsTheConversionError) {
  Target("127.0.0.1", "2x5");
  try {
    sockets_.SConnect();
    ADD_FAILURE() << "no conversion error";
  } catch (const pelorin::ConversionError& error) {
    EXPECT_STREQ(error.what(), "'2x5' is not a valid integer value");
  }
  EXPECT_EQ(sockets_.SocketHandle(), -1);
  EXPECT_TRUE(log_.events.empty());
}

TEST_F(SocketsTest, HexadecimalPortReachesThePeer) {
  TestListener listener;
  char hex[16];
  std::snprintf(hex, sizeof hex, "$%x", listener.Port());
  Target("127.0.0.1", hex);
  sockets_.SConnect();
  EXPECT_GE(listener.Accept(), 0);
}

TEST_F(SocketsTest, NewConnectionQuietlyClosesTheOneHeld) {
  TestListener first;
  Connect(first);
  TestListener second;
  Connect(second);
  EXPECT_TRUE(first.SeesEnd()) << "the first connection is closed";
  EXPECT_TRUE(second.Send("x"));
  ASSERT_TRUE(log_.WaitFor("DataAvailable"));
  EXPECT_EQ(log_.events[0].socket, sockets_.SocketHandle());
  EXPECT_EQ(log_.Count("Error"), 0);
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SocketsTest, DisconnectTwiceReportsTheSecondClose) {
  TestListener listener;
  Connect(listener);
  sockets_.Disconnect();
  EXPECT_EQ(sockets_.SocketHandle(), -1);
  EXPECT_TRUE(listener.SeesEnd());
  EXPECT_TRUE(log_.events.empty()) << "the first close succeeds";

  sockets_.Disconnect();
  EXPECT_EQ(log_.events,
            (std::vector<SocketEvent>{ErrorEvent(-1, 10038, "Socket operation on non-socket")}));
  EXPECT_EQ(sockets_.SocketHandle(), -1);
  HandleAllDue();
  EXPECT_EQ(log_.events.size(), 1u) << "no notification after Disconnect";
}

// Notifications that were already queued for a socket given up are dropped with it: a stale
// FD_READ or FD_CLOSE must not reach the owner, whose next connection may have begun.
TEST_F(SocketsTest, NotificationsQueuedBeforeTheSocketIsGivenUpAreDropped) {
  for (const bool byNewConnection : {false, true}) {
    SCOPED_TRACE(byNewConnection ? "new connection" : "Disconnect");
    TestListener listener;
    Connect(listener);
    ASSERT_TRUE(listener.Send("221 bye\r\n"));
    listener.Close();
    // FD_READ is queued; no event is handled meanwhile.
    ASSERT_TRUE(probe_.Complete());
    TestListener next(true);
    if (byNewConnection) {
      Target("127.0.0.1", next.PortText());
      sockets_.SConnect();
    } else {
      sockets_.Disconnect();
    }
    HandleAllDue();
    EXPECT_EQ(log_.Count("DataAvailable"), 0);
    EXPECT_EQ(log_.Count("SessionClosed"), 0);
    if (byNewConnection) sockets_.Disconnect();
    log_.events.clear();
  }
}

TEST_F(SocketsTest, ReceiveWithoutASocketDoesNothing) {
  char buffer[8];
  const int size = 8;
  EXPECT_EQ(sockets_.SReceive(-1, buffer, size), -1);
  EXPECT_TRUE(log_.events.empty());
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SocketsTest, SendWithoutASocketIsReported) {
  sockets_.SetText("MAIL FROM:<a@b>\r\n");
  sockets_.SetText("");
  EXPECT_EQ(log_.events,
            (std::vector<SocketEvent>{ErrorEvent(-1, 10038, "Socket operation on non-socket"),
                                      ErrorEvent(-1, 10038, "Socket operation on non-socket")}))
      << "an empty text is sent too";
}

TEST_F(SocketsTest, LocalHostNameIsTheSystemsName) {
  char own[256] = {};
  ASSERT_EQ(::gethostname(own, sizeof own), 0);
  EXPECT_EQ(sockets_.LocalHostName(), own);
}

// Each failing call reports and the next step runs all the same.
TEST_F(SocketsTest, ExhaustedDescriptorsAreReportedStepByStep) {
  TestListener listener;
  Target("127.0.0.1", listener.PortText());
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  std::vector<int> filler;
  rlimit low = original;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  sockets_.SConnect();
  for (const int fd : filler) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);

  EXPECT_EQ(log_.events,
            (std::vector<SocketEvent>{ErrorEvent(-1, 10024, "Too many open files"),
                                      ErrorEvent(-1, 10038, "Socket operation on non-socket"),
                                      ErrorEvent(-1, 10038, "Socket operation on non-socket")}));
  EXPECT_EQ(sockets_.SocketHandle(), -1);
}

struct NotificationCase {
  unsigned event;
  unsigned error;
  std::vector<SocketEvent> raised;
};

TEST_F(SocketsTest, PostedNotificationsRaiseTheirEvents) {
  const int s = 77;
  const NotificationCase cases[] = {
      {ws::FD_READ, 0, {Raised("DataAvailable", s)}},
      {ws::FD_WRITE, 0, {Raised("DataNeeded", s)}},
      {ws::FD_ACCEPT, 0, {Raised("SessionAvailable", s)}},
      {ws::FD_CONNECT, 0, {Raised("SessionConnected", s)}},
      {ws::FD_CLOSE, 0, {Raised("SessionClosed", s)}},
      {ws::FD_READ, 10000, {Raised("DataAvailable", s)}},
      {ws::FD_CLOSE, 9999, {Raised("SessionClosed", s)}},
      {ws::FD_READ, 10001, {ErrorEvent(s, 10001, "Not a WinSock error")}},
      {ws::FD_CONNECT, 10061, {ErrorEvent(s, 10061, "Connection refused")}},
      {ws::FD_CLOSE, 10054, {ErrorEvent(s, 10054, "Connection reset by peer")}},
      {ws::FD_OOB, 0, {}},
      {ws::FD_OOB, 10054, {ErrorEvent(s, 10054, "Connection reset by peer")}},
      {64, 0, {}},
      {ws::FD_READ | ws::FD_WRITE, 0, {}},
  };
  for (const NotificationCase& c : cases) {
    log_.events.clear();
    os::PostMessage(&sockets_, 1024, s, ws::WSAMAKESELECTREPLY(c.event, c.error));
    os::PostMessage(&sockets_, 1025, s, ws::WSAMAKESELECTREPLY(ws::FD_READ, 0));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(log_.events, c.raised) << "event " << c.event << ", error " << c.error;
  }
}

TEST_F(SocketsTest, TimerWithoutABlockingCallOnlyStops) {
  os::PostMessage(&sockets_, os::WM_TIMER, 10, 0);
  QCoreApplication::sendPostedEvents();
  EXPECT_TRUE(log_.events.empty());
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SocketsTest, DestroyedComponentReceivesNothingMore) {
  TestListener listener;
  auto other = std::make_unique<TSockets>();
  SocketEventLog otherLog(*other);
  other->SetIPAddr("127.0.0.1");
  other->SetPort(listener.PortText());
  other->SConnect();
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(otherLog.WaitFor("DataNeeded"));
  const std::size_t before = otherLog.events.size();
  other.reset();
  ASSERT_TRUE(listener.Send("for nobody"));
  listener.Close();
  HandleAllDue();
  EXPECT_EQ(otherLog.events.size(), before);
}

// As the send workflow does it: SConnect on a worker while the window's thread goes on
// running its events; the events still arrive on the window's thread.
TEST_F(SocketsTest, ConnectFromAnotherThreadWhileTheWindowThreadRunsEvents) {
  TestListener listener;
  Target("127.0.0.1", listener.PortText());
  std::vector<QThread*> threads;
  sockets_.OnDataAvailable = [&](TSockets*, int socket) {
    log_.events.push_back(Raised("DataAvailable", socket));
    threads.push_back(QThread::currentThread());
  };
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    sockets_.SConnect();
    returned = true;
  });
  const bool connected =
      testing_support::RunEventsUntil([&] { return returned && log_.Count("DataNeeded") > 0; });
  worker.join();
  ASSERT_TRUE(connected);
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(listener.Send("220 ready\r\n"));
  ASSERT_TRUE(log_.WaitFor("DataAvailable"));
  const int socket = sockets_.SocketHandle();
  EXPECT_EQ(log_.events, (std::vector<SocketEvent>{Raised("SessionConnected", socket),
                                                   Raised("DataNeeded", socket),
                                                   Raised("DataAvailable", socket)}));
  EXPECT_EQ(threads, std::vector<QThread*>{QThread::currentThread()});
}

}  // namespace
