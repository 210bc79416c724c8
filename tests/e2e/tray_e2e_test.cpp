// The built program on a real desktop (Xvfb with trayer), driven as a user would drive it: in
// tray mode its icon sits in the notification area with its tip, a left click shows the
// window, "&Close" (or the window manager's close) hides it, and the pop-up menu's "&Close" ends
// the program; without its icon file it says so and shows the window; in link mode the window
// comes up at once, filled in from the link. The fields are read back through the X clipboard; the
// tip and the message box are read by comparing their pictures with ones of the expected text drawn
// here by the same Qt on the same desktop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QMessageBox>
#include <QToolTip>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "e2e/program_copy.h"
#include "e2e/program_test.h"
#include "support/event_loop.h"

namespace {

using e2e::kCloseButton;
using e2e::kEmailField;
using e2e::kRestingPlace;
using e2e::kSubjectField;
using e2e::PictureOnceItShows;
using e2e::Point;
using e2e::SettledPicture;
using e2e::WindowGeometry;
using e2e::WindowId;
using testing_support::RunEventsFor;
using testing_support::RunEventsUntil;

constexpr const char* kTrayTip = "Click here to send an e-mail!";
// With a configuration file in place no first-run settings dialog comes up.
constexpr const char* kConfiguration = "localhost:2525\r\nme@example.org\r\n\r\nFALSE\r\n";

bool IsTooltip(WindowId window) {
  return e2e::PropertyOf(window, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_TOOLTIP") !=
         std::string::npos;
}

// A window of this process as the X server shows it; this process's events run meanwhile, so
// that the window gets mapped.
std::optional<WindowId> OwnWindow(const e2e::WindowQuery& query,
                                  const std::function<bool(WindowId)>& accept = {}) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    RunEventsFor(100);
    if (const std::optional<WindowId> window = e2e::FindWindow(query, accept)) return window;
  }
  return std::nullopt;
}

// A tool tip with the text, as Qt draws it on this desktop, found and pictured the same way as
// the program's.
std::optional<QImage> ToolTipPicture(const std::string& text, const std::string& fileName) {
  QToolTip::showText(QPoint(kRestingPlace.x - 400, kRestingPlace.y - 200),
                     QString::fromStdString(text));
  RunEventsUntil([] { return QToolTip::isVisible(); });
  const std::optional<WindowId> tip = OwnWindow(e2e::WindowQuery::OfProgram(getpid()), IsTooltip);
  std::optional<QImage> picture;
  if (tip) picture = SettledPicture(*tip, fileName);
  QToolTip::hideText();
  RunEventsUntil([] { return !QToolTip::isVisible(); });
  return picture;
}

// The framework's error box with the text, as Qt draws it on this desktop, with the focus as
// the program's has it, pictured the same way as the program's.
std::optional<QImage> ErrorBoxPicture(const std::string& text, const std::string& fileName) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Pelorin32"), QString::fromStdString(text),
                  QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::Ok);
  box.show();
  box.activateWindow();
  RunEventsUntil([&] { return box.isActiveWindow(); });
  const std::optional<WindowId> window =
      OwnWindow(e2e::WindowQuery::OfProgram(getpid()).Named("^Pelorin32$"));
  if (!window) return std::nullopt;
  return SettledPicture(*window, fileName);
}

class DesktopTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    ASSERT_TRUE(program_->WriteFile(e2e::kConfigurationFileName, kConfiguration));
  }

  // A line edit's text: a marker typed at its end, everything copied to the clipboard and read
  // back; the marker shows that the copy is this one (an empty field copies nothing) and is
  // taken out again afterwards.
  static std::optional<std::string> FieldText(WindowId window, Point field) {
    static int reads = 0;
    const std::string marker = "#" + std::to_string(++reads) + "#";
    if (!e2e::Click(window, field.x, field.y) || !e2e::PressKeys({"End"}) ||
        !e2e::TypeText(marker) || !e2e::PressKeys({"ctrl+a", "ctrl+c"})) {
      return std::nullopt;
    }
    std::optional<std::string> copied;
    RunEventsUntil([&] {
      copied = e2e::ReadClipboard();
      return !copied || copied->ends_with(marker);
    });
    std::vector<std::string> undo = {"End"};
    undo.insert(undo.end(), marker.size(), "BackSpace");
    e2e::PressKeys(undo);
    if (!copied || !copied->ends_with(marker)) return std::nullopt;
    return copied->substr(0, copied->size() - marker.size());
  }

  void ExpectEndsWithExitCodeZero() {
    const std::optional<e2e::ExitStatus> status = program_->WaitForExit();
    ASSERT_TRUE(status.has_value()) << "the program is still running";
    EXPECT_EQ(status->code, 0) << status->Describe();
  }
};

class TrayModeTest : public DesktopTest {
 protected:
  // The program started in the tray and its icon right-clicked: the menu that opened, and where
  // the icon is.
  std::optional<WindowId> StartAndOpenMenu(std::optional<WindowGeometry>& place) {
    if (!program_->Start({})) return std::nullopt;
    const std::optional<WindowId> icon = TrayIcon();
    if (!icon || !(place = e2e::GeometryOf(*icon))) return std::nullopt;
    if (!e2e::ClickAt(place->CenterX(), place->CenterY(), e2e::MouseButton::Right)) {
      return std::nullopt;
    }
    return e2e::WaitForWindow(ProgramWindows(), e2e::kWindowTimeoutMs, [&](WindowId window) {
      return window != *icon && !IsTooltip(window);
    });
  }
};
using LinkModeTest = DesktopTest;

TEST_F(TrayModeTest, StartsHiddenWithItsIconInTheTray) {
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> icon = TrayIcon();
  ASSERT_TRUE(icon.has_value()) << "no icon of the program in the notification area";
  const std::optional<WindowGeometry> place = e2e::GeometryOf(*icon);
  ASSERT_TRUE(place.has_value());
  EXPECT_TRUE(place->viewable);
  EXPECT_GT(place->width, 0);
  // The tip comes from the program's loop, well after its start: a window shown as the loop
  // starts is mapped before it, and the X server maps in order.
  ASSERT_TRUE(e2e::MoveMouse(place->CenterX(), place->CenterY()));
  ASSERT_TRUE(e2e::WaitForWindow(ProgramWindows(), e2e::kWindowTimeoutMs, IsTooltip).has_value())
      << "no tool tip came up over the icon";
  EXPECT_TRUE(e2e::FindWindows(ProgramWindows().Named(e2e::kMainWindowTitle)).empty())
      << "the main window is shown in tray mode";
  EXPECT_EQ(IconsInTray().size(), 1u);
  EXPECT_TRUE(program_->Running());
}

TEST_F(TrayModeTest, IconTipReadsTheHint) {
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> icon = TrayIcon();
  ASSERT_TRUE(icon.has_value());
  const std::optional<WindowGeometry> place = e2e::GeometryOf(*icon);
  ASSERT_TRUE(place.has_value());
  ASSERT_TRUE(e2e::MoveMouse(place->CenterX(), place->CenterY()));
  const std::optional<WindowId> tip =
      e2e::WaitForWindow(ProgramWindows(), e2e::kWindowTimeoutMs, IsTooltip);
  ASSERT_TRUE(tip.has_value()) << "no tool tip came up over the icon";
  const std::optional<QImage> shown = SettledPicture(*tip, "tray-tip.png");
  ASSERT_TRUE(shown.has_value());

  const std::optional<QImage> expected = ToolTipPicture(kTrayTip, "tray-tip-expected.png");
  const std::optional<QImage> other =
      ToolTipPicture("Click here to send an e-mail?", "tray-tip-other.png");
  ASSERT_TRUE(expected.has_value() && other.has_value());
  ASSERT_NE(*expected, *other) << "the pictures cannot tell the two texts apart";
  EXPECT_TRUE(*shown == *expected)
      << "the tip does not read \"" << kTrayTip << "\": compare tray-tip.png with "
      << "tray-tip-expected.png in " << e2e::ArtifactsDirectory();
}

