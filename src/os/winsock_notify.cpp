#include "os/winsock_notify.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "os/winsock_errors.h"

namespace os::ws {
namespace {

constexpr short kFailure = POLLERR | POLLHUP;

int PendingSocketError(SOCKET s) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

bool ReadSideWatched(const SocketEntry& entry) {
  if (!entry.closeEnabled) return false;
  if ((entry.events & FD_READ) != 0) return entry.readEnabled;
  return (entry.events & FD_CLOSE) != 0;
}

void RecordClose(SocketEntry& entry, int error, std::vector<Notice>& notices) {
  entry.closeEnabled = false;
  if ((entry.events & FD_CLOSE) != 0) notices.push_back({FD_CLOSE, error});
}

void TakeConnectNotices(SOCKET s, SocketEntry& entry, short revents, std::vector<Notice>& notices) {
  if ((revents & (POLLOUT | kFailure)) == 0) return;
  const int error = PendingSocketError(s);
  if (error != 0) {
    entry.connectState = ConnectState::Failed;
    if ((entry.events & FD_CONNECT) != 0) notices.push_back({FD_CONNECT, ErrorFromErrno(error)});
    return;
  }
  entry.connectState = ConnectState::Connected;
  if ((entry.events & FD_CONNECT) != 0) notices.push_back({FD_CONNECT, 0});
  // A fresh connection may be written to: Winsock records FD_WRITE right after connecting.
  entry.writeEnabled = false;
  if ((entry.events & FD_WRITE) != 0) notices.push_back({FD_WRITE, 0});
}

// Readable means data, the peer's orderly end or a failure; a look at the next byte tells
// which, without taking it.
void TakeReadSideNotices(SOCKET s, SocketEntry& entry, short revents,
                         std::vector<Notice>& notices) {
  // Readable while the peer has not ended nor failed is data: no look needed.
  if ((revents & POLLIN) != 0 && (revents & (POLLRDHUP | kFailure)) == 0 &&
      (entry.events & FD_READ) != 0) {
    entry.readEnabled = false;
    notices.push_back({FD_READ, 0});
    return;
  }
  char next;
  const ssize_t peeked = ::recv(s, &next, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked > 0) {
    if ((entry.events & FD_READ) != 0) {
      entry.readEnabled = false;
      notices.push_back({FD_READ, 0});
    } else if ((revents & (POLLRDHUP | POLLHUP)) != 0) {
      RecordClose(entry, 0, notices);  // only the end is awaited, unread data or not
    }
    return;
  }
  if (peeked < 0 && (errno == EAGAIN || errno == EINTR)) return;
  RecordClose(entry, peeked == 0 ? 0 : ErrorFromErrno(errno), notices);
}

}  // namespace

void Select(SocketEntry& entry, ComponentWindow* window, unsigned message, long events) {
  entry.nonBlocking = true;
  entry.window = events != 0 ? window : nullptr;
  entry.message = message;
  entry.events = events;
  if (events == 0) return;
  entry.readEnabled = true;
  entry.closeEnabled = true;
  entry.writeEnabled = entry.connectState == ConnectState::Connected;
}

short InterestOf(const SocketEntry& entry) {
  if (entry.window == nullptr || entry.events == 0) return 0;
  if (entry.connectState == ConnectState::Connecting) return POLLOUT;
  if (entry.connectState != ConnectState::Connected) return 0;
  short interest = 0;
  // POLLRDHUP also with POLLIN, so that readable without it surely means data.
  if (ReadSideWatched(entry)) {
    interest |= (entry.events & FD_READ) != 0 ? POLLIN | POLLRDHUP : POLLRDHUP;
  }
  if (entry.writeEnabled && (entry.events & FD_WRITE) != 0) interest |= POLLOUT;
  return interest;
}

std::vector<Notice> TakeNotices(SOCKET s, SocketEntry& entry, short revents) {
  std::vector<Notice> notices;
  if (entry.window == nullptr || entry.events == 0) return notices;
  if (entry.connectState == ConnectState::Connecting) {
    TakeConnectNotices(s, entry, revents, notices);
    return notices;
  }
  if (entry.connectState != ConnectState::Connected) return notices;
  if ((revents & (POLLIN | POLLRDHUP | kFailure)) != 0 && ReadSideWatched(entry)) {
    TakeReadSideNotices(s, entry, revents, notices);
  }
  if ((revents & (POLLOUT | kFailure)) != 0 && entry.writeEnabled &&
      (entry.events & FD_WRITE) != 0) {
    entry.writeEnabled = false;
    notices.push_back({FD_WRITE, 0});
  }
  return notices;
}

}  // namespace os::ws
