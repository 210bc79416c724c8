// Runs the Qt event loop of the calling thread until a condition holds or time runs out. The
// usual limit is far beyond what a slow, busy machine needs: it only ends a wait for what never
// comes.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace testing_support {

inline bool RunEventsUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::usleep(500);
  }
  return true;
}

inline void RunEventsFor(int ms) {
  RunEventsUntil([] { return false; }, ms);
}

}  // namespace testing_support