TEST_F(TrayModeTest, LeftClickShowsTheWindowAndCloseHidesIt) {
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> icon = TrayIcon();
  ASSERT_TRUE(icon.has_value());

  // The second time as a window manager closes a window (Alt+F4, its close box); the third
  // round shows that the program still runs after that.
  for (int round = 1; round <= 3; ++round) {
    ASSERT_TRUE(ClickCenter(*icon, e2e::MouseButton::Left));
    const std::optional<WindowId> window = MainWindow();
    ASSERT_TRUE(window.has_value())
        << "a left click on the icon did not show the window, round " << round;
    e2e::ExpectMainWindowInPlace(*window);
    if (round == 1) e2e::Screenshot("tray-mode-window.png", *window);

    const bool byWindowManager = round == 2;
    const char* const closing = byWindowManager ? "the window manager's close" : "\"&Close\"";
    if (byWindowManager) {
      ASSERT_TRUE(e2e::AskToClose(*window));
    } else {
      ASSERT_TRUE(e2e::Click(*window, kCloseButton.x, kCloseButton.y));
    }
    EXPECT_TRUE(e2e::WaitUntilHidden(*window)) << closing << " did not hide the window";
    EXPECT_TRUE(program_->Running()) << closing << " ended the program in tray mode";
    EXPECT_EQ(IconsInTray(), std::vector<WindowId>{*icon});
  }
}

TEST_F(TrayModeTest, FieldsKeepTheirTextWhileHidden) {
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> icon = TrayIcon();
  ASSERT_TRUE(icon.has_value());
  ASSERT_TRUE(ClickCenter(*icon, e2e::MouseButton::Left));
  std::optional<WindowId> window = MainWindow();
  ASSERT_TRUE(window.has_value());
  ASSERT_TRUE(e2e::Click(*window, kSubjectField.x, kSubjectField.y));
  ASSERT_TRUE(e2e::TypeText("Kept while hidden"));

  ASSERT_TRUE(e2e::Click(*window, kCloseButton.x, kCloseButton.y));
  ASSERT_TRUE(e2e::WaitUntilHidden(*window));
  ASSERT_TRUE(ClickCenter(*icon, e2e::MouseButton::Left));
  window = MainWindow();
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(FieldText(*window, kSubjectField), "Kept while hidden");
}

TEST_F(TrayModeTest, MenuOpensAtTheCursorAndItsCloseEndsTheProgram) {
  std::optional<WindowGeometry> place;
  const std::optional<WindowId> menu = StartAndOpenMenu(place);
  ASSERT_TRUE(menu.has_value()) << "the icon's menu did not open";
  const std::optional<WindowGeometry> menuPlace = e2e::GeometryOf(*menu);
  ASSERT_TRUE(menuPlace.has_value());
  EXPECT_EQ(menuPlace->x, place->CenterX()) << "the menu is not at the cursor";
  EXPECT_EQ(menuPlace->y, place->CenterY()) << "the menu is not at the cursor";
  e2e::Screenshot("tray-mode-menu.png", *menu);

  // "&Close" is the last item.
  ASSERT_TRUE(e2e::Click(*menu, menuPlace->width / 2, menuPlace->height - 8));
  ExpectEndsWithExitCodeZero();
}

