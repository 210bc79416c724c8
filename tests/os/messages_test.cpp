// Component windows: posted messages arrive in order on the window's thread, also when
// posted from other threads; component timers tick by identifier until killed.
#include "os/messages.h"

#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QThread>
#include <algorithm>
#include <thread>
#include <vector>

#include "support/event_loop.h"

namespace {

class RecordingWindow : public os::ComponentWindow {
 public:
  void HandleMessage(const os::Message& message) override {
    messages.push_back(message);
    threads.push_back(QThread::currentThread());
  }
  std::size_t TicksOf(unsigned id) const {
    return static_cast<std::size_t>(std::count_if(
        messages.begin(), messages.end(),
        [id](const os::Message& m) { return m.msg == os::WM_TIMER && m.wParam == id; }));
  }
  std::vector<os::Message> messages;
  std::vector<QThread*> threads;
};

// Runs the events until a reference timer, started now, has ticked `ticks` times every
// `intervalMs`: a timer of the same interval that runs since before would have ticked as often
// meanwhile, however slowly the machine goes.
void RunReferenceTicks(RecordingWindow& window, int ticks, unsigned intervalMs) {
  constexpr unsigned kReference = 99;
  ASSERT_TRUE(os::SetTimer(&window, kReference, intervalMs));
  const std::size_t before = window.TicksOf(kReference);
  ASSERT_TRUE(testing_support::RunEventsUntil(
      [&] { return window.TicksOf(kReference) >= before + static_cast<std::size_t>(ticks); }));
  os::KillTimer(&window, kReference);
}

TEST(ComponentWindowTest, PostedMessagesArriveInPostingOrderOnTheWindowThread) {
  RecordingWindow window;
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) os::PostMessage(&window, os::WM_USER, 7, i);
  });
  worker.join();
  os::PostMessage(&window, os::WM_USER + 1, 8, -1);

  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return window.messages.size() == 101; }));
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(window.messages[i].msg, os::WM_USER);
    EXPECT_EQ(window.messages[i].wParam, 7u);
    EXPECT_EQ(window.messages[i].lParam, i);
  }
  EXPECT_EQ(window.messages[100].msg, os::WM_USER + 1);
  EXPECT_EQ(window.messages[100].lParam, -1);
  for (QThread* thread : window.threads) EXPECT_EQ(thread, QThread::currentThread());
}

TEST(ComponentWindowTest, TimerTicksCarryTheirIdentifierUntilKilled) {
  RecordingWindow window;
  ASSERT_TRUE(os::SetTimer(&window, 10, 5));
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return window.messages.size() >= 2; }));
  EXPECT_EQ(window.messages[0].msg, os::WM_TIMER);
  EXPECT_EQ(window.messages[0].wParam, 10u);

  EXPECT_TRUE(os::KillTimer(&window, 10));
  EXPECT_FALSE(os::KillTimer(&window, 10)) << "a killed timer is gone";
  const std::size_t ticks = window.TicksOf(10);
  RunReferenceTicks(window, 3, 5);
  EXPECT_EQ(window.TicksOf(10), ticks);
}

// The window's own timers as the event loop has them: a second timer is seen at once, without
// waiting to count ticks against a clock.
qsizetype QtTimersOf(RecordingWindow& window) {
  return QAbstractEventDispatcher::instance()->registeredTimers(&window).size();
}

TEST(ComponentWindowTest, SettingATimerAgainRestartsItInsteadOfAddingASecond) {
  RecordingWindow window;
  const qsizetype before = QtTimersOf(window);
  ASSERT_TRUE(os::SetTimer(&window, 3, 40));
  ASSERT_TRUE(os::SetTimer(&window, 3, 40));
  EXPECT_EQ(QtTimersOf(window), before + 1);
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return window.TicksOf(3) >= 1; }));
  EXPECT_TRUE(os::KillTimer(&window, 3));
  EXPECT_EQ(QtTimersOf(window), before);
}

TEST(ComponentWindowTest, TimerRequestedFromAnotherThreadRunsOnTheWindowThread) {
  RecordingWindow window;
  std::thread worker([&] { os::SetTimer(&window, 4, 5); });
  worker.join();
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return !window.messages.empty(); }));
  EXPECT_EQ(window.messages[0].wParam, 4u);
  EXPECT_EQ(window.threads[0], QThread::currentThread());
  std::thread killer([&] { os::KillTimer(&window, 4); });
  killer.join();
  // Posted after the kill request, so handled after it.
  os::PostMessage(&window, os::WM_USER, 0, 0);
  ASSERT_TRUE(testing_support::RunEventsUntil([&] {
    return std::any_of(window.messages.begin(), window.messages.end(),
                       [](const os::Message& m) { return m.msg == os::WM_USER; });
  }));
  const std::size_t ticks = window.TicksOf(4);
  RunReferenceTicks(window, 3, 5);
  EXPECT_EQ(window.TicksOf(4), ticks);
}

}  // namespace
