#include "os/winsock_table.h"

#include "os/messages.h"
#include "os/winsock_errors.h"

namespace os::ws {

SocketTable& SocketTable::Instance() {
  // Never destroyed: a watcher may still call in when the process ends without a WSACleanup.
  static SocketTable* const table = new SocketTable;
  return *table;
}

void SocketTable::Add(SOCKET s) {
  std::lock_guard lock(mutex_);
  Row row;
  row.entry.serial = nextSerial_++;
  rows_[s] = row;
}

bool SocketTable::Remove(SOCKET s) {
  std::lock_guard lock(mutex_);
  const auto it = rows_.find(s);
  if (it == rows_.end()) return false;
  // Out of its watcher before the descriptor is closed and perhaps given to a new socket.
  if (it->second.watcher != nullptr) it->second.watcher->Remove(s);
  rows_.erase(it);
  return true;
}

std::vector<SOCKET> SocketTable::RemoveAll() {
  std::lock_guard lock(mutex_);
  std::vector<SOCKET> sockets;
  for (const auto& [s, row] : rows_) {
    if (row.watcher != nullptr) row.watcher->Remove(s);
    sockets.push_back(s);
  }
  rows_.clear();
  return sockets;
}

std::optional<SocketEntry> SocketTable::Find(SOCKET s) const {
  std::lock_guard lock(mutex_);
  const auto it = rows_.find(s);
  if (it == rows_.end()) return std::nullopt;
  return it->second.entry;
}

bool SocketTable::Update(SOCKET s, const std::function<void(SocketEntry&)>& change) {
  std::lock_guard lock(mutex_);
  const auto it = rows_.find(s);
  if (it == rows_.end()) return false;
  change(it->second.entry);
  // A socket under a request is in its watcher already: only what it waits for changes.
  Rewatch(s, it->second);
  return true;
}

int SocketTable::Request(SOCKET s, ComponentWindow* window, unsigned message, long events) {
  std::lock_guard lock(mutex_);
  const auto it = rows_.find(s);
  if (it == rows_.end()) return WSAENOTSOCK;
  Row& row = it->second;
  Select(row.entry, window, message, events);
  const int error = Rewatch(s, row);
  if (error == 0) return 0;
  Select(row.entry, nullptr, 0, 0);
  Rewatch(s, row);
  return ErrorFromErrno(error);
}

void SocketTable::ForgetWindow(ComponentWindow* window) {
  std::lock_guard lock(mutex_);
  for (auto& [s, row] : rows_) {
    if (row.entry.window != window) continue;
    Select(row.entry, nullptr, 0, 0);
    Rewatch(s, row);
  }
}

void SocketTable::StopWatching() {
  std::lock_guard lock(mutex_);
  for (const auto& [thread, watcher] : watchers_) watcher->Dispose();
  watchers_.clear();
}

// Puts the socket where its entry says: in the watcher of its window's thread while a request
// is in force, waiting for what the entry awaits; in none otherwise. 0 or the errno value of
// the failure to add it.
int SocketTable::Rewatch(SOCKET s, Row& row) {
  ReadinessWatcher* target = nullptr;
  if (row.entry.window != nullptr) {
    int error = 0;
    target = WatcherFor(row.entry.window->thread(), &error);
    if (target == nullptr) return error;
  }
  const short interest = InterestOf(row.entry);
  const auto tag = static_cast<std::uint32_t>(row.entry.serial);
  if (row.watcher == target) {
    if (target != nullptr && interest != row.watched) target->Change(s, tag, interest);
  } else {
    if (row.watcher != nullptr) row.watcher->Remove(s);
    row.watcher = nullptr;
    if (target != nullptr) {
      if (const int error = target->Add(s, tag, interest); error != 0) return error;
      row.watcher = target;
    }
  }
  row.watched = interest;
  return 0;
}

ReadinessWatcher* SocketTable::WatcherFor(QThread* thread, int* error) {
  if (const auto it = watchers_.find(thread); it != watchers_.end()) return it->second;
  ReadinessWatcher* watcher = ReadinessWatcher::Create(
      thread, [this](ReadinessWatcher& ready) { PostReady(ready); }, error);
  if (watcher != nullptr) watchers_[thread] = watcher;
  return watcher;
}

void SocketTable::PostReadyNow(QThread* thread) {
  ReadinessWatcher* watcher = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto it = watchers_.find(thread);
    if (it == watchers_.end()) return;
    watcher = it->second;
  }
  PostReady(*watcher);
}

// On the watcher's thread. Under the lock, so that no socket is closed or re-selected while
// its readiness is read, and no window forgotten while a notification to it is being posted.
void SocketTable::PostReady(ReadinessWatcher& watcher) {
  std::lock_guard lock(mutex_);
  for (const ReadinessWatcher::Ready& ready : watcher.TakeReady()) {
    const auto it = rows_.find(ready.socket);
    // The tag is the serial: a later socket with the same descriptor is never taken for it.
    if (it == rows_.end() || it->second.watcher != &watcher ||
        static_cast<std::uint32_t>(it->second.entry.serial) != ready.tag) {
      continue;
    }
    Row& row = it->second;
    for (const Notice& notice : TakeNotices(ready.socket, row.entry, ready.events)) {
      PostMessage(row.entry.window, row.entry.message, static_cast<WPARAM>(ready.socket),
                  WSAMAKESELECTREPLY(static_cast<unsigned>(notice.event),
                                     static_cast<unsigned>(notice.error)));
    }
    Rewatch(ready.socket, row);
  }
}

}  // namespace os::ws
