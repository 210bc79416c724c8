// One copy in the tray per user, on a real lock file and a real local socket in a scratch
// directory: the first start takes the tray, a later one has the first show its window, a copy
// that died or is ending is taken over, one that holds the tray but stays silent is reported.
// A later start runs on a thread of its own, as it would in its own process, while this thread
// runs the tray copy's events.
#include "desktop/single_tray_copy.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "support/event_loop.h"
#include "support/scoped_environment.h"

namespace pelorin {
namespace {

using testing_support::RunEventsFor;
using testing_support::RunEventsUntil;
using Claim = SingleTrayCopy::Claim;

constexpr int kLongWaitMs = 10000;
constexpr uid_t kAnotherUser = 65534;

// A start of the program on another thread: its claim, once made.
class LaterStart {
 public:
  LaterStart(const std::string& socketPath, int timeoutMs)
      : thread_([this, socketPath, timeoutMs] {
          SingleTrayCopy copy(socketPath);
          claim_ = copy.ClaimTray(timeoutMs);
          failure_ = copy.Failure();
          done_ = true;
        }) {}
  ~LaterStart() { thread_.join(); }

  // Runs this thread's events until the claim is made.
  std::optional<Claim> Result(int timeoutMs = kLongWaitMs) {
    if (!RunEventsUntil([this] { return done_.load(); }, timeoutMs)) return std::nullopt;
    return claim_;
  }
  bool Done() const { return done_; }
  std::string Failure() const { return done_ ? failure_ : std::string(); }

 private:
  std::atomic<bool> done_{false};
  Claim claim_ = Claim::Unguarded;
  std::string failure_;
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

  // A socket listening at SocketPath(), as a copy that died or a squatter leaves it.
  int ListeningSocket() const {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SocketPath().c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd, 1), 0);
    return fd;
  }

  // Only root can give a file away; run as another user, the test fails and says so.
  static void GiveToAnotherUser(const std::string& path) {
    ASSERT_EQ(lchown(path.c_str(), kAnotherUser, kAnotherUser), 0)
        << "giving " << path << " to user " << kAnotherUser
        << " needs root; run this test as root: " << std::strerror(errno);
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
  close(ListeningSocket());
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

// Another user can create files in a shared temporary directory: a lock file there that is a
// link or someone else's is not used, and the claim says why.
TEST_F(SingleTrayCopyTest, RunsUnguardedWhereNoLockOfItsOwnCanBeHad) {
  const std::string lock = SocketPath() + ".lock";
  struct Case {
    const char* what;
    std::string socketPath;
    std::function<void()> prepare;
    std::string failure;
  };
  const std::string missing = directory_.filePath("missing/pelorin32-tray").toStdString();
  const std::vector<Case> cases = {
      {"no directory", missing, [] {}, missing + ".lock: No such file or directory"},
      {"a link", SocketPath(),
       [&] {
         ASSERT_EQ(symlink(directory_.filePath("elsewhere").toStdString().c_str(), lock.c_str()),
                   0);
       },
       lock + " is a symbolic link"},
      {"another user's", SocketPath(),
       [&] {
         std::ofstream{lock};
         GiveToAnotherUser(lock);
       },
       lock + " belongs to another user (user id 65534)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(lock);
    ASSERT_NO_FATAL_FAILURE(c.prepare());
    SingleTrayCopy copy(c.socketPath);
    EXPECT_EQ(copy.ClaimTray(), Claim::Unguarded);
    EXPECT_EQ(copy.Failure(), c.failure);
  }
}

// A socket of another user's that answers "shown" would end every start with no window.
TEST_F(SingleTrayCopyTest, ASocketOfAnotherUsersIsNotAsked) {
  SingleTrayCopy trayCopy(SocketPath());
  ASSERT_EQ(trayCopy.ClaimTray(), Claim::Taken);  // not listening: the squatter took its place
  const int squatter = ListeningSocket();
  ASSERT_NO_FATAL_FAILURE(GiveToAnotherUser(SocketPath()));
  std::thread answering([squatter] {
    const int fd = accept(squatter, nullptr, nullptr);
    if (fd < 0) return;  // woken by the shutdown below: nobody came
    char request[16];
    (void)!read(fd, request, sizeof request);
    (void)!write(fd, "shown\n", 6);
    close(fd);
  });
  LaterStart later(SocketPath(), kLongWaitMs);
  const std::optional<Claim> claim = later.Result();
  shutdown(squatter, SHUT_RDWR);
  answering.join();
  close(squatter);
  EXPECT_EQ(claim, Claim::TrayCopySilent);
  EXPECT_EQ(later.Failure(), SocketPath() + " belongs to another user (user id 65534)");
}

// Holding the lock, the copy listens, unless what lies at the socket's path is not its own to
// replace; then it says why.
TEST_F(SingleTrayCopyTest, ListeningFailsWithAReasonWhereTheSocketCannotBeMade) {
  struct Case {
    const char* what;
    std::string socketPath;
    std::function<void()> prepare;
    std::string failure;
  };
  const std::vector<Case> cases = {
      {"a folder there", SocketPath(), [&] { std::filesystem::create_directory(SocketPath()); },
       SocketPath() + " is a folder"},
      {"another user's socket there", SocketPath(),
       [&] {
         close(ListeningSocket());
         GiveToAnotherUser(SocketPath());
       },
       SocketPath() + " belongs to another user (user id 65534)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(SocketPath());
    ASSERT_NO_FATAL_FAILURE(c.prepare());
    SingleTrayCopy copy(c.socketPath);
    ASSERT_EQ(copy.ClaimTray(), Claim::Taken);
    std::string failure;
    EXPECT_FALSE(copy.Listen(&failure));
    EXPECT_EQ(failure, c.failure);
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
  testing_support::ScopedEnvironment environment;
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
      environment.Set("XDG_RUNTIME_DIR", c.runtime);
    } else {
      environment.Unset("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(SingleTrayCopy::DefaultSocketPath(), c.expected);
  }
}

}  // namespace
}  // namespace pelorin
