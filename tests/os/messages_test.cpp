// Component windows: posted messages arrive in order on the window's thread, also when
// posted from other threads; component timers tick by identifier until killed.
#include "os/messages.h"

#include <gtest/gtest.h>

#include <QThread>
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
  std::vector<os::Message> messages;
  std::vector<QThread*> threads;
};

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
  const std::size_t ticks = window.messages.size();
  testing_support::RunEventsFor(50);
  EXPECT_EQ(window.messages.size(), ticks);
}

TEST(ComponentWindowTest, SettingATimerAgainRestartsItInsteadOfAddingASecond) {
  RecordingWindow window;
  ASSERT_TRUE(os::SetTimer(&window, 3, 40));
  ASSERT_TRUE(os::SetTimer(&window, 3, 40));
  testing_support::RunEventsFor(60);
  os::KillTimer(&window, 3);
  EXPECT_EQ(window.messages.size(), 1u);
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
  testing_support::RunEventsFor(20);
  const std::size_t ticks = window.messages.size();
  testing_support::RunEventsFor(30);
  EXPECT_EQ(window.messages.size(), ticks);
}

}  // namespace
