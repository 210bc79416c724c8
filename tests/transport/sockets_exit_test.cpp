// Reports without an error handler: a box with the error, its function and its text, then the
// program ends with exit code 0.
#include <gtest/gtest.h>

#include "os/messages.h"
#include "os/msgbox.h"
#include "os/winsock.h"
#include "support/event_loop.h"
#include "transport/sockets.h"
#include "transport/sockets_test_events.h"

namespace {

namespace ws = os::ws;

class SocketsExitTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The notification ends the program: the events run until it has (at most 30 s, after which
// the test fails as the program did not end).
void PostAndRun(pelorin::TSockets& sockets, unsigned event, unsigned error) {
  os::PostMessage(&sockets, 1024, 5, ws::WSAMAKESELECTREPLY(event, error));
  testing_support::RunEventsUntil([] { return false; }, 30000);
}

TEST_F(SocketsExitTest, FailedNotificationShowsTheBoxAndEnds) {
  EXPECT_EXIT(
      {
        os::BoxRecorder boxes(os::IDCANCEL);
        testing_support::PrintBoxes(boxes);
        pelorin::TSockets sockets;
        PostAndRun(sockets, ws::FD_CONNECT, 10061);
      },
      ::testing::ExitedWithCode(0),
      "^BOX \\[WINSOCK ERROR\\] Error 10061 in function FD_CONNECT<CRLF>Connection refused\n$");
}

TEST_F(SocketsExitTest, OutOfBandFailureHasAnEmptyFunctionName) {
  EXPECT_EXIT(
      {
        os::BoxRecorder boxes;
        testing_support::PrintBoxes(boxes);
        pelorin::TSockets sockets;
        PostAndRun(sockets, ws::FD_OOB, 10054);
      },
      ::testing::ExitedWithCode(0),
      "^BOX \\[WINSOCK ERROR\\] Error 10054 in function <CRLF>Connection reset by peer\n$");
}

TEST_F(SocketsExitTest, SecondDisconnectShowsTheFailedClose) {
  EXPECT_EXIT(
      {
        os::BoxRecorder boxes;
        testing_support::PrintBoxes(boxes);
        pelorin::TSockets sockets;
        sockets.Disconnect();
      },
      ::testing::ExitedWithCode(0),
      "^BOX \\[WINSOCK ERROR\\] Error 10038 in function Disconnect \\(closesocket\\)"
      "<CRLF>Socket operation on non-socket\n$");
}

}  // namespace
