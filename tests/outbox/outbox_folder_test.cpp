// The outbox on disk, on real files in a directory of the test's own: what Keep leaves there,
// the queue order Load gives back, damaged files reported and left, the lock that keeps a
// second running copy off the messages this one holds, and the refused folder.
#include "outbox/outbox_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/app_test_support.h"
#include "outbox/outbox_file.h"
#include "support/scoped_environment.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;
using app_test::ReadFile;
using app_test::WriteBytes;

OutboxMessage Message(const std::string& subject) {
  OutboxMessage message;
  message.recipient = "x@example.org";
  message.text = "Subject: " + subject + "\r\n\r\nbody\r\n";
  message.draft = {"Ann", "x@example.org", subject, "body"};
  return message;
}

unsigned ModeOf(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

// The folder's entries but its lock file.
std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().filename() != ".lock") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Subjects(const std::vector<OutboxMessage>& messages) {
  std::vector<std::string> subjects;
  for (const OutboxMessage& message : messages) subjects.push_back(message.draft.subject);
  return subjects;
}

class OutboxFolderTest : public ::testing::Test {
 protected:
  // The program's state directory, not yet there: the folder makes it.
  std::string StateDirectory() const { return scratch_.File("state") + "/pelorin32"; }
  std::string OutboxDir() const { return StateDirectory() + "/outbox"; }

  // Keeps messages with these subjects in a folder of their own, as an earlier run would have.
  void LeaveQueued(const std::vector<std::string>& subjects) {
    OutboxFolder earlier(StateDirectory());
    for (const std::string& subject : subjects) {
      OutboxMessage message = Message(subject);
      ASSERT_EQ(earlier.Keep(message), "");
    }
  }

  app_test::ScratchDirectory scratch_;
};

TEST_F(OutboxFolderTest, KeepWritesOnePrivateFileWholeAndLeavesNoTemporaryFile) {
  OutboxFolder folder(StateDirectory());
  OutboxMessage message = Message("kept");
  ASSERT_EQ(folder.Keep(message), "");

  EXPECT_EQ(fs::path(message.storedAs).parent_path(), fs::path(OutboxDir()));
  EXPECT_EQ(Names(OutboxDir()), std::vector<std::string>{fs::path(message.storedAs).filename()});
  EXPECT_EQ(message.storedAs.substr(message.storedAs.size() - 4), ".msg");
  EXPECT_EQ(ModeOf(message.storedAs), 0600u);
  EXPECT_EQ(ModeOf(OutboxDir()), 0700u);
  EXPECT_EQ(ModeOf(StateDirectory()), 0700u);
  EXPECT_EQ(ModeOf(scratch_.File("state")), 0700u) << "missing parents are private too";
  EXPECT_EQ(ReadFile(message.storedAs), OutboxFileBytes(message));
}

TEST_F(OutboxFolderTest, LoadGivesTheMessagesBackInTheOrderTheyWereQueued) {
  const std::vector<std::string> subjects = {"one", "two", "three", "four", "five"};
  LeaveQueued(subjects);
  OutboxFolder folder(StateDirectory());
  const OutboxFolder::Loaded loaded = folder.Load();
  EXPECT_EQ(loaded.damaged, std::vector<std::string>{});
  EXPECT_EQ(Subjects(loaded.messages), subjects);
  for (const OutboxMessage& message : loaded.messages) {
    SCOPED_TRACE(message.draft.subject);
    EXPECT_EQ(message.text, Message(message.draft.subject).text);
    EXPECT_EQ(message.draft, Message(message.draft.subject).draft);
    EXPECT_EQ(message.recipient, "x@example.org");
    EXPECT_TRUE(fs::exists(message.storedAs));
  }
  EXPECT_EQ(folder.Load().messages.size(), 0u) << "what this folder holds is not loaded again";
}

TEST_F(OutboxFolderTest, LoadWithoutAnyOutboxGivesNothing) {
  OutboxFolder folder(StateDirectory());
  const OutboxFolder::Loaded loaded = folder.Load();
  EXPECT_TRUE(loaded.messages.empty());
  EXPECT_TRUE(loaded.damaged.empty());
  EXPECT_FALSE(fs::exists(StateDirectory())) << "loading creates nothing";
}

