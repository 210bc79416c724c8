// Queued mail tried again by itself: the back-off's steps on a clock of the test's own, and the
// outbox folder's watch on a real folder that another copy (a second OutboxFolder, with locks
// of its own) leaves a message in.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <chrono>
#include <vector>

#include "app/outbox_watch.h"
#include "app/retry_schedule.h"
#include "outbox/outbox_folder.h"
#include "support/event_loop.h"

namespace {

using namespace std::chrono_literals;
using pelorin::RetrySchedule;
using Time = std::chrono::system_clock::time_point;

const Time kStart = Time() + 1000h;

struct ScheduleCase {
  const char* what;
  std::vector<double> chances;  // one per failure
  std::vector<std::chrono::milliseconds> steps;
};

const ScheduleCase kScheduleCases[] = {
    {"no jitter: the steps as they are, then every 30 minutes",
     {0, 0, 0, 0, 0, 0, 0, 0},
     {1min, 2min, 5min, 10min, 20min, 30min, 30min, 30min}},
    {"full jitter: each step a tenth longer at most",
     {0.5, 0.5, 0.5, 0.5, 0.5, 0.5},
     {63s, 126s, 315s, 630s, 1260s, 1890s}},
    {"less jitter after more: never a shorter wait than the one before",
     {0, 0, 0, 0, 0, 0.5, 0, 0.2},
     {1min, 2min, 5min, 10min, 20min, 1890s, 1890s, 1890s}},
};

TEST(RetrySchedule, StepsAfterFailures) {
  for (const ScheduleCase& example : kScheduleCases) {
    std::size_t failure = 0;
    RetrySchedule schedule([] { return kStart; }, [&] { return example.chances.at(failure); });
    for (; failure < example.steps.size(); ++failure) {
      EXPECT_EQ(schedule.Failed(), kStart + example.steps[failure])
          << example.what << ", failure " << failure + 1;
    }
  }
}

TEST(RetrySchedule, ADeliveryStartsTheStepsAgain) {
  Time now = kStart;
  RetrySchedule schedule([&] { return now; }, [] { return 0.0; });
  for (int i = 0; i < 4; ++i) schedule.Failed();
  schedule.Succeeded();
  EXPECT_FALSE(schedule.Next().has_value());
  now += 3h;
  EXPECT_EQ(schedule.Failed(), now + 1min);
}

TEST(RetrySchedule, AShortMinuteForTests) {
  RetrySchedule schedule([] { return kStart; }, [] { return 0.0; }, 100ms);
  EXPECT_EQ(schedule.Failed(), kStart + 100ms);
  EXPECT_EQ(schedule.Failed(), kStart + 200ms);
}

// The tray copy's watch fires for the message another copy lets go of as it ends, and that
// message is then its to claim; its own queuing fires nothing.
TEST(OutboxWatch, FiresWhenAnotherCopyLeavesAMessage) {
  QTemporaryDir state;
  ASSERT_TRUE(state.isValid());
  pelorin::OutboxFolder trayFolder(state.path().toStdString());
  pelorin::OutboxWatchTrigger watch(trayFolder);
  QSignalSpy fired(&watch, &os::RetryTrigger::Fired);
  watch.Watch();
  pelorin::OutboxMessage own{0, "ann@example.org", "Subject: own\r\n\r\n", {}, {}};
  ASSERT_EQ(trayFolder.Keep(own), "");
  {
    pelorin::OutboxFolder linkFolder(state.path().toStdString());
    pelorin::OutboxMessage left{0, "bob@example.org", "Subject: left\r\n\r\n", {}, {}};
    ASSERT_EQ(linkFolder.Keep(left), "");
    ASSERT_TRUE(testing_support::RunEventsUntil([&] { return fired.count() > 0; }, 10000));
    EXPECT_TRUE(trayFolder.Load().messages.empty()) << "the other copy still holds it";
    fired.clear();
  }
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return fired.count() > 0; }, 10000))
      << "the other copy's end was not seen";
  const pelorin::OutboxFolder::Loaded loaded = trayFolder.Load();
  ASSERT_EQ(loaded.messages.size(), 1u);
  EXPECT_EQ(loaded.messages[0].recipient, "bob@example.org");
}

}  // namespace
