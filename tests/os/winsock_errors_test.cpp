// The system's failure codes as Winsock codes, and the re-enabling rules as the watcher sees
// them: which sockets it watches at all, for which readiness.
#include "os/winsock_errors.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "os/winsock.h"
#include "os/winsock_notify.h"

namespace {

namespace ws = os::ws;

struct ErrnoCase {
  int error;
  int expected;
};

TEST(WinsockErrorsTest, SystemErrorsMapToWinsockCodes) {
  const ErrnoCase cases[] = {
      {EBADF, ws::WSAENOTSOCK},
      {ENOTSOCK, ws::WSAENOTSOCK},
      {ECONNREFUSED, ws::WSAECONNREFUSED},
      {ECONNRESET, ws::WSAECONNRESET},
      {EWOULDBLOCK, ws::WSAEWOULDBLOCK},
      {EINPROGRESS, ws::WSAEWOULDBLOCK},
      {EINTR, ws::WSAEINTR},
      {ECANCELED, ws::WSAEINTR},
      {ETIMEDOUT, ws::WSAETIMEDOUT},
      {EMFILE, ws::WSAEMFILE},
      {EPIPE, ws::WSAECONNRESET},
      {EIO, ws::WSASYSNOTREADY},
  };

  for (const ErrnoCase& c : cases) {
    EXPECT_EQ(ws::ErrorFromErrno(c.error), c.expected) << "errno " << c.error;
  }
}

TEST(WinsockErrorsTest, NameLookUpFailuresMapToTheHostCodes) {
  EXPECT_EQ(ws::ErrorFromAddrInfo(EAI_NONAME), ws::WSAHOST_NOT_FOUND);
  EXPECT_EQ(ws::ErrorFromAddrInfo(EAI_AGAIN), ws::WSATRY_AGAIN);
  EXPECT_EQ(ws::ErrorFromAddrInfo(EAI_FAIL), ws::WSANO_RECOVERY);
  EXPECT_EQ(ws::ErrorFromAddrInfo(EAI_NODATA), ws::WSANO_DATA);
}

TEST(WinsockErrorsTest, SelectReplyPacksEventLowAndErrorHigh) {
  const std::intptr_t reply = ws::WSAMAKESELECTREPLY(ws::FD_CLOSE, ws::WSAECONNRESET);
  EXPECT_EQ(reply, 32 + (10054 << 16));
  EXPECT_EQ(ws::WSAGETSELECTEVENT(reply), 32u);
  EXPECT_EQ(ws::WSAGETSELECTERROR(reply), 10054u);
}

ws::SocketEntry Selected(long events, ws::ConnectState state) {
  ws::SocketEntry entry;
  entry.connectState = state;
  // Any non-null window does: the watcher only compares and posts to it.
  ws::Select(entry, reinterpret_cast<os::ComponentWindow*>(&entry), 1024, events);
  return entry;
}

TEST(WinsockNotifyTest, WatchesOnlyWhatIsAwaited) {
  using ws::ConnectState;
  constexpr long kAll = ws::FD_READ | ws::FD_WRITE | ws::FD_CONNECT | ws::FD_CLOSE;

  ws::SocketEntry notSelected;
  notSelected.connectState = ConnectState::Connected;
  EXPECT_EQ(ws::InterestOf(notSelected), 0) << "no request in force";
  EXPECT_EQ(ws::InterestOf(Selected(kAll, ConnectState::Idle)), 0) << "not connecting yet";
  EXPECT_EQ(ws::InterestOf(Selected(kAll, ConnectState::Failed)), 0);
  EXPECT_EQ(ws::InterestOf(Selected(kAll, ConnectState::Connecting)), POLLOUT);
  EXPECT_EQ(ws::InterestOf(Selected(0, ConnectState::Connected)), 0) << "cancelled";

  ws::SocketEntry connected = Selected(kAll, ConnectState::Connected);
  // The end is watched with the data, so that readable without it surely means data.
  EXPECT_EQ(ws::InterestOf(connected), POLLIN | POLLRDHUP | POLLOUT)
      << "a new request records FD_WRITE";
  connected.writeEnabled = false;
  EXPECT_EQ(ws::InterestOf(connected), POLLIN | POLLRDHUP);
  connected.readEnabled = false;
  EXPECT_EQ(ws::InterestOf(connected), 0) << "FD_READ waits for a recv, the end behind it";
  connected.readEnabled = true;
  connected.closeEnabled = false;
  EXPECT_EQ(ws::InterestOf(connected), 0) << "after the end nothing more is read";

  EXPECT_EQ(ws::InterestOf(Selected(ws::FD_CLOSE, ConnectState::Connected)), POLLRDHUP)
      << "only the end awaited";
}

// Readable without the peer's end is data and gives FD_READ without a look at the socket;
// with the end, the socket is looked at: data first, then the end.
TEST(WinsockNotifyTest, ReadableIsDataUnlessThePeerEnded) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  constexpr long kReadAndClose = ws::FD_READ | ws::FD_CLOSE;
  struct Case {
    const char* what;
    short revents;
    long expected;  // the notice, 0 for none
  };
  // Nothing waits on the socket: only a notice taken without looking can be FD_READ.
  const Case cases[] = {
      {"readable", POLLIN, ws::FD_READ},
      {"readable and ended", POLLIN | POLLRDHUP, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ws::SocketEntry entry = Selected(kReadAndClose, ws::ConnectState::Connected);
    const std::vector<ws::Notice> notices = ws::TakeNotices(pair[0], entry, c.revents);
    ASSERT_EQ(notices.size(), c.expected != 0 ? 1u : 0u);
    if (c.expected != 0) {
      EXPECT_EQ(notices[0].event, c.expected);
    }
  }
  close(pair[1]);
  ws::SocketEntry ended = Selected(kReadAndClose, ws::ConnectState::Connected);
  const std::vector<ws::Notice> notices = ws::TakeNotices(pair[0], ended, POLLIN | POLLRDHUP);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].event, ws::FD_CLOSE);
  close(pair[0]);
}

}  // namespace
