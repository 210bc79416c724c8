// Readiness of sockets, seen from one thread's own event loop: an epoll set of sockets, and a
// QSocketNotifier on the set that lives on that thread. When a socket of the set is ready, the
// thread's loop calls the handler there, which takes what is ready with TakeReady. No other
// thread stands between the sockets and that loop.
//
// The set may be changed from any thread. A socket waits for the poll() events it is given;
// one that awaits nothing stays in the set "parked", so that changing what it awaits cannot
// fail (a failure still wakes the loop once, as epoll always reports one).
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <vector>

class QSocketNotifier;
class QThread;

namespace os::ws {

class ReadinessWatcher : public QObject {
 public:
  struct Ready {
    int socket;
    std::uint32_t tag;  // as given to Add
    short events;       // poll() events
  };
  using ReadyHandler = std::function<void(ReadinessWatcher&)>;

  // A watcher whose notifier lives on `thread`; made on any thread, it starts watching once
  // that thread runs its loop. Null with *error set to the errno value when the set cannot
  // be made.
  static ReadinessWatcher* Create(QThread* thread, ReadyHandler onReady, int* error);
  ~ReadinessWatcher() override;
  ReadinessWatcher(const ReadinessWatcher&) = delete;
  ReadinessWatcher& operator=(const ReadinessWatcher&) = delete;

  // Any thread. Add gives 0 or the errno value; Change and Remove cannot fail for a socket
  // that was added.
  int Add(int socket, std::uint32_t tag, short events);
  void Change(int socket, std::uint32_t tag, short events);
  void Remove(int socket);

  // What is ready now, without waiting.
  std::vector<Ready> TakeReady();

  // Ends the watcher on its own thread: at once when called there outside its handler,
  // otherwise when that thread next runs its loop.
  void Dispose();

 private:
  ReadinessWatcher(int epoll, ReadyHandler onReady);
  void Arm();
  void EndLater();

  const int epoll_;
  const ReadyHandler onReady_;
  QSocketNotifier* notifier_ = nullptr;
  // How deep the handler runs, during which the watcher must not end. A handler may run a
  // nested loop that calls it again: the blocking hook of a call in blocking mode does, and so
  // do the socket component's own boxes.
  int handling_ = 0;
  bool disposed_ = false;  // its end came while the handler ran; it ends when that returns
};

}  // namespace os::ws
