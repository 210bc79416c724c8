// The sockets created through the Winsock layer, and the thread that watches those under
// WSAAsyncSelect and posts their notifications. The watcher sleeps in poll() on the sockets
// that await something and on a wake-up pipe that every change of interest writes to; a
// socket that awaits nothing is not watched.
#pragma once

#include <poll.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "os/winsock_notify.h"

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
  // Drops every notification request that targets `window`.
  void ForgetWindow(ComponentWindow* window);

  // The watcher runs while the library is started. StartWatching gives 0 or the errno value
  // that kept it from starting.
  int StartWatching();
  void StopWatching();

 private:
  SocketTable() = default;

  struct Watched {
    SOCKET socket;
    std::uint64_t serial;
  };

  void Watch();
  bool Snapshot(std::vector<pollfd>& descriptors, std::vector<Watched>& watched);
  void PostNotices(const std::vector<pollfd>& descriptors, const std::vector<Watched>& watched);
  void Wake();
  void DrainWakeUps();

  mutable std::mutex mutex_;
  std::map<SOCKET, SocketEntry> entries_;
  std::uint64_t nextSerial_ = 1;
  std::thread watcher_;
  bool stopping_ = false;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
};

}  // namespace os::ws
