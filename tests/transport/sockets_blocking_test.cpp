// TSockets in blocking mode: calls wait, each guarded by the Timeout timer, which cancels a
// call that waits too long and reports it before the call reports its own failure.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "os/msgbox.h"
#include "os/winsock.h"
#include "os/winsock_test_peer.h"
#include "support/event_loop.h"
#include "transport/sockets.h"
#include "transport/sockets_test_events.h"

namespace {

using pelorin::TSockets;
using testing_support::ErrorEvent;
using testing_support::SocketEvent;
using testing_support::SocketEventLog;
using testing_support::TestListener;

class SocketsBlockingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sockets_.SetNonBlocking(false);
    sockets_.SetIPAddr("127.0.0.1");
  }
  os::BoxRecorder boxes_;
  TSockets sockets_;
};

TEST_F(SocketsBlockingTest, ConnectSendAndReceiveWaitForThePeer) {
  SocketEventLog log(sockets_);
  TestListener listener;
  sockets_.SetPort(listener.PortText());
  sockets_.SConnect();
  ASSERT_GE(listener.Accept(), 0);
  std::thread echo([&] { listener.Send(listener.Receive(6)); });
  sockets_.SetText("NOOP\r\n");
  char buffer[7] = {};
  const int size = 6;
  int received = 0;
  while (received < size) {
    const int n = sockets_.SReceive(sockets_.SocketHandle(), buffer + received, size - received);
    ASSERT_GT(n, 0);
    received += n;
  }
  echo.join();
  EXPECT_STREQ(buffer, "NOOP\r\n");
  EXPECT_TRUE(log.events.empty()) << "no notifications in blocking mode";
}

TEST_F(SocketsBlockingTest, RefusedConnectIsReportedFromSConnect) {
  SocketEventLog log(sockets_);
  TestListener notListening(false);
  sockets_.SetPort(notListening.PortText());
  sockets_.SConnect();
  EXPECT_EQ(
      log.events,
      (std::vector<SocketEvent>{ErrorEvent(sockets_.SocketHandle(), 10061, "Connection refused")}));
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SocketsBlockingTest, SilentPeerTimesOutThenTheCallReportsItsCancellation) {
  SocketEventLog log(sockets_);
  TestListener silent;
  sockets_.SetTimeout(1);
  sockets_.SetPort(silent.PortText());
  sockets_.SConnect();
  ASSERT_GE(silent.Accept(), 0);
  char buffer[16];
  const int size = 16;
  EXPECT_EQ(sockets_.SReceive(sockets_.SocketHandle(), buffer, size), -1);
  const int socket = sockets_.SocketHandle();
  EXPECT_EQ(log.events,
            (std::vector<SocketEvent>{ErrorEvent(socket, 10060, "Blocking call timed out"),
                                      ErrorEvent(socket, 10004, "Interrupted system call")}));
}

TEST_F(SocketsBlockingTest, TimedOutCallWithoutAHandlerShowsTheCancelBox) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testing_support::PrintBoxes(boxes_);
        TestListener silent;
        sockets_.SetTimeout(1);
        sockets_.SetPort(silent.PortText());
        sockets_.SConnect();
        silent.Accept();
        char buffer[16];
        const int size = 16;
        sockets_.SReceive(sockets_.SocketHandle(), buffer, size);
      },
      ::testing::ExitedWithCode(0),
      "BOX \\[WINSOCK CALL CANCELED\\] Error 10060<CRLF>Blocking call timed out\n"
      "BOX \\[WINSOCK ERROR\\] Error 10004 in function SReceive<CRLF>Interrupted system call\n");
}

TEST_F(SocketsBlockingTest, RefusedConnectWithoutAHandlerEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        testing_support::PrintBoxes(boxes_);
        TestListener notListening(false);
        sockets_.SetPort(notListening.PortText());
        sockets_.SConnect();
      },
      ::testing::ExitedWithCode(0),
      "^BOX \\[WINSOCK ERROR\\] Error 10061 in function SConnect<CRLF>Connection refused\n$");
}

}  // namespace
