// Several MiB of text through small socket buffers to a peer that reads slowly: what the
// socket cannot take at once waits and goes out on FD_WRITE, whole and in order, also when
// more text is handed over meanwhile.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "os/msgbox.h"
#include "os/winsock.h"
#include "os/winsock_test_peer.h"
#include "support/event_loop.h"
#include "transport/sockets.h"
#include "transport/sockets_test_events.h"

namespace {

namespace ws = os::ws;
using testing_support::SocketEventLog;
using testing_support::TestListener;

constexpr int kSmallBuffer = 4096;

// Distinct text per piece, so that a lost, doubled or swapped block shows.
std::string Piece(char tag, std::size_t length) {
  std::string text(length, tag);
  for (std::size_t i = 0; i < length; i += 1000) text[i] = static_cast<char>('0' + (i / 1000) % 10);
  return text;
}

// How the texts are handed over: kept by the caller (what cannot go at once is copied), given
// up (the socket keeps the caller's string), or as a view of bytes that the caller overwrites
// right after the call.
enum class Handing { Copied, Moved, Viewed };

class SocketsLargeTextHanding : public testing::TestWithParam<Handing> {};

TEST_P(SocketsLargeTextHanding, ArrivesWholeAndInOrderThroughSmallBuffers) {
  os::BoxRecorder boxes;
  pelorin::TSockets sockets;
  SocketEventLog log(sockets);
  TestListener listener(true, kSmallBuffer);
  sockets.SetIPAddr("127.0.0.1");
  sockets.SetPort(listener.PortText());
  sockets.SConnect();
  ASSERT_EQ(ws::setsockopt(sockets.SocketHandle(), ws::WS_SOL_SOCKET, ws::WS_SO_SNDBUF,
                           reinterpret_cast<const char*>(&kSmallBuffer), sizeof kSmallBuffer),
            0);
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(log.WaitFor("DataNeeded"));

  const std::string pieces[] = {Piece('a', 3 << 20), "MAIL FROM:<a@b>\r\n", Piece('b', 1 << 20),
                                Piece('c', 5), Piece('d', 2 << 20)};
  std::string expected;
  for (const std::string& piece : pieces) expected += piece;

  // The peer reads small blocks and pauses between the first ones, so that the sender's
  // buffers fill and the text has to wait.
  std::string received;
  std::atomic<bool> done{false};
  std::thread peer([&] {
    for (int block = 0; received.size() < expected.size(); ++block) {
      const std::size_t wanted =
          std::min<std::size_t>(kSmallBuffer, expected.size() - received.size());
      const std::string bytes = listener.Receive(wanted);
      if (bytes.empty()) break;
      received += bytes;
      if (block < 200) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
  });
  for (const std::string& piece : pieces) {
    if (GetParam() == Handing::Moved) {
      sockets.SetText(std::string(piece));
    } else if (GetParam() == Handing::Viewed) {
      std::string scratch = piece;
      sockets.SetTextView(scratch);
      std::fill(scratch.begin(), scratch.end(), '?');
    } else {
      sockets.SetText(piece);
    }
  }
  const bool finished = testing_support::RunEventsUntil([&] { return done.load(); }, 60000);
  peer.join();

  ASSERT_TRUE(finished);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "the text arrived changed or out of order";
  EXPECT_EQ(log.Count("Error"), 0);
  EXPECT_GT(log.Count("DataNeeded"), 1) << "the text had to wait for room at least once";
  EXPECT_TRUE(boxes.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Sockets, SocketsLargeTextHanding,
                         testing::Values(Handing::Copied, Handing::Moved, Handing::Viewed),
                         [](const testing::TestParamInfo<Handing>& info) {
                           switch (info.param) {
                             case Handing::Moved:
                               return "Moved";
                             case Handing::Viewed:
                               return "Viewed";
                             default:
                               return "Copied";
                           }
                         });

TEST(SocketsLargeTextTest, DisconnectDropsWhatWaits) {
  os::BoxRecorder boxes;
  pelorin::TSockets sockets;
  SocketEventLog log(sockets);
  TestListener first(true, kSmallBuffer);
  sockets.SetIPAddr("127.0.0.1");
  sockets.SetPort(first.PortText());
  sockets.SConnect();
  ASSERT_GE(first.Accept(), 0);
  ASSERT_TRUE(log.WaitFor("DataNeeded"));
  sockets.SetText(std::string(8 << 20, 'x'));  // far more than the buffers hold
  sockets.Disconnect();

  TestListener second;
  sockets.SetPort(second.PortText());
  sockets.SConnect();
  ASSERT_GE(second.Accept(), 0);
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return log.Count("DataNeeded") == 2; }));
  sockets.SetText("QUIT\r\n");
  EXPECT_EQ(second.Receive(6), "QUIT\r\n") << "nothing of the dropped text comes first";
  EXPECT_EQ(second.Receive(1, 100), "") << "nor after";
  EXPECT_EQ(log.Count("Error"), 0);
}

}  // namespace
