// The sockets created through the Winsock layer, and the watching of those under
// WSAAsyncSelect. A socket under a request is watched from the event loop of the thread that
// owns the request's window (one ReadinessWatcher per such thread), for what its entry awaits;
// that loop takes its readiness and hands the notifications to the window, so that they need
// no other thread.
#pragma once

#include <QPointer>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "os/messages.h"
#include "os/winsock_notify.h"
#include "os/winsock_watcher.h"

namespace os::ws {

class SocketTable {
 public:
  static SocketTable& Instance();

  void Add(SOCKET s);
  // False when `s` is no socket of this layer.
  bool Remove(SOCKET s);
  std::vector<SOCKET> RemoveAll();
  std::optional<SocketEntry> Find(SOCKET s) const;
  // Changes the entry of `s` under the table's lock; false when `s` is no socket of ours.
  bool Update(SOCKET s, const std::function<void(SocketEntry&)>& change);
  // Puts a WSAAsyncSelect request in force (events 0 cancels it): 0, WSAENOTSOCK, or the
  // code of the failure to watch the socket, which leaves no request in force.
  int Request(SOCKET s, ComponentWindow* window, unsigned message, long events);
  // Drops every notification request that targets `window`.
  void ForgetWindow(ComponentWindow* window);
  // Ends the watchers; for the last WSACleanup, once every socket is removed.
  void StopWatching();

 private:
  SocketTable() = default;

  struct Row {
    SocketEntry entry;
    ReadinessWatcher* watcher = nullptr;  // the one the socket is in, if any
    short watched = 0;                    // what it waits for there
  };

  enum class Narrowing { Now, Lazily };
  int Rewatch(SOCKET s, Row& row, Narrowing narrowing = Narrowing::Now);
  ReadinessWatcher* WatcherFor(QThread* thread, int* error);

  // A notification found ready, to be handed to its window.
  struct Due {
    SOCKET socket;
    std::uint64_t serial;
    QPointer<ComponentWindow> window;
    unsigned message;
    LPARAM reply;
  };
  // From the loop the notifications are handed on at once; asked from outside it, posted.
  enum class Handing { AtOnce, Post };
  void PostReady(ReadinessWatcher& watcher, Handing handing);
  std::vector<Due> TakeDue(ReadinessWatcher& watcher);
  bool StillRequested(const Due& due) const;

 public:
  // Takes, for the calling thread's watcher, what is ready now and posts its notifications,
  // without waiting for the thread's loop to look.
  void PostReadyNow(QThread* thread);

 private:
  mutable std::mutex mutex_;
  std::map<SOCKET, Row> rows_;
  std::map<QThread*, ReadinessWatcher*> watchers_;
  std::uint64_t nextSerial_ = 1;
};

}  // namespace os::ws