TEST_F(OutboxFolderTest, AMessageThatLeavesTheOutboxLeavesTheDisk) {
  LeaveQueued({"one", "two"});
  OutboxFolder folder(StateDirectory());
  Outbox outbox(&folder);
  outbox.Restore(folder.Load().messages);
  ASSERT_EQ(outbox.Size(), 2u);
  const std::string first = outbox.Head().storedAs;
  EXPECT_EQ(outbox.TakeHead().draft.subject, "one");
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(Names(OutboxDir()).size(), 1u);
  EXPECT_EQ(outbox.TakeHead().draft.subject, "two");
  EXPECT_EQ(Names(OutboxDir()), std::vector<std::string>{});
}

// Each damaged entry is reported with its path and a reason, and left as it is; the good
// messages beside it load all the same. The tests run as root, whom permissions do not stop:
// the entries here fail for root too.
TEST_F(OutboxFolderTest, DamagedFilesAreReportedWithTheirPathAndLeftWhereTheyAre) {
  LeaveQueued({"good"});
  const std::string whole = OutboxFileBytes(Message("cut"));
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    const char* why;
  };
  const std::vector<Case> cases = {
      {"00000000000000000001-1-1.msg", [](const std::string& path) { WriteBytes(path, "garbage"); },
       "it is not a queued message of this program"},
      {"00000000000000000002-1-1.msg",
       [&](const std::string& path) { WriteBytes(path, whole.substr(0, whole.size() - 3)); },
       "the field \"message\" is cut short"},
      {"00000000000000000003-1-1.msg",
       [](const std::string& path) { fs::create_symlink("/nonexistent/target", path); },
       "No such file or directory"},
      {"00000000000000000004-1-1.msg", [](const std::string& path) { fs::create_directory(path); },
       "Is a directory"},
      {"00000000000000000005-1-1.msg",
       [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "it is not a queued message of this program"},
  };
  for (const Case& c : cases) c.make(OutboxDir() + "/" + c.name);
  const std::vector<std::string> before = Names(OutboxDir());

  OutboxFolder folder(StateDirectory());
  const OutboxFolder::Loaded loaded = folder.Load();
  EXPECT_EQ(Subjects(loaded.messages), std::vector<std::string>{"good"});
  std::vector<std::string> expected;
  for (const Case& c : cases) expected.push_back(OutboxDir() + "/" + c.name + ": " + c.why);
  EXPECT_EQ(loaded.damaged, expected);
  EXPECT_EQ(Names(OutboxDir()), before);
  EXPECT_EQ(ReadFile(OutboxDir() + "/" + cases[0].name), "garbage");
}

// Temporary files of a copy that is writing now, and files of no queued message, are not
// the outbox's and are neither loaded nor reported.
TEST_F(OutboxFolderTest, OnlyQueuedMessageFilesAreRead) {
  LeaveQueued({"good"});
  WriteBytes(OutboxDir() + "/.00000000000000000001-1-1.msg.tmp", "half written");
  WriteBytes(OutboxDir() + "/.00000000000000000001-1-2.msg", "hidden");
  WriteBytes(OutboxDir() + "/notes.txt", "not a message");
  WriteBytes(OutboxDir() + "/.msg", "no name");
  OutboxFolder folder(StateDirectory());
  const OutboxFolder::Loaded loaded = folder.Load();
  EXPECT_EQ(Subjects(loaded.messages), std::vector<std::string>{"good"});
  EXPECT_EQ(loaded.damaged, std::vector<std::string>{});
}

// A second running copy of the program (a mailto: link opened while the tray copy runs) must
// never send what the first holds, whether the first kept it or loaded it.
TEST_F(OutboxFolderTest, ASecondFolderLeavesWhatTheFirstHoldsUntilTheFirstIsGone) {
  LeaveQueued({"left by an earlier run"});
  auto first = std::make_unique<OutboxFolder>(StateDirectory());
  ASSERT_EQ(first->Load().messages.size(), 1u);
  OutboxMessage kept = Message("kept by the first");
  ASSERT_EQ(first->Keep(kept), "");

  OutboxFolder second(StateDirectory());
  const OutboxFolder::Loaded whileHeld = second.Load();
  EXPECT_TRUE(whileHeld.messages.empty());
  EXPECT_TRUE(whileHeld.damaged.empty()) << "held files are not damaged ones";

  first.reset();  // the first copy ends
  const OutboxFolder::Loaded afterwards = second.Load();
  EXPECT_EQ(Subjects(afterwards.messages),
            (std::vector<std::string>{"left by an earlier run", "kept by the first"}));

  OutboxFolder third(StateDirectory());
  EXPECT_TRUE(third.Load().messages.empty()) << "now the second holds them";
}

