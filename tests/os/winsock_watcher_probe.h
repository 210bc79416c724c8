// Tells when the socket layer's watcher has caught up, so that a test can check that a
// notification did NOT come without waiting for an arbitrary time.
//
// The watcher of a window's sockets runs in the event loop of the thread that owns the
// window: a readiness that holds now is taken the next time that loop looks at its sockets,
// and its notifications are posted then. The probe has the watcher look at once, so that what
// the sockets' state at the call gives is posted, for windows of the calling thread.
#pragma once

#include <QCoreApplication>

#include "os/winsock.h"

namespace testing_support {

class WatcherProbe {
 public:
  // Every notification that the sockets' state at the call gives has been posted (to windows
  // of the calling thread), none yet delivered.
  [[nodiscard]] bool Complete() {
    os::ws::PostReadinessNow();
    return true;
  }
  // Complete(), then the notifications it posted are delivered on this thread.
  [[nodiscard]] bool CompleteAndDeliver() {
    const bool complete = Complete();
    QCoreApplication::sendPostedEvents();
    return complete;
  }
};

}  // namespace testing_support
