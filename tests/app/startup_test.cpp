#include "app/startup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "app/configuration.h"
#include "app/frm_main.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "os/kernel.h"
#include "os/msgbox.h"

namespace pelorin {
namespace {

using app_test::ChildUser;
using app_test::RunInChild;
using app_test::WriteBytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(StartMode, OnlyExactLowerCaseSwitchSelectsLinkMode) {
  const std::pair<std::string, StartMode> cases[] = {
      {"/u", StartMode::Link},  {"/U", StartMode::Tray},       {"", StartMode::Tray},
      {"/u ", StartMode::Tray}, {"u", StartMode::Tray},        {"-u", StartMode::Tray},
      {"/uu", StartMode::Tray}, {"mailto:x", StartMode::Tray},
  };
  for (const auto& [argument, mode] : cases) EXPECT_EQ(StartModeOf(argument), mode) << argument;
}

TEST(StartMode, ComesFromTheFirstArgumentOfTheCommandLine) {
  os::SetCommandLine({"pelorin32", "/u", "mailto:a@b"});
  EXPECT_EQ(CurrentStartMode(), StartMode::Link);
  os::SetCommandLine({"pelorin32", "mailto:a@b", "/u"});
  EXPECT_EQ(CurrentStartMode(), StartMode::Tray);
  os::SetCommandLine({"pelorin32"});
  EXPECT_EQ(CurrentStartMode(), StartMode::Tray);
}

TEST(ProgramDir, KeepsThePathUpToAndIncludingTheLastSlash) {
  const std::pair<std::string, std::string> cases[] = {
      {"/opt/pelorin/pelorin32", "/opt/pelorin/"},
      {"/pelorin32", "/"},
      {"pelorin32", ""},
      {"/a.b/c:d/pelorin32", "/a.b/c:d/"},
      {"/opt/pelorin/", "/opt/pelorin/"},
  };
  for (const auto& [path, dir] : cases) EXPECT_EQ(ProgramDirOf(path), dir) << path;
}

TEST(ProgramDir, FilesBesideTheProgramGetOneSeparator) {
  ProgramDir = "/opt/pelorin/";
  EXPECT_EQ(FileBesideProgram("skelmar32.ico"), "/opt/pelorin/skelmar32.ico");
  EXPECT_EQ(FileBesideProgram("/skelmar32.url"), "/opt/pelorin/skelmar32.url");
  EXPECT_EQ(ConfigurationPath(), "/opt/pelorin/tessaly32.cfg");
  ProgramDir = "";
  EXPECT_EQ(FileBesideProgram("tessaly32.cfg"), "tessaly32.cfg");
}

class StartupTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override { MakeGlobalsStale(); }

  std::string ProgramPath() const { return world_.program.File("pelorin32"); }
  std::string ConfigPath() const { return world_.program.File("tessaly32.cfg"); }

  // Leftovers that the start-up must replace with the start values.
  static void MakeGlobalsStale() {
    SmtpServer = "stale";
    SmtpPort = "1";
    SenderAddress = "stale@x";
    DialEntry = "stale";
    UseDialup = true;
    NeedsSetup = false;
    NameList = {"stale"};
    AddressList = {"stale@x"};
  }