// --- Copies side by side, and what they leave behind ---

// A folder whose Load lets the test act where another copy could: between the listing and the
// claim of each file.
class InterleavedFolder : public OutboxFolder {
 public:
  using OutboxFolder::OutboxFolder;
  std::function<void()> beforeClaiming;

 protected:
  void BeforeClaiming(const std::string&) override {
    if (beforeClaiming) std::exchange(beforeClaiming, nullptr)();
  }
};

// Another copy sent the message and removed its file after this one listed the folder: it is
// neither loaded (it would go twice) nor reported as damaged.
TEST_F(OutboxFolderTest, AFileSentByAnotherCopyMeanwhileIsNeitherLoadedNorDamaged) {
  for (const bool sentThroughAnotherFolder : {true, false}) {
    SCOPED_TRACE(sentThroughAnotherFolder ? "the other copy lets go of it" : "it just goes");
    LeaveQueued({"raced"});
    OutboxFolder other(StateDirectory());
    Outbox othersOutbox(&other);
    othersOutbox.Restore(other.Load().messages);
    ASSERT_EQ(othersOutbox.Size(), 1u);
    const std::string path = othersOutbox.Head().storedAs;
    InterleavedFolder folder(StateDirectory());
    folder.beforeClaiming = [&] {
      if (sentThroughAnotherFolder) {
        othersOutbox.TakeHead();
      } else {
        fs::remove(path);
      }
    };
    const OutboxFolder::Loaded loaded = folder.Load();
    EXPECT_TRUE(loaded.messages.empty());
    EXPECT_EQ(loaded.damaged, std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(path));
  }
}

// However many messages wait, loading them holds no descriptor each: under a low limit of
// open files all load, and descriptors are left for everything else.
TEST_F(OutboxFolderTest, ThousandsOfQueuedMessagesLeaveDescriptorsFree) {
  constexpr int kQueued = 1100;
  fs::create_directories(OutboxDir());
  const std::string bytes = OutboxFileBytes(Message("many"));
  for (int i = 0; i < kQueued; ++i) {
    WriteBytes(OutboxDir() + "/" + std::to_string(100000 + i) + "-1-1.msg", bytes);
  }
  const app_test::ChildReport report = app_test::RunInChild(app_test::ChildUser::Same, [&] {
    const rlimit low{256, 256};
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return std::string("cannot lower the limit");
    OutboxFolder folder(StateDirectory());
    const OutboxFolder::Loaded loaded = folder.Load();
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return std::to_string(loaded.messages.size()) + " loaded, " +
           std::to_string(loaded.damaged.size()) + " damaged, " +
           (fd >= 0 ? "descriptors left" : "no descriptor left");
  });
  EXPECT_EQ(report.text, std::to_string(kQueued) + " loaded, 0 damaged, descriptors left");
}

TEST_F(OutboxFolderTest, AnOversizedFileIsDamagedUnreadAndToldOnce) {
  LeaveQueued({"good"});
  const std::string big = OutboxDir() + "/00000000000000000001-1-1.msg";
  WriteBytes(big, std::string(kOutboxFileHeader));
  fs::resize_file(big, kOutboxFileSizeLimit + 1);  // sparse: nothing more is written
  OutboxFolder folder(StateDirectory());
  const OutboxFolder::Loaded loaded = folder.Load();
  EXPECT_EQ(Subjects(loaded.messages), std::vector<std::string>{"good"});
  EXPECT_EQ(loaded.damaged,
            std::vector<std::string>{
                big + ": it is larger than 64 MiB, more than any message this program queues"});
  EXPECT_EQ(folder.Load().damaged, std::vector<std::string>{}) << "told once";
  EXPECT_TRUE(fs::exists(big));
}

