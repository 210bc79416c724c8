#include "os/winsock_table.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "os/messages.h"

namespace os::ws {

SocketTable& SocketTable::Instance() {
  // Never destroyed: the watcher may still run when the process ends without a WSACleanup.
  static SocketTable* const table = new SocketTable;
  return *table;
}

void SocketTable::Add(SOCKET s) {
  std::lock_guard lock(mutex_);
  SocketEntry entry;
  entry.serial = nextSerial_++;
  entries_[s] = entry;
}

bool SocketTable::Remove(SOCKET s) {
  bool watched = false;
  {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(s);
    if (it == entries_.end()) return false;
    watched = InterestOf(it->second) != 0;
    entries_.erase(it);
  }
  // The watcher is told at once, so that it stops watching the closed descriptor.
  if (watched) Wake();
  return true;
}

std::vector<SOCKET> SocketTable::RemoveAll() {
  std::lock_guard lock(mutex_);
  std::vector<SOCKET> sockets;
  for (const auto& [s, entry] : entries_) sockets.push_back(s);
  entries_.clear();
  return sockets;
}

std::optional<SocketEntry> SocketTable::Find(SOCKET s) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(s);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

bool SocketTable::Update(SOCKET s, const std::function<void(SocketEntry&)>& change) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(s);
    if (it == entries_.end()) return false;
    const short before = InterestOf(it->second);
    change(it->second);
    wake = InterestOf(it->second) != before;
  }
  if (wake) Wake();
  return true;
}

void SocketTable::ForgetWindow(ComponentWindow* window) {
  std::lock_guard lock(mutex_);
  for (auto& [s, entry] : entries_) {
    if (entry.window == window) Select(entry, nullptr, 0, 0);
  }
}

int SocketTable::StartWatching() {
  std::lock_guard lock(mutex_);
  if (watcher_.joinable()) return 0;
  int pipe[2];
  if (::pipe2(pipe, O_NONBLOCK | O_CLOEXEC) != 0) return errno;
  wakeRead_ = pipe[0];
  wakeWrite_ = pipe[1];
  stopping_ = false;
  watcher_ = std::thread([this] { Watch(); });
  return 0;
}

void SocketTable::StopWatching() {
  {
    std::lock_guard lock(mutex_);
    if (!watcher_.joinable()) return;
    stopping_ = true;
  }
  Wake();
  watcher_.join();
  std::lock_guard lock(mutex_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
  wakeRead_ = wakeWrite_ = -1;
}

void SocketTable::Watch() {
  std::vector<pollfd> descriptors;
  std::vector<Watched> watched;
  while (Snapshot(descriptors, watched)) {
    if (::poll(descriptors.data(), descriptors.size(), -1) < 0) continue;  // EINTR: look again
    if (descriptors[0].revents != 0) DrainWakeUps();
    PostNotices(descriptors, watched);
  }
}

bool SocketTable::Snapshot(std::vector<pollfd>& descriptors, std::vector<Watched>& watched) {
  std::lock_guard lock(mutex_);
  if (stopping_) return false;
  descriptors.assign(1, pollfd{wakeRead_, POLLIN, 0});
  watched.clear();
  for (const auto& [s, entry] : entries_) {
    const short interest = InterestOf(entry);
    if (interest == 0) continue;
    descriptors.push_back({s, interest, 0});
    watched.push_back({s, entry.serial});
  }
  return true;
}

// Under the lock, so that no socket is closed or re-selected while its readiness is read, and
// no window forgotten while a notification to it is being posted.
void SocketTable::PostNotices(const std::vector<pollfd>& descriptors,
                              const std::vector<Watched>& watched) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 1; i < descriptors.size(); ++i) {
    if (descriptors[i].revents == 0) continue;
    const Watched& socket = watched[i - 1];
    const auto it = entries_.find(socket.socket);
    // A socket closed since the snapshot, or a new one under the same descriptor, waits for
    // the next round.
    if (it == entries_.end() || it->second.serial != socket.serial) continue;
    SocketEntry& entry = it->second;
    for (const Notice& notice : TakeNotices(socket.socket, entry, descriptors[i].revents)) {
      PostMessage(entry.window, entry.message, static_cast<WPARAM>(socket.socket),
                  WSAMAKESELECTREPLY(static_cast<unsigned>(notice.event),
                                     static_cast<unsigned>(notice.error)));
    }
  }
}

void SocketTable::Wake() {
  std::lock_guard lock(mutex_);
  if (wakeWrite_ < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake-up; nothing more is needed.
  [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &byte, 1);
}

void SocketTable::DrainWakeUps() {
  char bytes[64];
  while (::read(wakeRead_, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace os::ws
