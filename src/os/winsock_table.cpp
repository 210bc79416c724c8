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
// the failure to add it. Narrowing lazily keeps a socket that just gave a notice armed for it:
// the reply to it (a recv, say) usually re-enables the same event before the loop looks
// again, and two epoll_ctl calls per reply were a fifth of a lock-step conversation's system
// calls. Should the loop look first, the readiness it finds gives no notice and narrows then.
int SocketTable::Rewatch(SOCKET s, Row& row, Narrowing narrowing) {
  ReadinessWatcher* target = nullptr;
  if (row.entry.window != nullptr) {
    int error = 0;
    target = WatcherFor(row.entry.window->thread(), &error);
    if (target == nullptr) return error;
  }
  const short interest = InterestOf(row.entry);
  const auto tag = static_cast<std::uint32_t>(row.entry.serial);
  if (row.watcher == target) {
    const bool narrower = (interest & ~row.watched) == 0;
    if (narrowing == Narrowing::Lazily && narrower) return 0;
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
      thread, [this](ReadinessWatcher& ready) { PostReady(ready, Handing::AtOnce); }, error);
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
  PostReady(*watcher, Handing::Post);
}

// On the watcher's thread. The readiness is read under the lock, so that no socket is closed
// or re-selected meanwhile; the notifications are handed on after it, since their handlers
// call back into the table. Each goes only while its request is still in force: a handler
// before it may have closed the socket or cancelled the request, after which no notification
// may reach the window (as one posted before is discarded by its owner).
void SocketTable::PostReady(ReadinessWatcher& watcher, Handing handing) {
  for (const Due& due : TakeDue(watcher)) {
    if (due.window.isNull() || !StillRequested(due)) continue;
    const auto socket = static_cast<WPARAM>(due.socket);
    if (handing == Handing::AtOnce) {
      DeliverMessage(due.window.data(), due.message, socket, due.reply);
    } else {
      PostMessage(due.window.data(), due.message, socket, due.reply);
    }
  }
}

std::vector<SocketTable::Due> SocketTable::TakeDue(ReadinessWatcher& watcher) {
  std::lock_guard lock(mutex_);
  std::vector<Due> due;
  for (const ReadinessWatcher::Ready& ready : watcher.TakeReady()) {
    const auto it = rows_.find(ready.socket);
    // The tag is the serial: a later socket with the same descriptor is never taken for it.
    if (it == rows_.end() || it->second.watcher != &watcher ||
        static_cast<std::uint32_t>(it->second.entry.serial) != ready.tag) {
      continue;
    }
    Row& row = it->second;
    const std::vector<Notice> notices = TakeNotices(ready.socket, row.entry, ready.events);
    for (const Notice& notice : notices) {
      due.push_back({ready.socket, row.entry.serial, row.entry.window, row.entry.message,
                     WSAMAKESELECTREPLY(static_cast<unsigned>(notice.event),
                                        static_cast<unsigned>(notice.error))});
    }
    Rewatch(ready.socket, row, notices.empty() ? Narrowing::Now : Narrowing::Lazily);
  }
  return due;
}

bool SocketTable::StillRequested(const Due& due) const {
  std::lock_guard lock(mutex_);
  const auto it = rows_.find(due.socket);
  return it != rows_.end() && it->second.entry.serial == due.serial &&
         it->second.entry.window == due.window.data() && it->second.entry.message == due.message;
}

}  // namespace os::ws