// A temporary file that a killed writer left goes; one that a writer holds (its own lock, or
// the claim of the message it rewrites) stays.
TEST_F(OutboxFolderTest, TemporaryFilesLeftByAKilledWriterGoAndThoseBeingWrittenStay) {
  LeaveQueued({"held"});
  OutboxFolder writer(StateDirectory());
  const std::vector<OutboxMessage> held = writer.Load().messages;
  ASSERT_EQ(held.size(), 1u);
  const std::string left = OutboxDir() + "/.00000000000000000001-1-1.msg.tmp";
  const std::string locked = OutboxDir() + "/.00000000000000000002-1-1.msg.tmp";
  const std::string rewritten =
      OutboxDir() + "/." + fs::path(held[0].storedAs).filename().string() + ".tmp";
  for (const std::string& path : {left, locked, rewritten}) WriteBytes(path, "half written");
  const int lock = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);

  OutboxFolder folder(StateDirectory());
  EXPECT_TRUE(folder.Load().messages.empty());
  EXPECT_FALSE(fs::exists(left));
  EXPECT_TRUE(fs::exists(locked));
  EXPECT_TRUE(fs::exists(rewritten));
  ::close(lock);
}

// As the user the files are for, in a child: the outbox folder cannot be written, so a sent
// message's file stays. The user is told, and neither the next run nor another copy sends it.
TEST_F(OutboxFolderTest, AFileThatCannotBeRemovedIsToldAndNotSentAgain) {
  const std::string state = scratch_.File("state");
  fs::create_directory(state);
  ASSERT_EQ(::chown(state.c_str(), app_test::kNobody, app_test::kNobody), 0);
  const app_test::ChildReport report = app_test::RunInChild(app_test::ChildUser::Nobody, [&] {
    std::string found;
    {
      OutboxFolder first(StateDirectory());
      Outbox outbox(&first);
      if (!outbox.Append("x@example.org", "text", {}).empty()) return std::string("not queued");
      const std::string path = outbox.Head().storedAs;
      ::chmod(OutboxDir().c_str(), 0500);
      outbox.TakeHead();
      const std::vector<std::string> told = outbox.TakeStoreProblems();
      found = told ==
                      std::vector<std::string>{
                          "The file of a message that has left the outbox cannot be removed (" +
                          path + ": Permission denied). A note in " + StateDirectory() +
                          "/sent keeps it from being sent again; remove the file when you can."}
                  ? "told, "
                  : "not told, ";
      OutboxFolder other(StateDirectory());
      found += std::to_string(other.Load().messages.size()) + " for another copy, ";
    }
    OutboxFolder next(StateDirectory());
    return found + std::to_string(next.Load().messages.size()) + " for the next run";
  });
  EXPECT_EQ(report.exitCode, 0);
  EXPECT_EQ(report.text, "told, 0 for another copy, 0 for the next run");
}

