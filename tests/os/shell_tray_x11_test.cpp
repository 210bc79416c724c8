// The notification-area layer against a real one: an X server (Xvfb) with a tray (trayer),
// clicked with xdotool. Its own program, because the application must connect to that
// display before any test runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/shell_tray.h"
#include "support/event_loop.h"

namespace {

using testing_support::RunEventsFor;
using testing_support::RunEventsUntil;

// A program started for the tests and ended (by its id) when they are done, or when this
// process dies first.
class ChildProcess {
 public:
  // Open descriptors without close-on-exec are inherited.
  ChildProcess(const std::string& path, const std::vector<std::string>& arguments) {
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) RunInChild(parent, path, argv.data());
  }
  ~ChildProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }

 private:
  [[noreturn]] static void RunInChild(pid_t parent, const std::string& path, char** argv) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(quiet, 2);
    execv(path.c_str(), argv);
    _exit(127);
  }

  pid_t pid_ = -1;
};

std::string FindTool(const char* name, std::string* missing) {
  const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
  if (path.isEmpty()) *missing += std::string(missing->empty() ? "" : ", ") + name;
  return path.toStdString();
}

// Xvfb on a display number it picks itself, and a tray on it.
class TraySession {
 public:
  TraySession() {
    std::string missing;
    const std::string xvfb = FindTool("Xvfb", &missing);
    const std::string trayer = FindTool("trayer", &missing);
    FindTool("xdotool", &missing);
    if (!missing.empty()) {
      error_ = "missing tool(s) on PATH: " + missing;
      return;
    }
    if (!StartServer(xvfb)) return;
    tray_ = std::make_unique<ChildProcess>(
        trayer, std::vector<std::string>{"--edge", "top", "--align", "left", "--widthtype",
                                         "request", "--height", "24"});
    if (!tray_->Started()) error_ = "trayer could not be started";
  }

  const std::string& Error() const { return error_; }

 private:
  bool StartServer(const std::string& xvfb) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
      error_ = "no pipe for Xvfb's display number";
      return false;
    }
    server_ = std::make_unique<ChildProcess>(
        xvfb, std::vector<std::string>{"-displayfd", std::to_string(pipeFds[1]), "-screen", "0",
                                       "800x600x24", "-nolisten", "tcp"});
    close(pipeFds[1]);
    const std::string display = ReadDisplayNumber(pipeFds[0]);
    close(pipeFds[0]);
    if (!server_->Started() || display.empty()) {
      error_ = "Xvfb did not start";
      return false;
    }
    setenv("DISPLAY", (":" + display).c_str(), 1);
    return true;
  }

  static std::string ReadDisplayNumber(int fd) {
    std::string number;
    pollfd waitFor{fd, POLLIN, 0};
    char c = 0;
    while (poll(&waitFor, 1, 30000) == 1 && read(fd, &c, 1) == 1 && c != '\n') number += c;
    return number;
  }

  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> tray_;
  std::string error_;
};

TraySession* g_session = nullptr;

class RecordingWindow : public os::ComponentWindow {
 public:
  void HandleMessage(const os::Message& message) override { received.push_back(message); }
  std::vector<unsigned> MouseMessages() const {
    std::vector<unsigned> result;
    for (const auto& m : received) result.push_back(static_cast<unsigned>(m.lParam));
    return result;
  }
  std::vector<os::Message> received;
};

QIcon RedSquare() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::red);
  return QIcon(pixmap);
}

class ShellTrayX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(g_session, nullptr);
    ASSERT_TRUE(g_session->Error().empty()) << g_session->Error();
    ASSERT_TRUE(RunEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 20000))
        << "trayer started but no notification area appeared on the display";
  }

  os::NOTIFYICONDATA Record(std::uint32_t id) {
    os::NOTIFYICONDATA record;
    record.cbSize = os::NOTIFYICONDATA_SIZE;
    record.hWnd = &window_;
    record.uID = id;
    record.uFlags = os::NIF_MESSAGE | os::NIF_ICON | os::NIF_TIP;
    record.uCallbackMessage = os::WM_USER;
    record.hIcon = &picture_;
    return record;
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
    QProcess search;
    search.start(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--classname",
                                             "^" + QCoreApplication::applicationName() + "$"});
    EXPECT_TRUE(search.waitForFinished()) << "xdotool search did not finish";
    const QString found = QString::fromLocal8Bit(search.readAllStandardOutput());
    return static_cast<int>(found.split('\n', Qt::SkipEmptyParts).size());
  }

  static void Xdotool(const QStringList& arguments) {
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), arguments), 0)
        << "xdotool " << arguments.join(' ').toStdString();
  }

  void ClickAndCollect(const QStringList& clickArguments, std::size_t expected) {
    window_.received.clear();
    Xdotool(clickArguments);
    RunEventsUntil([&] { return window_.received.size() >= expected; });
    RunEventsFor(300);  // anything beyond the expected messages would show up here
  }

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
  Xdotool({"mousemove", QString::number(rect.center().x()), QString::number(rect.center().y())});

  struct Case {
    const char* what;
    QStringList click;
    std::vector<unsigned> expected;
  };
  const std::vector<Case> cases = {
      {"left click", {"click", "1"}, {os::WM_LBUTTONUP}},
      {"double click",
       {"click", "--repeat", "2", "--delay", "80", "1"},
       {os::WM_LBUTTONUP, os::WM_LBUTTONDBLCLK, os::WM_LBUTTONUP}},
      {"right click", {"click", "3"}, {os::WM_RBUTTONUP}},
      {"middle click", {"click", "2"}, {os::WM_MBUTTONUP}},
  };
  for (const auto& c : cases) {
    RunEventsFor(600);  // no double click with the previous case
    ClickAndCollect(c.click, c.expected.size());
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
  Xdotool({"mousemove", QString::number(rect.center().x()), QString::number(rect.center().y())});
  ClickAndCollect({"click", "1"}, 0);
  EXPECT_TRUE(window_.received.empty()) << "a callback without NIF_MESSAGE";

  record.uFlags = os::NIF_MESSAGE;
  record.uCallbackMessage = os::WM_USER + 5;
  ASSERT_TRUE(os::Shell_NotifyIconA(os::NIM_MODIFY, &record));
  RunEventsFor(600);  // no double click with the first click
  ClickAndCollect({"click", "1"}, 1);
  ASSERT_EQ(window_.received.size(), 1u);
  EXPECT_EQ(window_.received[0].msg, os::WM_USER + 5);
  EXPECT_EQ(window_.received[0].lParam, os::WM_LBUTTONUP);
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

int main(int argc, char** argv) {
  // The tray is found through the X display only: no desktop bus, no inherited platform.
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/pelorin-no-session-bus", 1);
  // Listing the tests needs no display.
  const bool listing = std::any_of(argv, argv + argc, [](const char* argument) {
    return std::string(argument) == "--gtest_list_tests";
  });
  std::optional<TraySession> session;
  if (!listing) session.emplace();
  g_session = session ? &*session : nullptr;
  const bool haveDisplay = session && session->Error().empty();
  setenv("QT_QPA_PLATFORM", haveDisplay ? "xcb" : "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
