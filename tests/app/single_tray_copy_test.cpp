// One copy in the tray per user, on a real lock file and a real local socket in a scratch
// directory: the first start takes the tray, a later one has the first show its window, a copy
// that died or is ending is taken over, one that holds the tray but stays silent is reported.
// A later start runs on a thread of its own, as it would in its own process, while this thread
// runs the tray copy's events.
#include "app/single_tray_copy.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "support/event_loop.h"

namespace pelorin {
namespace {

using testing_support::RunEventsFor;
using testing_support::RunEventsUntil;
using Claim = SingleTrayCopy::Claim;

constexpr int kLongWaitMs = 10000;

// A start of the program on another thread: its claim, once made.
class LaterStart {
 public:
  LaterStart(const std::string& socketPath, int timeoutMs)
      : thread_([this, socketPath, timeoutMs] {
          SingleTrayCopy copy(socketPath);
          claim_ = copy.ClaimTray(timeoutMs);
          done_ = true;
        }) {}
  ~LaterStart() { thread_.join(); }

  // Runs this thread's events until the claim is made.
  std::optional<Claim> Result(int timeoutMs = kLongWaitMs) {
    if (!RunEventsUntil([this] { return done_.load(); }, timeoutMs)) return std::nullopt;
    return claim_;
  }
  bool Done() const { return done_; }

 private:
  std::atomic<bool> done_{false};
  Claim claim_ = Claim::Unguarded;
  std::thread thread_;
};

class SingleTrayCopyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(directory_.isValid()); }

  std::string SocketPath() const { return directory_.filePath("pelorin32-tray").toStdString(); }

  // A copy that took the tray and listens, counting the windows it shows.
  std::unique_ptr<SingleTrayCopy> TrayCopy(bool withWindow = true) {
    auto copy = std::make_unique<SingleTrayCopy>(SocketPath());
    EXPECT_EQ(copy->ClaimTray(), Claim::Taken);
    std::string failure;
    EXPECT_TRUE(copy->Listen(&failure)) << failure;
    if (withWindow) copy->SetShowWindow([this] { ++windowsShown_; });
    return copy;
  }

  QTemporaryDir directory_;
  int windowsShown_ = 0;
};

TEST_F(SingleTrayCopyTest, LaterStartHasTheTrayCopyShowItsWindow) {
  const auto trayCopy = TrayCopy();
  for (int start = 1; start <= 2; ++start) {
    LaterStart later(SocketPath(), kLongWaitMs);
    EXPECT_EQ(later.Result(), Claim::ShownByTrayCopy) << "start " << start;
    EXPECT_EQ(windowsShown_, start);
  }
}

TEST_F(SingleTrayCopyTest, StartBeforeTheWindowExistsIsAnsweredOnceItIsThere) {
  const auto trayCopy = TrayCopy(false);
  LaterStart later(SocketPath(), kLongWaitMs);
  RunEventsFor(300);  // the request arrives meanwhile
  EXPECT_FALSE(later.Done()) << "answered before the window could be shown";
  trayCopy->SetShowWindow([this] { ++windowsShown_; });
  EXPECT_EQ(later.Result(), Claim::ShownByTrayCopy);
  EXPECT_EQ(windowsShown_, 1);
}

