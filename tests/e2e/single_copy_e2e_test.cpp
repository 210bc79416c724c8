// One copy of the built program in the notification area (Xvfb with trayer): a second
// tray-mode start shows the running copy's window and ends with exit code 0, leaving one icon;
// after the running copy is killed outright a new start takes the tray; a link-mode start runs
// a copy of its own beside the tray copy. The copies are two program directories of the same
// user (the same runtime directory).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "e2e/program_copy.h"
#include "e2e/program_test.h"

namespace {

using e2e::WindowId;

constexpr const char* kConfiguration = "localhost:2525\r\nme@example.org\r\n\r\nFALSE\r\n";

class SingleCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(e2e::TheDesktop(), nullptr);
    ASSERT_TRUE(e2e::TheDesktop()->Error().empty()) << e2e::TheDesktop()->Error();
    for (std::optional<e2e::ProgramCopy>* copy : {&first_, &second_}) {
      copy->emplace(*e2e::TheDesktop());
      ASSERT_TRUE((*copy)->Error().empty()) << (*copy)->Error();
      ASSERT_TRUE((*copy)->WriteFile(e2e::kConfigurationFileName, kConfiguration));
    }
    ASSERT_TRUE(e2e::MoveMouse(e2e::kRestingPlace.x, e2e::kRestingPlace.y));
  }

  void TearDown() override {
    if (!HasFailure()) return;
    std::cerr << "The first copy printed:\n" << first_->Log();
    std::cerr << "The second copy printed:\n" << second_->Log();
  }

  static std::vector<WindowId> IconsInTray(pid_t program) {
    std::vector<WindowId> icons;
    for (const WindowId window : e2e::FindWindows(e2e::WindowQuery::OfProgram(program))) {
      if (e2e::IsWithin(window, e2e::TheDesktop()->TrayPanel())) icons.push_back(window);
    }
    return icons;
  }

  static std::optional<WindowId> TrayIcon(pid_t program) {
    return e2e::WaitForWindow(
        e2e::WindowQuery::OfProgram(program), e2e::kWindowTimeoutMs,
        [](WindowId window) { return e2e::IsWithin(window, e2e::TheDesktop()->TrayPanel()); });
  }

  static std::optional<WindowId> MainWindow(pid_t program) {
    return e2e::WaitForWindow(e2e::WindowQuery::OfProgram(program).Named(e2e::kMainWindowTitle));
  }

  static void ExpectShownInPlace(std::optional<WindowId> window) {
    ASSERT_TRUE(window.has_value()) << "the window is not shown";
    e2e::ExpectMainWindowInPlace(*window);
  }

  static void ExpectEndsWithExitCodeZero(e2e::ProgramCopy& copy) {
    const std::optional<e2e::ExitStatus> status = copy.WaitForExit();
    ASSERT_TRUE(status.has_value()) << "the start is still running";
    EXPECT_EQ(status->code, 0) << status->Describe();
  }

  std::optional<e2e::ProgramCopy> first_;
  std::optional<e2e::ProgramCopy> second_;
};

TEST_F(SingleCopyTest, SecondTrayStartShowsTheRunningCopysWindowAndEnds) {
  ASSERT_TRUE(first_->Start({}));
  const std::optional<WindowId> icon = TrayIcon(first_->Pid());
  ASSERT_TRUE(icon.has_value()) << "no icon of the first copy in the notification area";

  ASSERT_TRUE(second_->Start({}));
  ExpectEndsWithExitCodeZero(*second_);
  const std::optional<WindowId> window = MainWindow(first_->Pid());
  ExpectShownInPlace(window);
  EXPECT_TRUE(first_->Running());
  EXPECT_EQ(IconsInTray(first_->Pid()), std::vector<WindowId>{*icon});
  EXPECT_TRUE(IconsInTray(second_->Pid()).empty());

  // Hidden again with "&Close", the window comes back at the next start.
  ASSERT_TRUE(e2e::Click(*window, e2e::kCloseButton.x, e2e::kCloseButton.y));
  ASSERT_TRUE(e2e::WaitUntilHidden(*window));
  ASSERT_TRUE(second_->Start({}));
  ExpectEndsWithExitCodeZero(*second_);
  ExpectShownInPlace(MainWindow(first_->Pid()));
  EXPECT_EQ(IconsInTray(first_->Pid()), std::vector<WindowId>{*icon});
}

TEST_F(SingleCopyTest, StartAfterTheTrayCopyWasKilledTakesTheTray) {
  ASSERT_TRUE(first_->Start({}));
  ASSERT_TRUE(TrayIcon(first_->Pid()).has_value());
  const pid_t killed = first_->Pid();
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  const std::optional<e2e::ExitStatus> status = first_->WaitForExit();
  ASSERT_TRUE(status.has_value());
  ASSERT_EQ(status->signal, SIGKILL);
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  ASSERT_NE(runtime, nullptr);
  EXPECT_TRUE(std::filesystem::exists(std::string(runtime) + "/pelorin32-tray"))
      << "the killed copy left no socket behind: the test would not show a take-over";

  ASSERT_TRUE(second_->Start({}));
  const std::optional<WindowId> icon = TrayIcon(second_->Pid());
  ASSERT_TRUE(icon.has_value()) << "the new start has no icon in the notification area";
  EXPECT_TRUE(
      e2e::FindWindows(e2e::WindowQuery::OfProgram(second_->Pid()).Named(e2e::kMainWindowTitle))
          .empty())
      << "the new start shows its window instead of living in the tray";
  EXPECT_TRUE(second_->Running());

  // And it answers the next start in turn.
  ASSERT_TRUE(first_->Start({}));
  ExpectEndsWithExitCodeZero(*first_);
  ExpectShownInPlace(MainWindow(second_->Pid()));
}

TEST_F(SingleCopyTest, LinkStartRunsItsOwnCopyBesideTheTrayCopy) {
  ASSERT_TRUE(first_->Start({}));
  ASSERT_TRUE(TrayIcon(first_->Pid()).has_value());

  ASSERT_TRUE(second_->Start({"/u", "mailto:anna@example.org"}));
  const std::optional<WindowId> linkWindow = MainWindow(second_->Pid());
  ExpectShownInPlace(linkWindow);
  EXPECT_TRUE(
      e2e::FindWindows(e2e::WindowQuery::OfProgram(first_->Pid()).Named(e2e::kMainWindowTitle))
          .empty())
      << "the link start showed the tray copy's window";
  ASSERT_TRUE(e2e::Click(*linkWindow, e2e::kCloseButton.x, e2e::kCloseButton.y));
  ExpectEndsWithExitCodeZero(*second_);
  EXPECT_TRUE(first_->Running());
  EXPECT_EQ(IconsInTray(first_->Pid()).size(), 1u);
}

}  // namespace
