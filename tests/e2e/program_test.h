// The usual base of a desktop test: a copy of the program of the test's own on the test's
// desktop (ProgramCopy), the pointer resting out of the program's way, what the program printed
// shown when the test fails, and the ways to find its windows and its icon in the tray.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <QImage>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "e2e/program_copy.h"
#include "support/event_loop.h"
#include "support/main_window_layout.h"

namespace e2e {

using testing_support::Point;

inline constexpr const char* kMainWindowTitle = "^Pelorin 32$";
inline constexpr Point kRestingPlace{900, 700};
inline constexpr Point kEmailField = testing_support::CentreOf("edsEmail");
inline constexpr Point kSubjectField = testing_support::CentreOf("edsSubj");
inline constexpr Point kMemo = testing_support::CentreOf("edsMemo");
inline constexpr Point kSendButton = testing_support::CentreOf("cmdMake");
inline constexpr Point kCloseButton = testing_support::CentreOf("cmdMin");

// A picture of a window once it has finished drawing: two pictures in a row agree.
inline std::optional<QImage> SettledPicture(WindowId window, const std::string& fileName) {
  QImage previous;
  for (int attempt = 0; attempt < 20; ++attempt) {
    testing_support::RunEventsFor(100);  // this process's own windows draw meanwhile
    const std::string path = Screenshot(fileName, window);
    if (path.empty()) return std::nullopt;
    // The files hold the fewest colours that do; the pixels are compared as they are shown.
    const QImage current =
        QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
    if (!current.isNull() && current == previous) return current;
    previous = current;
  }
  return std::nullopt;
}

// A picture of the program's window once it shows what `expected` shows, or the last one
// taken when it never does: the program draws in its own time, which no pause can foresee.
inline std::optional<QImage> PictureOnceItShows(WindowId window, const QImage& expected,
                                                const std::string& fileName) {
  std::optional<QImage> last;
  testing_support::RunEventsUntil(
      [&] {
        const std::string path = Screenshot(fileName, window);
        if (path.empty()) return false;
        last = QImage(QString::fromStdString(path)).convertToFormat(QImage::Format_RGB32);
        return *last == expected;
      },
      e2e::kWindowTimeoutMs);
  return last;
}

// The main window where the layout puts it, shown.
inline void ExpectMainWindowInPlace(WindowId window) {
  const std::optional<WindowGeometry> geometry = GeometryOf(window);
  ASSERT_TRUE(geometry.has_value());
  EXPECT_TRUE(geometry->viewable);
  const testing_support::Place place = testing_support::kMainWindowPlace;
  EXPECT_EQ(geometry->x, place.x);
  EXPECT_EQ(geometry->y, place.y);
  EXPECT_EQ(geometry->width, place.width);
  EXPECT_EQ(geometry->height, place.height);
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(TheDesktop(), nullptr);
    ASSERT_TRUE(TheDesktop()->Error().empty()) << TheDesktop()->Error();
    program_.emplace(*TheDesktop());
    ASSERT_TRUE(program_->Error().empty()) << program_->Error();
    ASSERT_TRUE(MoveMouse(kRestingPlace.x, kRestingPlace.y));
  }
  void TearDown() override {
    if (HasFailure() && program_) std::cerr << "The program printed:\n" << program_->Log();
  }

  // The configuration file beside the program: a server at 127.0.0.1 and a sender.
  void Configure(const std::string& port, const std::string& sender) {
    ASSERT_TRUE(program_->WriteFile(kConfigurationFileName,
                                    "127.0.0.1:" + port + "\r\n" + sender + "\r\n\r\nFALSE\r\n"));
  }

  WindowQuery ProgramWindows() const { return WindowQuery::OfProgram(program_->Pid()); }
  std::optional<WindowId> MainWindow() const {
    return WaitForWindow(ProgramWindows().Named(kMainWindowTitle));
  }
  // The program's icon, once the tray has taken it in.
  std::optional<WindowId> TrayIcon() const {
    return WaitForWindow(ProgramWindows(), kWindowTimeoutMs, [](WindowId window) {
      return IsWithin(window, TheDesktop()->TrayPanel());
    });
  }
  std::vector<WindowId> IconsInTray() const {
    std::vector<WindowId> icons;
    for (const WindowId window : FindWindows(ProgramWindows())) {
      if (IsWithin(window, TheDesktop()->TrayPanel())) icons.push_back(window);
    }
    return icons;
  }
  static bool ClickCenter(WindowId window, MouseButton button = MouseButton::Left) {
    const std::optional<WindowGeometry> geometry = GeometryOf(window);
    return geometry && ClickAt(geometry->CenterX(), geometry->CenterY(), button);
  }
  // The main window, brought up by a click on the tray icon.
  std::optional<WindowId> ShowFromTray() const {
    const std::optional<WindowId> icon = TrayIcon();
    if (!icon || !ClickCenter(*icon)) return std::nullopt;
    return MainWindow();
  }

  // Ends the program with SIGKILL, as a crash or the power going would: nothing of it runs.
  bool Kill() {
    if (::kill(program_->Pid(), SIGKILL) != 0) return false;
    const std::optional<ExitStatus> status = program_->WaitForExit();
    return status && status->signal == SIGKILL;
  }

  // Replaces the text of a single-line field.
  static bool Fill(WindowId window, Point field, const std::string& text) {
    return Click(window, field.x, field.y) && PressKeys({"ctrl+a", "BackSpace"}) && TypeText(text);
  }

  std::optional<ProgramCopy> program_;
};

}  // namespace e2e
