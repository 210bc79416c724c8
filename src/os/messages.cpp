#include "os/messages.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimerEvent>

namespace os {
namespace {

const QEvent::Type kPostedMessageType = static_cast<QEvent::Type>(QEvent::registerEventType());

class PostedMessageEvent : public QEvent {
 public:
  explicit PostedMessageEvent(const Message& m) : QEvent(kPostedMessageType), message(m) {}
  Message message;
};

bool OnOwnThread(const QObject* object) {
  return object->thread() == QThread::currentThread();
}

}  // namespace

ComponentWindow::ComponentWindow(QObject* parent) : QObject(parent) {}

ComponentWindow::~ComponentWindow() = default;

bool ComponentWindow::event(QEvent* e) {
  if (e->type() == kPostedMessageType) {
    --queued_;
    HandleMessage(static_cast<PostedMessageEvent*>(e)->message);
    return true;
  }
  return QObject::event(e);
}

void ComponentWindow::timerEvent(QTimerEvent* e) {
  for (const auto& [id, qtId] : timers_) {
    if (qtId == e->timerId()) {
      HandleMessage({WM_TIMER, id, 0});
      return;
    }
  }
  QObject::timerEvent(e);
}

void PostMessage(ComponentWindow* window, unsigned msg, WPARAM wParam, LPARAM lParam) {
  ++window->queued_;
  QCoreApplication::postEvent(window, new PostedMessageEvent({msg, wParam, lParam}));
}

void DeliverMessage(ComponentWindow* window, unsigned msg, WPARAM wParam, LPARAM lParam) {
  if (OnOwnThread(window) && window->queued_ == 0) {
    window->HandleMessage({msg, wParam, lParam});
    return;
  }
  PostMessage(window, msg, wParam, lParam);
}

void DiscardPostedMessages(ComponentWindow* window) {
  QCoreApplication::removePostedEvents(window, kPostedMessageType);
  window->queued_ = 0;
}

bool SetTimer(ComponentWindow* window, unsigned id, unsigned ms) {
  if (window == nullptr) return false;
  if (!OnOwnThread(window)) {
    QMetaObject::invokeMethod(window, [window, id, ms] { SetTimer(window, id, ms); });
    return true;
  }
  KillTimer(window, id);
  const int qtId = window->startTimer(static_cast<int>(ms));
  if (qtId == 0) return false;
  window->timers_[id] = qtId;
  return true;
}

bool KillTimer(ComponentWindow* window, unsigned id) {
  if (window == nullptr) return false;
  if (!OnOwnThread(window)) {
    QMetaObject::invokeMethod(window, [window, id] { KillTimer(window, id); });
    return true;
  }
  const auto it = window->timers_.find(id);
  if (it == window->timers_.end()) return false;
  window->killTimer(it->second);
  window->timers_.erase(it);
  return true;
}

}  // namespace os
