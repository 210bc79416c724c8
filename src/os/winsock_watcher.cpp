#include "os/winsock_watcher.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QThread>
#include <cerrno>

namespace os::ws {
namespace {

// The poll() flags that the notification rules speak in are epoll's, bit for bit.
static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLRDHUP == EPOLLRDHUP &&
              POLLERR == EPOLLERR && POLLHUP == EPOLLHUP);

constexpr int kReadyBatch = 64;

epoll_event EventFor(int socket, std::uint32_t tag, short events) {
  epoll_event event{};
  // Parked: epoll reports a failure even when nothing is asked for, and a one-shot
  // registration reports it once instead of at every turn of the loop.
  event.events = events != 0 ? static_cast<std::uint16_t>(events) : std::uint32_t{EPOLLONESHOT};
  event.data.u64 = (std::uint64_t{tag} << 32) | static_cast<std::uint32_t>(socket);
  return event;
}

}  // namespace

ReadinessWatcher* ReadinessWatcher::Create(QThread* thread, ReadyHandler onReady, int* error) {
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) {
    *error = errno;
    return nullptr;
  }
  auto* watcher = new ReadinessWatcher(epoll, std::move(onReady));
  if (thread == QThread::currentThread()) {
    watcher->Arm();
    return watcher;
  }
  // The notifier must be made on its own thread. The caller does not wait for that: the
  // thread may itself be waiting for the caller. Readiness meanwhile is kept by the set.
  watcher->moveToThread(thread);
  QMetaObject::invokeMethod(
      watcher, [watcher] { watcher->Arm(); }, Qt::QueuedConnection);
  return watcher;
}

ReadinessWatcher::ReadinessWatcher(int epoll, ReadyHandler onReady)
    : epoll_(epoll), onReady_(std::move(onReady)) {}

ReadinessWatcher::~ReadinessWatcher() {
  delete notifier_;  // off the loop before its descriptor goes
  ::close(epoll_);
}

void ReadinessWatcher::Arm() {
  notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    ++handling_;
    onReady_(*this);
    --handling_;
    if (handling_ == 0 && disposed_) EndLater();
  });
}

int ReadinessWatcher::Add(int socket, std::uint32_t tag, short events) {
  epoll_event event = EventFor(socket, tag, events);
  return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) == 0 ? 0 : errno;
}

void ReadinessWatcher::Change(int socket, std::uint32_t tag, short events) {
  epoll_event event = EventFor(socket, tag, events);
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, socket, &event);
}

void ReadinessWatcher::Remove(int socket) {
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, socket, nullptr);
}

std::vector<ReadinessWatcher::Ready> ReadinessWatcher::TakeReady() {
  epoll_event events[kReadyBatch];
  const int count = ::epoll_wait(epoll_, events, kReadyBatch, 0);
  std::vector<Ready> ready;
  for (int i = 0; i < count; ++i) {
    const std::uint64_t data = events[i].data.u64;
    ready.push_back({static_cast<int>(static_cast<std::uint32_t>(data)),
                     static_cast<std::uint32_t>(data >> 32), static_cast<short>(events[i].events)});
  }
  return ready;
}

void ReadinessWatcher::Dispose() {
  if (thread() == QThread::currentThread() && handling_ == 0) {
    delete this;
    return;
  }
  EndLater();
}

// Not deleteLater: that waits for an event loop entered with exec(), and a thread that runs its
// events with processEvents alone would keep the watcher for ever. A handler may still be on
// the stack when the end comes (it ran a nested loop): the watcher then ends once it returns.
void ReadinessWatcher::EndLater() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (handling_ > 0) {
          disposed_ = true;
          return;
        }
        delete this;
      },
      Qt::QueuedConnection);
}

}  // namespace os::ws