  // The first-run settings dialog, once shown, clears the default server for its import.
  static void ExpectStartValuesWithSetupNeeded(const std::string& dir,
                                               const std::string& server = "localhost") {
    EXPECT_TRUE(NeedsSetup);
    EXPECT_EQ(ProgramDir, dir);
    EXPECT_EQ(SmtpServer, server);
    EXPECT_EQ(SmtpPort, "25");
    EXPECT_EQ(SenderAddress, "");
    EXPECT_EQ(DialEntry, "");
    EXPECT_FALSE(UseDialup);
    EXPECT_THAT(NameList, IsEmpty());
    EXPECT_THAT(AddressList, IsEmpty());
  }
};

TEST_F(StartupTest, WithoutConfigurationFileSetupIsNeeded) {
  ASSERT_TRUE(PrepareGlobals(ProgramPath()));
  ExpectStartValuesWithSetupNeeded(world_.program.Dir());
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(StartupTest, DirectoryNamedLikeTheConfigurationFileCountsAsNoFile) {
  ASSERT_EQ(::mkdir(ConfigPath().c_str(), 0755), 0);
  ASSERT_TRUE(PrepareGlobals(ProgramPath()));
  ExpectStartValuesWithSetupNeeded(world_.program.Dir());
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(StartupTest, ExistingConfigurationFileIsRead) {
  WriteBytes(ConfigPath(), "\r\nme@home\r\nModem\r\nTRUE\r\nAnn\r\nann@x\r\n");
  ASSERT_TRUE(PrepareGlobals(ProgramPath()));
  EXPECT_FALSE(NeedsSetup);
  EXPECT_EQ(SmtpServer, "");
  EXPECT_EQ(SmtpPort, "25");
  EXPECT_EQ(SenderAddress, "me@home");
  EXPECT_EQ(DialEntry, "Modem");
  EXPECT_TRUE(UseDialup);
  EXPECT_THAT(NameList, ElementsAre("Ann"));
  EXPECT_THAT(AddressList, ElementsAre("ann@x"));
}

struct RunSeen {
  int exitCode = -1;
  bool mainWindowExisted = false;
  bool mainWindowVisible = false;
  std::string caption;
};

constexpr int kWatchdogExitCode = 77;

// Runs the program and closes it from the pop-up menu as soon as the message loop runs.
RunSeen RunAndCloseMainWindow(const std::string& programPath) {
  RunSeen seen;
  QObject context;
  QTimer::singleShot(0, &context, [&seen] {
    seen.mainWindowExisted = frmMain != nullptr;
    if (frmMain == nullptr) return;
    seen.mainWindowVisible = frmMain->isVisible();
    seen.caption = frmMain->windowTitle().toStdString();
    frmMain->Close1->trigger();
  });
  // Ends a run whose main window could not be closed, so that the test fails, not hangs.
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(kWatchdogExitCode); });
  watchdog.start(20000);
  seen.exitCode = RunApplication(programPath);
  return seen;
}

TEST_F(StartupTest, TrayModeKeepsTheMainWindowHiddenAndEndsWhenItCloses) {
  os::SetCommandLine({"pelorin32", "/U", "mailto:x"});
  // A desktop with a notification area, and the icon file beside the program.
  world_.PlaceTrayIcon();
  const RunSeen seen = RunAndCloseMainWindow(ProgramPath());
  EXPECT_EQ(seen.exitCode, 0);
  EXPECT_TRUE(seen.mainWindowExisted);
  EXPECT_FALSE(seen.mainWindowVisible);
  EXPECT_EQ(seen.caption, "Pelorin 32");
  EXPECT_EQ(os::ApplicationTitle(), "Pelorin32");
  EXPECT_EQ(frmMain, nullptr);
  ExpectStartValuesWithSetupNeeded(world_.program.Dir(), "");
}

// Where one copy in the tray cannot be made sure of, the start says why and runs on. The
// owner of a file can only be changed by root: run as another user, the test says so.
TEST_F(StartupTest, TrayModeSaysWhyItRunsWithoutTheGuardOfOneCopy) {
  const std::string runtime = environment_.Scratch().File("runtime");
  const std::string socketPath = runtime + "/pelorin32-tray";
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::string said;
  };
  const std::vector<Case> cases = {
      {"a folder where the socket goes", [&] { std::filesystem::create_directory(socketPath); },
       "a later start of it cannot bring up this window: " + socketPath + " is a folder"},
      {"another user's lock file",
       [&] {
         WriteBytes(socketPath + ".lock", "");
         ASSERT_EQ(::chown((socketPath + ".lock").c_str(), app_test::kNobody, app_test::kNobody), 0)
             << "giving a file to another user needs root: " << std::strerror(errno);
       },
       "only one copy of it runs in the notification area: " + socketPath +
           ".lock belongs to another user (user id 65534)"},
  };
  WriteBytes(ConfigPath(), "mailhost:587\r\n");
  world_.PlaceTrayIcon();
  os::SetCommandLine({"pelorin32"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(runtime);
    std::filesystem::create_directory(runtime);
    ASSERT_NO_FATAL_FAILURE(c.prepare());
    os::BoxRecorder startBoxes;
    const RunSeen seen = RunAndCloseMainWindow(ProgramPath());
    EXPECT_EQ(seen.exitCode, 0);
    EXPECT_TRUE(seen.mainWindowExisted);
    ASSERT_EQ(startBoxes.Texts().size(), 1u);
    EXPECT_THAT(startBoxes.Texts()[0], ::testing::HasSubstr(c.said));
  }
}

TEST_F(StartupTest, LinkModeShowsTheMainWindow) {
  WriteBytes(ConfigPath(), "mailhost:587\r\n");
  os::SetCommandLine({"pelorin32", "/u", "mailto:x"});
  const RunSeen seen = RunAndCloseMainWindow(ProgramPath());
  EXPECT_EQ(seen.exitCode, 0);
  EXPECT_TRUE(seen.mainWindowVisible);
  EXPECT_FALSE(NeedsSetup);
  EXPECT_EQ(SmtpServer, "mailhost");
  EXPECT_EQ(frmMain, nullptr);
}

TEST_F(StartupTest, NothingIsWrittenAtExit) {
  const std::string bytes = "h\r\n";  // would be rewritten as "h:25\r\n\r\n\r\nFALSE\r\n"
  WriteBytes(ConfigPath(), bytes);
  os::SetCommandLine({"pelorin32"});
  EXPECT_EQ(RunAndCloseMainWindow(ProgramPath()).exitCode, 0);
  EXPECT_EQ(app_test::ReadFile(ConfigPath()), bytes);
}

TEST_F(StartupTest, UnreadableConfigurationFileEndsStartUpWithApplicationError) {
  WriteBytes(ConfigPath(), "mailhost\r\n");
  ::chmod(ConfigPath().c_str(), 0200);
  os::SetCommandLine({"pelorin32", "/u", "mailto:x"});
  const std::string programPath = ProgramPath();
  const auto report = RunInChild(ChildUser::Nobody, [&programPath] {
    os::BoxRecorder childBoxes;
    std::string windowAtBox;
    childBoxes.OnBox([&windowAtBox](const os::BoxRequest&) {
      windowAtBox = frmMain == nullptr ? "no window" : "window";
    });
    const int code = RunApplication(programPath);
    std::string report = std::to_string(code) + "|" + windowAtBox;
    for (const os::BoxRequest& box : childBoxes.Boxes()) {
      report += "|" + box.caption + "|" + box.text +
                (box.icon == os::BoxIcon::Error ? "|error icon" : "|no icon");
    }
    return report;
  });
  ASSERT_EQ(report.exitCode, 0) << report.text;
  EXPECT_EQ(report.text,
            "1|no window|Application Error|File access denied: " + ConfigPath() + "|error icon");
}

}  // namespace
}  // namespace pelorin
