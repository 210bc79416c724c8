// The notification-area layer against a real one: an X server (Xvfb) with a tray (trayer),
// clicked with xdotool. Its own program, because the application must connect to that
// display before any test runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/shell_tray.h"
#include "desktop/shell_tray_records.h"
#include "e2e/desktop_input.h"
#include "e2e/desktop_session.h"
#include "e2e/desktop_windows.h"
#include "support/event_loop.h"

namespace {

using testing_support::RunEventsUntil;

using shell_tray_test::RecordingWindow;
using shell_tray_test::RedSquare;

// Counts the mouse button releases that reach widgets (the icons' windows): once a click's
// last release has arrived, everything the click made has been handled.
class ReleaseCounter : public QObject {
 public:
  ReleaseCounter() { QCoreApplication::instance()->installEventFilter(this); }
  ~ReleaseCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
  bool eventFilter(QObject* target, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease && target->isWidgetType()) ++releases;
    return false;
  }
  int releases = 0;
};

class ShellTrayX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(e2e::TheDesktop(), nullptr);
    ASSERT_TRUE(e2e::TheDesktop()->Error().empty()) << e2e::TheDesktop()->Error();
    ASSERT_TRUE(RunEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 20000))
        << "trayer started but no notification area appeared on the display";
  }

  os::NOTIFYICONDATA Record(std::uint32_t id) {
    return shell_tray_test::IconRecord(&window_, id, &picture_);
  }

  // Waits until the tray has taken the icon in: the icon is created at the screen's corner
  // and moves into the tray when the tray embeds it.
  QRect PlacedRect(std::uint32_t id) { return PlacedRect(&window_, id); }
  static QRect PlacedRect(os::HWND window, std::uint32_t id) {
    QRect rect;
    RunEventsUntil([&] {
      return os::Shell_NotifyIconGetRect(window, id, &rect) && rect.isValid() &&
             rect.topLeft() != QPoint(0, 0);
    });
    return rect;
  }

  // The program's windows that the X server shows: its tray icons, as the tray embeds them.
  static int VisibleIconWindows() {
    const std::string name = QCoreApplication::applicationName().toStdString();
    return static_cast<int>(e2e::FindWindows(e2e::WindowQuery().OfClass("^" + name + "$")).size());
  }

  static void Xdotool(const std::vector<std::string>& arguments) {
    ASSERT_TRUE(e2e::Xdotool(arguments));
  }

  // The messages of one click are those that have come when its last release has reached the
  // icon, once the messages posted meanwhile are delivered.
  void ClickAndCollect(const std::vector<std::string>& clickArguments, int releases) {
    window_.received.clear();
    const int before = releases_.releases;
    Xdotool(clickArguments);
    EXPECT_TRUE(RunEventsUntil([&] { return releases_.releases >= before + releases; }))
        << "the click did not reach the icon";
    QCoreApplication::sendPostedEvents();
  }

  ReleaseCounter releases_;
  RecordingWindow window_;
  QIcon picture_ = RedSquare();
};

TEST_F(ShellTrayX11Test, AddedIconIsPlacedAndDeleteRemovesIt) {
  const os::NOTIFYICONDATA record = Record(1);
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_ADD, &record)) << "same window and id twice";
  const QRect rect = PlacedRect(1);
  EXPECT_TRUE(rect.isValid() && rect.topLeft() != QPoint(0, 0)) << "tray never placed the icon";
  EXPECT_EQ(VisibleIconWindows(), 1);
  EXPECT_TRUE(os::Shell_NotifyIconA(os::NIM_MODIFY, &record));

  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
  EXPECT_TRUE(RunEventsUntil([] { return VisibleIconWindows() == 0; }))
      << "the icon's window is still shown after the delete";
  QRect after;
  EXPECT_FALSE(os::Shell_NotifyIconGetRect(&window_, 1, &after));
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_MODIFY, &record));
}

TEST_F(ShellTrayX11Test, ClicksComeBackAsTheCallbackMessage) {
  const os::NOTIFYICONDATA record = Record(7);
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  const QRect rect = PlacedRect(7);
  ASSERT_TRUE(e2e::MoveMouse(rect.center().x(), rect.center().y()));

  struct Case {
    const char* what;
    std::vector<std::string> click;
    int releases;
    std::vector<unsigned> expected;
  };
  // No two clicks in a row are of the same button, so none makes a double click with the one
  // before, however soon it follows.
  const std::vector<Case> cases = {
      {"left click", {"click", "1"}, 1, {os::WM_LBUTTONUP}},
      {"right click", {"click", "3"}, 1, {os::WM_RBUTTONUP}},
      {"double click",
       {"click", "--repeat", "2", "--delay", "80", "1"},
       2,
       {os::WM_LBUTTONUP, os::WM_LBUTTONDBLCLK, os::WM_LBUTTONUP}},
      {"middle click", {"click", "2"}, 1, {os::WM_MBUTTONUP}},
  };
  for (const auto& c : cases) {
    ClickAndCollect(c.click, c.releases);
    EXPECT_EQ(window_.MouseMessages(), c.expected) << c.what;
    for (const auto& m : window_.received) {
      EXPECT_EQ(m.msg, os::WM_USER) << c.what;
      EXPECT_EQ(m.wParam, 7u) << c.what;
    }
  }
  EXPECT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
}

TEST_F(ShellTrayX11Test, CallbackStartsWhenAModificationNamesIt) {
  os::NOTIFYICONDATA record = Record(2);
  record.uFlags = os::NIF_ICON;
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  const QRect rect = PlacedRect(2);
  ASSERT_TRUE(e2e::MoveMouse(rect.center().x(), rect.center().y()));
  ClickAndCollect({"click", "1"}, 1);
  EXPECT_TRUE(window_.received.empty()) << "a callback without NIF_MESSAGE";

  record.uFlags = os::NIF_MESSAGE;
  record.uCallbackMessage = os::WM_USER + 5;
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_MODIFY, &record));
  ClickAndCollect({"click", "3"}, 1);  // another button: no double click with the first
  ASSERT_EQ(window_.received.size(), 1u);
  EXPECT_EQ(window_.received[0].msg, os::WM_USER + 5);
  EXPECT_EQ(window_.received[0].lParam, os::WM_RBUTTONUP);
  EXPECT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
}

TEST_F(ShellTrayX11Test, EmptyPictureIsShownAsBlank) {
  os::NOTIFYICONDATA record = Record(3);
  record.hIcon = nullptr;
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  EXPECT_TRUE(PlacedRect(3).isValid());
  EXPECT_TRUE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
}

TEST_F(ShellTrayX11Test, IconGoesWithItsWindow) {
  auto window = std::make_unique<RecordingWindow>();
  os::NOTIFYICONDATA record = Record(4);
  record.hWnd = window.get();
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  PlacedRect(window.get(), 4);
  ASSERT_EQ(VisibleIconWindows(), 1);
  window.reset();
  EXPECT_TRUE(RunEventsUntil([] { return VisibleIconWindows() == 0; }));
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
}

}  // namespace
