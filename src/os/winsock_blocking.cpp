#include "os/winsock_blocking.h"

#include <poll.h>

#include <QCoreApplication>
#include <cerrno>

#include "os/winsock_errors.h"

namespace os::ws {
namespace {

// How long the socket is waited for between two runs of the blocking hook.
constexpr int kWaitSliceMs = 10;

thread_local bool t_blocking = false;
thread_local bool t_cancelled = false;

class BlockingScope {
 public:
  BlockingScope() {
    t_blocking = true;
    t_cancelled = false;
  }
  ~BlockingScope() {
    t_blocking = false;
    t_cancelled = false;
  }
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;
};

void RunBlockingHook() {
  if (QCoreApplication::instance() == nullptr) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace

int WaitUntilReady(SOCKET s, short events) {
  BlockingScope scope;
  for (;;) {
    pollfd descriptor{s, events, 0};
    const int ready = ::poll(&descriptor, 1, kWaitSliceMs);
    if (ready < 0 && errno != EINTR) return ErrorFromErrno(errno);
    if (ready > 0) return (descriptor.revents & POLLNVAL) != 0 ? WSAEINTR : 0;
    RunBlockingHook();
    if (t_cancelled) return WSAEINTR;
  }
}

bool IsBlockingOnThisThread() {
  return t_blocking;
}

bool CancelBlockingOnThisThread() {
  if (!t_blocking) return false;
  t_cancelled = true;
  return true;
}

}  // namespace os::ws
