// Opening files through the shell: where a name is looked for, what a shortcut opens and the
// results, with real files beside the test program and in temporary directories, and a
// recorder in place of the desktop.
#include "desktop/shell_execute.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "app/app_test_support.h"
#include "desktop/internet_shortcut.h"
#include "os/kernel.h"

namespace {

namespace fs = std::filesystem;
using os::ShellOpening;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// ---- The shortcut's text ----------------------------------------------------------------

TEST(InternetShortcut, UrlComesFromItsSectionOnly) {
  const std::vector<std::pair<const char*, std::optional<std::string>>> cases = {
      {"[InternetShortcut]\r\nURL=https://a.example/\r\n", "https://a.example/"},
      {"[InternetShortcut]\nURL=https://a.example/", "https://a.example/"},
      {"[internetshortcut]\n  url = https://a.example/x?y=1 \n", "https://a.example/x?y=1"},
      {"[Other]\nURL=https://b.example/\n[InternetShortcut]\nIconIndex=0\nURL=https://a.example/\n",
       "https://a.example/"},
      {"URL=https://b.example/\n[InternetShortcut]\n", std::nullopt},
      {"[InternetShortcut]\nURL=\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, url] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(os::InternetShortcutUrl(text), url);
  }
}

TEST(InternetShortcut, NameEndsInUrlInAnyCase) {
  EXPECT_TRUE(os::IsInternetShortcutName("skelmar32.url"));
  EXPECT_TRUE(os::IsInternetShortcutName("A.URL"));
  EXPECT_FALSE(os::IsInternetShortcutName("url"));
  EXPECT_FALSE(os::IsInternetShortcutName("a.url.txt"));
}

// ---- ShellExecuteA -----------------------------------------------------------------------

std::string Shortcut(const std::string& url) {
  return "[InternetShortcut]\r\nURL=" + url + "\r\n";
}

// A working directory of its own (the current directory during the test) and a file name
// that is unique beside the test program.
class ShellExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    fs::current_path(work_.File(""));
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    name_ = std::string("shell-") + test->name() + "-" + std::to_string(::getpid()) + ".url";
  }
  void TearDown() override {
    fs::current_path(previous_);
    std::error_code ignored;
    fs::remove(BesideProgram(), ignored);
  }

  std::string BesideProgram() const {
    return (fs::path(os::GetModuleFileName()).parent_path() / name_).string();
  }
  static os::HINSTANCE Open(const std::string& file, const char* directory = " ") {
    return os::ShellExecuteA(nullptr, "open", file.c_str(), " ", directory, os::SW_SHOWNORMAL);
  }

  app_test::ScratchDirectory work_;
  fs::path previous_;
  std::string name_;
  os::ShellRecorder shell_;
};

TEST_F(ShellExecuteTest, ShortcutBesideTheProgramOpensItsUrlWhateverTheCurrentDirectory) {
  app_test::WriteBytes(BesideProgram(), Shortcut("https://beside.example/"));
  EXPECT_GT(Open(name_), 32);
  EXPECT_THAT(shell_.Openings(),
              ElementsAre(ShellOpening{ShellOpening::Kind::Url, "https://beside.example/"}));
  EXPECT_THAT(shell_.Calls(),
              ElementsAre(os::ShellExecuteCall{"open", name_, " ", " ", os::SW_SHOWNORMAL}));
}

TEST_F(ShellExecuteTest, BareNameIsLookedForBesideTheProgramBeforeTheCurrentDirectory) {
  app_test::WriteBytes(BesideProgram(), Shortcut("https://beside.example/"));
  app_test::WriteBytes(work_.File(name_), Shortcut("https://current.example/"));
  EXPECT_EQ(Open(name_), os::kShellExecuteOpened);
  EXPECT_EQ(shell_.Openings().at(0).target, "https://beside.example/");
}

// Whoever chose the current directory could otherwise put a shortcut of their own there.
TEST_F(ShellExecuteTest, BareNameNotBesideTheProgramIsNotFoundEvenInTheCurrentDirectory) {
  app_test::WriteBytes(work_.File(name_), Shortcut("https://current.example/"));
  app_test::ScratchDirectory given;
  app_test::WriteBytes(given.File(name_), Shortcut("https://given.example/"));
  EXPECT_EQ(Open(name_), os::SE_ERR_FNF);
  EXPECT_EQ(Open(name_, given.File("").c_str()), os::SE_ERR_FNF);
  EXPECT_THAT(shell_.Openings(), IsEmpty());
}

// A shortcut could name any scheme, and the desktop would hand it to whatever program
// claims it; only web pages are opened.
TEST_F(ShellExecuteTest, ShortcutOpensOnlyWebAddresses) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"https://a.example/", true},
      {"http://a.example:8080/x?y=1#z", true},
      {"HTTPS://A.EXAMPLE", true},
      {"file:///etc/passwd", false},
      {"ftp://a.example/", false},
      {"smb://a.example/share", false},
      {"javascript:alert(1)", false},
      {"mailto:a@example.org", false},
      {"x-scheme-handler://run", false},
      {"http:a.example", false},
      {"https://", false},
      {"https:///path", false},
      {"/etc/passwd", false},
      {" https://a.example/", true},  // blanks around the value are dropped
  };
  for (const auto& [url, opens] : cases) {
    SCOPED_TRACE(url);
    app_test::WriteBytes(BesideProgram(), Shortcut(url));
    const std::size_t before = shell_.Openings().size();
    EXPECT_EQ(Open(name_), opens ? os::kShellExecuteOpened : os::SE_ERR_ACCESSDENIED);
    EXPECT_EQ(shell_.Openings().size(), before + (opens ? 1 : 0));
  }
}