// A copy killed outright leaves its socket file, which nobody listens on any more.
TEST_F(SingleTrayCopyTest, SocketLeftByACopyThatDiedIsTakenOver) {
  const int leftover = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(leftover, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, SocketPath().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(leftover, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(leftover, 1), 0);
  close(leftover);
  ASSERT_TRUE(std::filesystem::exists(SocketPath()));

  const auto trayCopy = TrayCopy();
  LaterStart later(SocketPath(), kLongWaitMs);
  EXPECT_EQ(later.Result(), Claim::ShownByTrayCopy);
  EXPECT_EQ(windowsShown_, 1);
}

TEST_F(SingleTrayCopyTest, CopyThatEndsWhileAskedLeavesTheTrayToTheLaterStart) {
  auto ending = std::make_unique<SingleTrayCopy>(SocketPath());
  ASSERT_EQ(ending->ClaimTray(), Claim::Taken);  // still starting: not listening yet
  LaterStart later(SocketPath(), kLongWaitMs);
  RunEventsFor(200);
  ending.reset();
  EXPECT_EQ(later.Result(), Claim::Taken);
}

TEST_F(SingleTrayCopyTest, CopyThatHoldsTheTrayButDoesNotAnswerIsReportedSilent) {
  struct Case {
    const char* what;
    bool listens;
  };
  for (const Case& c : {Case{"not listening", false}, Case{"never showing its window", true}}) {
    SCOPED_TRACE(c.what);
    SingleTrayCopy silent(SocketPath());
    ASSERT_EQ(silent.ClaimTray(), Claim::Taken);
    if (c.listens) {
      ASSERT_TRUE(silent.Listen(nullptr));
    }
    LaterStart later(SocketPath(), 500);
    EXPECT_EQ(later.Result(), Claim::TrayCopySilent);
  }
}

TEST_F(SingleTrayCopyTest, RunsUnguardedWhereNoLockCanBeHad) {
  const std::string missingDirectory = directory_.filePath("missing/pelorin32-tray").toStdString();
  // A lock file that is a link could point anywhere another user likes.
  const std::string linkedLock = SocketPath() + ".lock";
  ASSERT_EQ(symlink(directory_.filePath("elsewhere").toStdString().c_str(), linkedLock.c_str()), 0);
  for (const std::string& path : {missingDirectory, SocketPath()}) {
    SCOPED_TRACE(path);
    SingleTrayCopy copy(path);
    EXPECT_EQ(copy.ClaimTray(), Claim::Unguarded);
  }
}

TEST_F(SingleTrayCopyTest, OtherRequestsAreRefusedWithoutShowingTheWindow) {
  const auto trayCopy = TrayCopy();
  std::atomic<bool> closed = false;
  std::thread client([&] {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SocketPath().c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      const char request[] = "quit\n";
      (void)!write(fd, request, sizeof request - 1);
      char answer[16];
      closed = read(fd, answer, sizeof answer) == 0;  // closed without an answer
    }
    close(fd);
  });
  EXPECT_TRUE(RunEventsUntil([&] { return closed.load(); }, kLongWaitMs));
  client.join();
  EXPECT_EQ(windowsShown_, 0);
}

// Only the user may reach the socket, and it goes with the copy, so that the next start does
// not knock at a dead socket.
TEST_F(SingleTrayCopyTest, SocketIsTheUsersOwnAndGoesWithTheCopy) {
  auto trayCopy = TrayCopy();
  struct stat info {};
  ASSERT_EQ(lstat(SocketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  trayCopy.reset();
  EXPECT_FALSE(std::filesystem::exists(SocketPath()));
}

// A later start that gives up before the window exists is forgotten; the next one is answered.
TEST_F(SingleTrayCopyTest, StartThatGaveUpIsNotAnsweredAndTheNextOneIs) {
  const auto trayCopy = TrayCopy(false);
  {
    LaterStart impatient(SocketPath(), 200);
    EXPECT_EQ(impatient.Result(), Claim::TrayCopySilent);
  }
  trayCopy->SetShowWindow([this] { ++windowsShown_; });
  EXPECT_EQ(windowsShown_, 0) << "shown for a start that had already ended";
  LaterStart later(SocketPath(), kLongWaitMs);
  EXPECT_EQ(later.Result(), Claim::ShownByTrayCopy);
  EXPECT_EQ(windowsShown_, 1);
}

TEST(SingleTrayCopyPath, IsInTheRuntimeDirectoryElseTheUsersOwnInTheTemporaryOne) {
  const char* saved = getenv("XDG_RUNTIME_DIR");
  const std::optional<std::string> runtime =
      saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
  const std::string inTemp =
      QDir::tempPath().toStdString() + "/pelorin32-tray-" + std::to_string(getuid());
  struct Case {
    const char* runtime;  // null: unset
    std::string expected;
  };
  for (const Case& c : {Case{"/run/user/1234", "/run/user/1234/pelorin32-tray"},
                        Case{nullptr, inTemp}, Case{"", inTemp}, Case{"relative/dir", inTemp}}) {
    SCOPED_TRACE(c.runtime != nullptr ? c.runtime : "(unset)");
    if (c.runtime != nullptr) {
      setenv("XDG_RUNTIME_DIR", c.runtime, 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(SingleTrayCopy::DefaultSocketPath(), c.expected);
  }
  if (runtime) {
    setenv("XDG_RUNTIME_DIR", runtime->c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace pelorin