// A link into, or a folder of, another user could be read by that user or hold messages
// planted to be sent: such an outbox is neither read nor written, and the user is told why.
TEST_F(OutboxFolderTest, AnOutboxThatIsALinkOrAnotherUsersIsNotUsed) {
  struct Case {
    const char* name;
    std::function<void(const std::string& state)> make;
    std::string (*culprit)(const std::string& state);
    const char* why;
  };
  const std::vector<Case> cases = {
      {"outbox link",
       [this](const std::string& state) {
         fs::create_directories(state);
         fs::create_directory(scratch_.File("elsewhere"));
         fs::create_directory_symlink(scratch_.File("elsewhere"), state + "/outbox");
       },
       [](const std::string& state) { return state + "/outbox"; },
       " is a symbolic link, not a folder of your own"},
      {"state link",
       [this](const std::string& state) {
         fs::create_directories(scratch_.File("shared/outbox"));
         fs::create_directory_symlink(scratch_.File("shared"), state);
       },
       [](const std::string& state) { return state; },
       " is a symbolic link, not a folder of your own"},
      {"another user's outbox",
       [](const std::string& state) {
         fs::create_directories(state + "/outbox");
         ASSERT_EQ(::chown((state + "/outbox").c_str(), app_test::kNobody, app_test::kNobody), 0);
       },
       [](const std::string& state) { return state + "/outbox"; },
       " belongs to another user, not to you"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string state = scratch_.File(std::string(c.name) + "/pelorin32");
    fs::create_directories(fs::path(state).parent_path());
    c.make(state);
    const std::string why = c.culprit(state) + c.why;
    OutboxFolder folder(state);
    const OutboxFolder::Loaded loaded = folder.Load();
    EXPECT_TRUE(loaded.messages.empty());
    EXPECT_EQ(loaded.problem, "Queued mail is not read, and none is sent: " + why + ".");
    OutboxMessage message = Message("s");
    EXPECT_EQ(folder.Keep(message), why);
  }
}

TEST_F(OutboxFolderTest, AMessageThatCannotBeKeptIsNotQueued) {
  WriteBytes(scratch_.File("state"), "a file where the directory should be");
  OutboxFolder folder(StateDirectory());
  OutboxMessage message = Message("s");
  const std::string why = folder.Keep(message);
  EXPECT_EQ(why, "cannot create " + StateDirectory() + ": Not a directory");
  EXPECT_EQ(message.storedAs, "");

  Outbox outbox(&folder);
  std::uint64_t id = 0;
  EXPECT_EQ(outbox.Append("x@example.org", "text", {}, &id), why);
  EXPECT_TRUE(outbox.Empty());
  EXPECT_EQ(id, 0u);
}

TEST_F(OutboxFolderTest, KeepRefusedWritesTheMessageTextAsAFileOfItsOwn) {
  OutboxFolder folder(StateDirectory());
  const OutboxMessage first = Message("first");
  const OutboxMessage second = Message("second");
  std::string why;
  const std::string firstPath = folder.KeepRefused(first, why);
  const std::string secondPath = folder.KeepRefused(second, why);
  EXPECT_EQ(why, "");
  ASSERT_NE(firstPath, "");
  ASSERT_NE(firstPath, secondPath);
  EXPECT_EQ(fs::path(firstPath).parent_path(), fs::path(StateDirectory() + "/refused"));
  EXPECT_EQ(fs::path(firstPath).extension(), ".eml");
  EXPECT_EQ(ReadFile(firstPath), first.text);
  EXPECT_EQ(ReadFile(secondPath), second.text);
  EXPECT_EQ(ModeOf(firstPath), 0600u);
  EXPECT_EQ(ModeOf(StateDirectory() + "/refused"), 0700u);
  EXPECT_EQ(Names(StateDirectory() + "/refused").size(), 2u) << "no temporary file left";
  EXPECT_FALSE(fs::exists(OutboxDir())) << "a refused message is not queued";
}

TEST_F(OutboxFolderTest, KeepRefusedSaysWhyItCouldNot) {
  WriteBytes(scratch_.File("state"), "a file where the directory should be");
  OutboxFolder folder(StateDirectory());
  std::string why;
  EXPECT_EQ(folder.KeepRefused(Message("s"), why), "");
  EXPECT_EQ(why, "cannot create " + StateDirectory() + ": Not a directory");
}

TEST(OutboxFolderPlaceTest, TheStateDirectoryFollowsTheXdgBaseDirectories) {
  struct Case {
    const char* stateHome;  // nullptr: unset
    const char* expected;
  };
  const Case cases[] = {
      {"/somewhere/state", "/somewhere/state/pelorin32"},
      {nullptr, "/home/ann/.local/state/pelorin32"},
      {"", "/home/ann/.local/state/pelorin32"},
      {"relative/state", "/home/ann/.local/state/pelorin32"},  // not absolute: ignored
  };
  testing_support::ScopedEnvironment environment;
  environment.Set("HOME", "/home/ann");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stateHome ? c.stateHome : "(unset)");
    if (c.stateHome != nullptr) {
      environment.Set("XDG_STATE_HOME", c.stateHome);
    } else {
      environment.Unset("XDG_STATE_HOME");
    }
    EXPECT_EQ(OutboxFolder::DefaultStateDirectory(), c.expected);
  }
}

}  // namespace
}  // namespace pelorin