TEST_F(ShellExecuteTest, NameWithADirectoryIsTakenFromTheGivenDirectoryOrTheCurrentOne) {
  app_test::ScratchDirectory other;
  fs::create_directories(work_.File("sub"));
  fs::create_directories(other.File("sub"));
  app_test::WriteBytes(work_.File("sub/a.url"), Shortcut("https://current.example/"));
  app_test::WriteBytes(other.File("sub/a.url"), Shortcut("https://given.example/"));
  EXPECT_EQ(Open("sub/a.url", other.File("").c_str()), os::kShellExecuteOpened);
  EXPECT_EQ(Open("sub/a.url", " "), os::kShellExecuteOpened);
  EXPECT_EQ(Open("sub/a.url", nullptr), os::kShellExecuteOpened);
  std::vector<std::string> targets;
  for (const ShellOpening& opening : shell_.Openings()) targets.push_back(opening.target);
  EXPECT_THAT(targets, ElementsAre("https://given.example/", "https://current.example/",
                                   "https://current.example/"));
}

TEST_F(ShellExecuteTest, OtherFilesOpenWithTheDesktopsProgramByFullPath) {
  app_test::WriteBytes(work_.File("notes.txt"), "hello");
  EXPECT_EQ(Open("./notes.txt"), os::kShellExecuteOpened);
  EXPECT_EQ(Open(work_.File("notes.txt")), os::kShellExecuteOpened);
  const ShellOpening expected{ShellOpening::Kind::File, work_.File("notes.txt")};
  EXPECT_THAT(shell_.Openings(), ElementsAre(expected, expected));
}

TEST_F(ShellExecuteTest, FailuresGiveTheShellsResultsAndOpenNothing) {
  app_test::WriteBytes(work_.File("empty.url"), "[InternetShortcut]\r\nIconIndex=0\r\n");
  app_test::WriteBytes(work_.File("good.URL"), Shortcut("https://a.example/"));
  struct Case {
    const char* verb;
    std::string file;
    os::HINSTANCE result;
  };
  const std::vector<Case> cases = {
      {"open", "missing.url", os::SE_ERR_FNF},
      {"open", work_.File("missing.txt"), os::SE_ERR_FNF},
      {"open", "", os::SE_ERR_FNF},
      {"open", "./empty.url", os::SE_ERR_NOASSOC},
      {"print", "./good.URL", os::SE_ERR_NOASSOC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + c.verb);
    EXPECT_EQ(os::ShellExecuteA(nullptr, c.verb, c.file.c_str(), nullptr, nullptr, 1), c.result);
  }
  EXPECT_THAT(shell_.Openings(), IsEmpty());
  EXPECT_EQ(shell_.Calls().size(), cases.size());
}

TEST_F(ShellExecuteTest, NoVerbOrAnyCaseOfOpenOpens) {
  app_test::WriteBytes(work_.File("good.url"), Shortcut("https://a.example/"));
  EXPECT_EQ(os::ShellExecuteA(nullptr, nullptr, "./good.url", nullptr, nullptr, 1),
            os::kShellExecuteOpened);
  EXPECT_EQ(os::ShellExecuteA(nullptr, "Open", "./good.url", nullptr, nullptr, 1),
            os::kShellExecuteOpened);
  EXPECT_EQ(shell_.Openings().size(), 2u);
}

TEST_F(ShellExecuteTest, ADesktopThatCannotOpenGivesNoAssociation) {
  os::ShellRecorder refusing(false);
  app_test::WriteBytes(work_.File("good.url"), Shortcut("https://a.example/"));
  EXPECT_EQ(Open("./good.url"), os::SE_ERR_NOASSOC);
  EXPECT_EQ(refusing.Openings().size(), 1u);
}

TEST_F(ShellExecuteTest, AFileTheUserMayNotReadIsRefused) {
  app_test::WriteBytes(work_.File("secret.url"), Shortcut("https://a.example/"));
  app_test::WriteBytes(work_.File("secret.txt"), "x");
  fs::permissions(work_.File("secret.url"), fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(work_.File("secret.txt"), fs::perms::owner_read | fs::perms::owner_write);
  const std::string dir = work_.File("");
  const auto report = app_test::RunInChild(app_test::ChildUser::Nobody, [&dir] {
    os::ShellRecorder shell;
    const auto url = os::ShellExecuteA(nullptr, "open", (dir + "secret.url").c_str(), "", "", 1);
    const auto txt = os::ShellExecuteA(nullptr, "open", (dir + "secret.txt").c_str(), "", "", 1);
    return std::to_string(url) + " " + std::to_string(txt) + " " +
           std::to_string(shell.Openings().size());
  });
  ASSERT_EQ(report.exitCode, 0) << report.text;
  EXPECT_EQ(report.text, "5 5 0");
}

}  // namespace
