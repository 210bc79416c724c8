#include "e2e/desktop_session.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr const char* kScreen = "1024x768x24";
const char* const kSessionTools[] = {"Xvfb", "trayer", "xdotool", "xwininfo", "xprop"};

std::string MissingTools() {
  std::string missing;
  for (const char* tool : kSessionTools) {
    if (FindExecutable(tool).empty()) missing += std::string(missing.empty() ? "" : ", ") + tool;
  }
  return missing;
}

// Xvfb writes the display number it chose, then a newline, once it accepts connections.
std::string ReadDisplayNumber(int fd) {
  std::string number;
  pollfd waitFor{fd, POLLIN, 0};
  char c = 0;
  while (poll(&waitFor, 1, kStartTimeoutMs) == 1 && read(fd, &c, 1) == 1 && c != '\n') {
    number += c;
  }
  return number;
}

// The tray announces itself by owning the screen's system-tray selection.
bool TrayManagerPresent(const std::string& display) {
  ::Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return false;
  const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(connection));
  const Atom atom = XInternAtom(connection, selection.c_str(), False);
  const bool owned = XGetSelectionOwner(connection, atom) != None;
  XCloseDisplay(connection);
  return owned;
}

// The visible window of a process, found without reporting test failures: the session starts
// before any test runs.
WindowId VisibleWindowOf(pid_t pid) {
  const ToolResult found =
      RunTool({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid)});
  std::istringstream lines(found.output);
  WindowId window = 0;
  lines >> window;
  return found.Ok() ? window : 0;
}

std::string LogTail(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  const std::string all = text.str();
  return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace

DesktopSession::DesktopSession() {
  const std::string missing = MissingTools();
  if (!missing.empty()) {
    error_ =
        "missing tool(s) on PATH: " + missing + " (scripts/install-deps.sh --test installs them)";
    return;
  }
  char pattern[] = "/tmp/pelorin-desktop-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error_ = "cannot create a runtime directory in /tmp";
    return;
  }
  runtimeDirectory_ = pattern;
  if (!StartServer(FindExecutable("Xvfb"))) return;
  environment_.Set("DISPLAY", display_)
      .Set("XDG_RUNTIME_DIR", runtimeDirectory_)
      .Set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtimeDirectory_ + "/no-session-bus")
      .Set("QT_QPA_PLATFORM", "xcb")
      .Unset("QT_QPA_PLATFORMTHEME")
      .Unset("QT_STYLE_OVERRIDE")
      .Unset("WAYLAND_DISPLAY");
  if (!StartTray(FindExecutable("trayer"))) return;
  JoinThisProcess();
}

DesktopSession::~DesktopSession() {
  tray_.reset();
  server_.reset();
  if (!runtimeDirectory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDirectory_, ignored);
  }
}

namespace {

// Held while an X server picks its display: two servers that start at the same moment with
// -displayfd can both settle on the same free number, and both then fail.
class DisplayChoiceLock {
 public:
  DisplayChoiceLock()
      : fd_(open("/tmp/pelorin-e2e-display.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~DisplayChoiceLock() {
    if (fd_ >= 0) close(fd_);
  }
  DisplayChoiceLock(const DisplayChoiceLock&) = delete;
  DisplayChoiceLock& operator=(const DisplayChoiceLock&) = delete;

 private:
  int fd_;
};

}  // namespace

bool DesktopSession::StartServer(const std::string& xvfb) {
  const DisplayChoiceLock choosing;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    error_ = "no pipe for Xvfb's display number";
    return false;
  }
  ChildOptions options;
  options.logFile = runtimeDirectory_ + "/xvfb.log";
  options.inheritedFd = pipeFds[1];
  server_ = std::make_unique<ChildProcess>(
      xvfb,
      std::vector<std::string>{"-displayfd", std::to_string(pipeFds[1]), "-screen", "0", kScreen,
                               "-nolisten", "tcp"},
      options);
  close(pipeFds[1]);
  const std::string number = server_->Started() ? ReadDisplayNumber(pipeFds[0]) : "";
  close(pipeFds[0]);
  if (number.empty()) {
    error_ = "Xvfb did not start: " + server_->Error() + LogTail(options.logFile);
    return false;
  }
  display_ = ":" + number;
  return true;
}

bool DesktopSession::StartTray(const std::string& trayer) {
  ChildOptions options;
  options.logFile = runtimeDirectory_ + "/trayer.log";
  options.environment = environment_;
  tray_ = std::make_unique<ChildProcess>(
      trayer,
      std::vector<std::string>{"--edge", "top", "--align", "left", "--widthtype", "request",
                               "--height", "24", "--transparent", "false"},
      options);
  if (!tray_->Started()) {
    error_ = "trayer could not be started: " + tray_->Error();
    return false;
  }
  // The tool runs below must reach the new display already.
  setenv("DISPLAY", display_.c_str(), 1);
  const bool ready = WaitUntil(
      [&] {
        if (!tray_->Running() || !TrayManagerPresent(display_)) return false;
        trayPanel_ = VisibleWindowOf(tray_->Pid());
        return trayPanel_ != 0;
      },
      kStartTimeoutMs);
  if (!ready) {
    error_ = "trayer started but no notification area appeared on " + display_ + ": " +
             LogTail(options.logFile);
  }
  return ready;
}

void DesktopSession::JoinThisProcess() const {
  environment_.ApplyToThisProcess();
}

}  // namespace e2e
