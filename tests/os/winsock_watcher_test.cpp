// The readiness watcher at its seam, over socket pairs: what it reports for a socket, under
// the tag it was given, and on which thread its loop calls it.
#include "os/winsock_watcher.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QThread>
#include <thread>
#include <vector>

#include "support/event_loop.h"

namespace {

using os::ws::ReadinessWatcher;

class ReadinessWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_), 0);
  }
  void TearDown() override {
    ::close(pair_[0]);
    if (pair_[1] >= 0) ::close(pair_[1]);
  }

  // The events of the one socket reported now; 0 when nothing is.
  static short ReadyEvents(ReadinessWatcher& watcher, int socket, std::uint32_t tag) {
    const std::vector<ReadinessWatcher::Ready> ready = watcher.TakeReady();
    if (ready.empty()) return 0;
    EXPECT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].socket, socket);
    EXPECT_EQ(ready[0].tag, tag);
    return ready[0].events;
  }

  int pair_[2] = {-1, -1};
};

TEST_F(ReadinessWatcherTest, ReportsWhatIsAwaitedAndAParkedSocketsFailureOnce) {
  int error = 0;
  ReadinessWatcher* watcher = ReadinessWatcher::Create(
      QThread::currentThread(), [](ReadinessWatcher&) {}, &error);
  ASSERT_NE(watcher, nullptr) << "errno " << error;
  const int s = pair_[0];
  ASSERT_EQ(watcher->Add(s, 7, 0), 0);
  ASSERT_EQ(::write(pair_[1], "x", 1), 1);
  EXPECT_EQ(ReadyEvents(*watcher, s, 7), 0) << "parked: data is not awaited";

  watcher->Change(s, 7, POLLIN);
  EXPECT_EQ(ReadyEvents(*watcher, s, 7), POLLIN);
  EXPECT_EQ(ReadyEvents(*watcher, s, 7), POLLIN) << "as long as it holds";

  watcher->Change(s, 7, 0);
  ::close(pair_[1]);
  pair_[1] = -1;
  EXPECT_NE(ReadyEvents(*watcher, s, 7) & POLLHUP, 0) << "the failure wakes the loop";
  EXPECT_EQ(ReadyEvents(*watcher, s, 7), 0) << "once, not at every turn";

  watcher->Change(s, 8, POLLIN);
  EXPECT_EQ(ReadyEvents(*watcher, s, 8) & POLLIN, POLLIN) << "awaited again, under the new tag";
  watcher->Remove(s);
  EXPECT_EQ(ReadyEvents(*watcher, s, 8), 0);
  watcher->Dispose();
}

TEST_F(ReadinessWatcherTest, MadeAndEndedOnAnotherThreadItLivesOnItsOwn) {
  QThread* const own = QThread::currentThread();
  std::vector<QThread*> calledOn;
  ReadinessWatcher* watcher = nullptr;
  int error = 0;
  std::thread([&] {
    watcher = ReadinessWatcher::Create(
        own,
        [&](ReadinessWatcher& ready) {
          calledOn.push_back(QThread::currentThread());
          ready.Remove(pair_[0]);
        },
        &error);
    if (watcher != nullptr) watcher->Add(pair_[0], 1, POLLIN);
  }).join();
  ASSERT_NE(watcher, nullptr) << "errno " << error;
  ASSERT_EQ(::write(pair_[1], "x", 1), 1);
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return !calledOn.empty(); }));
  EXPECT_EQ(calledOn, std::vector<QThread*>{own});

  bool destroyed = false;
  QObject::connect(watcher, &QObject::destroyed, [&] { destroyed = true; });
  std::thread([watcher] { watcher->Dispose(); }).join();
  EXPECT_FALSE(destroyed) << "not on the thread that ended it";
  EXPECT_TRUE(testing_support::RunEventsUntil([&] { return destroyed; }));
}

}  // namespace