// The menu's second item, chosen with the keyboard, opens the outbox window; Escape closes it
// and the program stays in the tray.
TEST_F(TrayModeTest, MenusOutboxOpensTheOutboxWindow) {
  std::optional<WindowGeometry> place;
  const std::optional<WindowId> menu = StartAndOpenMenu(place);
  ASSERT_TRUE(menu.has_value()) << "the icon's menu did not open";
  ASSERT_TRUE(e2e::PressKeys({"Down", "Down", "Return"}));
  const std::optional<WindowId> outbox =
      e2e::WaitForWindow(ProgramWindows().Named("^Outbox - Pelorin 32$"));
  ASSERT_TRUE(outbox.has_value()) << "\"&Outbox...\" did not open the outbox window";
  e2e::Screenshot("tray-mode-outbox.png", *outbox);
  ASSERT_TRUE(e2e::PressKeys({"Escape"}));
  EXPECT_TRUE(e2e::WaitUntilHidden(*outbox));
  EXPECT_TRUE(program_->Running());
}

// Without an icon in the notification area the program would be out of reach: it says why and
// shows its window instead, whose "&Close" then ends it.
TEST_F(TrayModeTest, MissingIconFileIsReportedAndTheWindowShown) {
  ASSERT_TRUE(program_->RemoveFile(e2e::kIconFileName));
  ASSERT_TRUE(program_->Start({}));
  const std::optional<WindowId> box = e2e::WaitForWindow(ProgramWindows().Named("^Pelorin32$"));
  ASSERT_TRUE(box.has_value()) << "no message box about the missing icon file";
  const std::string expected = "Cannot open file " + program_->PathOf(e2e::kIconFileName) + ".";
  const std::optional<QImage> reference = ErrorBoxPicture(expected, "missing-icon-expected.png");
  ASSERT_TRUE(reference.has_value());
  const std::optional<QImage> shown =
      PictureOnceItShows(*box, *reference, "tray-mode-missing-icon.png");
  ASSERT_TRUE(shown.has_value());
  EXPECT_TRUE(*shown == *reference)
      << "the box does not say \"" << expected << "\": compare tray-mode-missing-icon.png with "
      << "missing-icon-expected.png in " << e2e::ArtifactsDirectory();
  ASSERT_TRUE(e2e::Click(*box, 8, 8));  // the program's box has the focus again
  ASSERT_TRUE(e2e::PressKeys({"Return"}));
  EXPECT_TRUE(e2e::WaitUntilHidden(*box));

  const std::optional<WindowId> window = MainWindow();
  ASSERT_TRUE(window.has_value()) << "the window is not shown in place of the icon";
  e2e::ExpectMainWindowInPlace(*window);
  EXPECT_TRUE(IconsInTray().empty());
  ASSERT_TRUE(e2e::Click(*window, kCloseButton.x, kCloseButton.y));
  ExpectEndsWithExitCodeZero();
}

TEST_F(LinkModeTest, WindowComesUpFilledInFromTheLink) {
  struct Case {
    const char* link;
    const char* email;
    const char* subject;
  };
  const Case cases[] = {
      {"mailto:anna@example.org?subject=Hi%20there&cc=bob@example.org",
       "anna@example.org, bob@example.org", "Hi there"},
      {"mailto:bob@example.org?Subject=Lunch at noon?", "bob@example.org", "Lunch at noon?"},
      {"mailto:carol@example.org", "carol@example.org", ""},
  };
  bool pictured = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    ASSERT_TRUE(program_->Start({"/u", c.link}));
    const std::optional<WindowId> window = MainWindow();
    ASSERT_TRUE(window.has_value()) << "the window did not come up in link mode";
    e2e::ExpectMainWindowInPlace(*window);
    EXPECT_TRUE(IconsInTray().empty()) << "an icon in the notification area in link mode";
    EXPECT_EQ(FieldText(*window, kEmailField), c.email);
    EXPECT_EQ(FieldText(*window, kSubjectField), c.subject);
    if (!pictured) pictured = !e2e::Screenshot("link-mode-window.png", *window).empty();

    ASSERT_TRUE(e2e::Click(*window, kCloseButton.x, kCloseButton.y));
    ExpectEndsWithExitCodeZero();
  }
}

}  // namespace
