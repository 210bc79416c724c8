// Blocking calls: they wait while the thread keeps handling its Qt events (the blocking
// hook), and WSACancelBlockingCall ends them with 10004.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "os/messages.h"
#include "os/winsock.h"
#include "os/winsock_test_peer.h"
#include "support/event_loop.h"

namespace {

namespace ws = os::ws;
using testing_support::TestListener;

// Runs `tick` when its component timer fires, inside whatever call waits on this thread.
class TickWindow : public os::ComponentWindow {
 public:
  void HandleMessage(const os::Message& message) override {
    if (message.msg != os::WM_TIMER) return;
    os::KillTimer(this, static_cast<unsigned>(message.wParam));
    ++ticks;
    if (tick) tick();
  }
  std::function<void()> tick;
  int ticks = 0;
};

class WinsockBlockingTest : public ::testing::Test {
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

  ws::WSADATA data_{};
  ws::SOCKET socket_ = ws::INVALID_SOCKET;
  TickWindow window_;
};

TEST_F(WinsockBlockingTest, WaitingRecvRunsTheThreadsEvents) {
  TestListener listener;
  ASSERT_EQ(Connect(listener.Port()), 0);
  ASSERT_GE(listener.Accept(), 0);
  bool blockingSeen = false;
  window_.tick = [&] {
    blockingSeen = ws::WSAIsBlocking();
    listener.Send("late");
  };
  os::SetTimer(&window_, 1, 50);

  char bytes[16] = {};
  EXPECT_EQ(ws::recv(socket_, bytes, sizeof bytes, 0), 4);
  EXPECT_STREQ(bytes, "late");
  EXPECT_TRUE(blockingSeen) << "the timer fired inside the waiting call";
  EXPECT_FALSE(ws::WSAIsBlocking()) << "over once the call returns";
}

TEST_F(WinsockBlockingTest, CancelledCallFailsWith10004) {
  TestListener listener;
  ASSERT_EQ(Connect(listener.Port()), 0);
  ASSERT_GE(listener.Accept(), 0);
  int cancelResult = -2;
  window_.tick = [&] { cancelResult = ws::WSACancelBlockingCall(); };
  os::SetTimer(&window_, 1, 50);

  char byte;
  EXPECT_EQ(ws::recv(socket_, &byte, 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINTR);
  EXPECT_EQ(cancelResult, 0);

  EXPECT_EQ(ws::WSACancelBlockingCall(), ws::SOCKET_ERROR) << "nothing waits any more";
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
}

TEST_F(WinsockBlockingTest, SecondBlockingCallInsideTheHookIsRefused) {
  TestListener listener;
  ASSERT_EQ(Connect(listener.Port()), 0);
  ASSERT_GE(listener.Accept(), 0);
  int nestedResult = 0;
  int nestedError = 0;
  window_.tick = [&] {
    char byte;
    nestedResult = ws::recv(socket_, &byte, 1, 0);
    nestedError = ws::WSAGetLastError();
    ws::WSACancelBlockingCall();
  };
  os::SetTimer(&window_, 1, 50);

  char byte;
  EXPECT_EQ(ws::recv(socket_, &byte, 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(nestedResult, ws::SOCKET_ERROR);
  EXPECT_EQ(nestedError, ws::WSAEINPROGRESS);
}

TEST_F(WinsockBlockingTest, SocketClosedUnderTheCallEndsItWith10004) {
  TestListener listener;
  ASSERT_EQ(Connect(listener.Port()), 0);
  ASSERT_GE(listener.Accept(), 0);
  const ws::SOCKET waiting = socket_;
  window_.tick = [&] { ws::closesocket(waiting); };
  os::SetTimer(&window_, 1, 50);

  char byte;
  EXPECT_EQ(ws::recv(socket_, &byte, 1, 0), ws::SOCKET_ERROR);
  EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINTR);
  socket_ = ws::INVALID_SOCKET;
}

TEST_F(WinsockBlockingTest, SendWaitsUntilAllIsTaken) {
  const int small = 4096;
  TestListener listener(true, small);
  ws::setsockopt(socket_, ws::WS_SOL_SOCKET, ws::WS_SO_SNDBUF,
                 reinterpret_cast<const char*>(&small), sizeof small);
  ASSERT_EQ(Connect(listener.Port()), 0);
  ASSERT_GE(listener.Accept(), 0);
  std::string text(1 << 18, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  std::string received;
  // The peer reads from inside the blocking hook, a block per tick, as a slow server would.
  window_.tick = [&] {
    received += listener.Receive(16384, 10);
    if (received.size() < text.size()) os::SetTimer(&window_, 1, 1);
  };
  os::SetTimer(&window_, 1, 1);

  EXPECT_EQ(ws::send(socket_, text.data(), static_cast<int>(text.size()), 0),
            static_cast<int>(text.size()));
  received += listener.Receive(text.size() - received.size());
  EXPECT_GT(window_.ticks, 1) << "the send had to wait for the peer";
  EXPECT_TRUE(received == text) << "received " << received.size() << " bytes";
}

}  // namespace
