// Window messages for components: each component owns a hidden "window" that receives
// posted (message, wParam, lParam) triples and identifier-based timers, in posting order,
// on the thread that created it.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <map>

namespace os {

constexpr unsigned WM_TIMER = 0x0113;
constexpr unsigned WM_USER = 1024;

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

struct Message {
  unsigned msg;
  WPARAM wParam;
  LPARAM lParam;
};

// The hidden window of a component. Subclasses handle what arrives in HandleMessage.
class ComponentWindow : public QObject {
  Q_OBJECT
 public:
  explicit ComponentWindow(QObject* parent = nullptr);
  ~ComponentWindow() override;

  // Called on the window's own thread for each posted message and each timer tick.
  virtual void HandleMessage(const Message& message) = 0;

 protected:
  bool event(QEvent* e) override;
  void timerEvent(QTimerEvent* e) override;

 private:
  friend bool SetTimer(ComponentWindow*, unsigned, unsigned);
  friend bool KillTimer(ComponentWindow*, unsigned);
  friend void PostMessage(ComponentWindow*, unsigned, WPARAM, LPARAM);
  friend void DiscardPostedMessages(ComponentWindow*);
  friend void DeliverMessage(ComponentWindow*, unsigned, WPARAM, LPARAM);
  std::map<unsigned, int> timers_;  // component timer id -> Qt timer id
  std::atomic<int> queued_{0};      // posted messages not handled yet
};

// Thread-safe: may be called from any thread; delivery happens on the window's thread.
void PostMessage(ComponentWindow* window, unsigned msg, WPARAM wParam, LPARAM lParam);

// For what the window's own thread found in its loop: handled at once when called on that
// thread with nothing posted to the window still waiting, as a posted message taken at once
// would be; otherwise posted behind what waits. Handing it on at once spares the event queue
// its wake-up (a write and a read of its event descriptor, and one more turn of the loop),
// which was a third of the system calls of each reply in a lock-step conversation.
void DeliverMessage(ComponentWindow* window, unsigned msg, WPARAM wParam, LPARAM lParam);

// Drops the messages posted to the window that it has not handled yet. Thread-safe.
void DiscardPostedMessages(ComponentWindow* window);

// A timer message (WM_TIMER, wParam = id) every `ms` milliseconds until killed. Setting an
// existing id restarts it. Called from another thread, the request is carried out on the
// window's thread.
bool SetTimer(ComponentWindow* window, unsigned id, unsigned ms);
bool KillTimer(ComponentWindow* window, unsigned id);

}  // namespace os
