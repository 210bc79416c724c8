// The notification-area layer where the desktop has none (the offscreen platform), and the
// seams that let component tests stand in for the shell and the cursor.
#include "desktop/shell_tray.h"

#include <gtest/gtest.h>

#include <QCursor>
#include <QIcon>
#include <QSystemTrayIcon>
#include <vector>

#include "desktop/desktop_seams.h"
#include "desktop/shell_tray_records.h"

namespace {

class QuietWindow : public os::ComponentWindow {
 public:
  void HandleMessage(const os::Message&) override {}
};

class ShellTrayOffscreenTest : public ::testing::Test {
 protected:
  os::NOTIFYICONDATA Record(std::uint32_t id) { return shell_tray_test::IconRecord(&window_, id); }

  QuietWindow window_;
};

TEST_F(ShellTrayOffscreenTest, WithoutNotificationAreaEveryCallFails) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable())
      << "the offscreen platform unexpectedly offers a notification area";
  const os::NOTIFYICONDATA record = Record(0);
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_MODIFY, &record));
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
  QRect rect;
  EXPECT_FALSE(os::Shell_NotifyIconGetRect(&window_, 0, &rect));
}

TEST_F(ShellTrayOffscreenTest, MalformedRequestsFail) {
  os::NOTIFYICONDATA noWindow = Record(0);
  noWindow.hWnd = nullptr;
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_ADD, nullptr));
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_ADD, &noWindow));
  const os::NOTIFYICONDATA record = Record(0);
  EXPECT_FALSE(os::Shell_NotifyIconA(3, &record)) << "unknown operation";
}

TEST_F(ShellTrayOffscreenTest, InstalledHandlerTakesTheShellsPlaceUntilReset) {
  struct Call {
    unsigned message;
    os::HWND window;
    std::uint32_t id;
  };
  std::vector<Call> calls;
  const os::NOTIFYICONDATA record = Record(9);
  {
    const os::ScopedSeams<os::DesktopSeams> seams([&](os::DesktopSeams& installed) {
      installed.shellNotifyIcon = [&](unsigned message, const os::NOTIFYICONDATA& data) {
        calls.push_back({message, data.hWnd, data.uID});
        return message != os::NIM_DELETE;
      };
    });
    EXPECT_TRUE(os::Shell_NotifyIconA(os::NIM_ADD, &record));
    EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_DELETE, &record));
    EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_ADD, nullptr)) << "no record reaches the handler";
  }

  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].message, os::NIM_ADD);
  EXPECT_EQ(calls[1].message, os::NIM_DELETE);
  EXPECT_EQ(calls[1].window, &window_);
  EXPECT_EQ(calls[1].id, 9u);
  EXPECT_FALSE(os::Shell_NotifyIconA(os::NIM_ADD, &record)) << "the desktop is back";
}

TEST(CursorTest, FakeCursorUntilResetThenTheRealOne) {
  int reads = 0;
  os::POINT point;
  {
    const os::ScopedSeams<os::DesktopSeams> seams([&](os::DesktopSeams& installed) {
      installed.cursorPos = [&] {
        ++reads;
        return os::POINT{-5, 1234};
      };
    });
    EXPECT_TRUE(os::GetCursorPos(&point));
    EXPECT_EQ(point, (os::POINT{-5, 1234}));
    EXPECT_EQ(reads, 1);
  }

  QCursor::setPos(17, 23);
  EXPECT_TRUE(os::GetCursorPos(&point));
  EXPECT_EQ(point, (os::POINT{QCursor::pos().x(), QCursor::pos().y()}));
  EXPECT_FALSE(os::GetCursorPos(nullptr));
}

}  // namespace
