#include "e2e/desktop_session.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
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

// Xvfb writes the display number it chose, then a newline, once it accepts connections.
std::string ReadDisplayNumber(int fd) {
  return ReadLineFrom(fd, kStartTimeoutMs);
}

// One connection to the display for the whole wait: the tray announces itself by owning the
// screen's system-tray selection.
class TrayManagerProbe {
 public:
  explicit TrayManagerProbe(const std::string& display)
      : connection_(XOpenDisplay(display.c_str())) {
    if (connection_ == nullptr) return;
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(connection_));
    selection_ = XInternAtom(connection_, selection.c_str(), False);
  }
  ~TrayManagerProbe() {
    if (connection_ != nullptr) XCloseDisplay(connection_);
  }
  TrayManagerProbe(const TrayManagerProbe&) = delete;
  TrayManagerProbe& operator=(const TrayManagerProbe&) = delete;

  bool Connected() const { return connection_ != nullptr; }
  bool TrayPresent() const { return XGetSelectionOwner(connection_, selection_) != None; }

 private:
  ::Display* connection_;
  Atom selection_ = None;
};

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

}  // namespace

DesktopSession::DesktopSession() {
  const std::string missing = MissingTools(kSessionTools);
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

// Xvfb picks a free display number itself: the kernel lets one server only bind a display's
// socket, so servers that start at once get numbers of their own. Without -noreset it would
// reset, dropping connections that are being opened, each time its last client leaves, as
// happens while the tray is still starting.
bool DesktopSession::StartServer(const std::string& xvfb) {
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
                               "-nolisten", "tcp", "-noreset"},
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
  const TrayManagerProbe probe(display_);
  if (!probe.Connected()) {
    error_ = "cannot connect to Xvfb's display " + display_;
    return false;
  }
  WaitUntil(
      [&] {
        if (!tray_->Running()) return true;
        if (!probe.TrayPresent()) return false;
        trayPanel_ = VisibleWindowOf(tray_->Pid());
        return trayPanel_ != 0;
      },
      kStartTimeoutMs);
  if (trayPanel_ == 0) {
    const std::optional<ExitStatus> end = tray_->WaitForExit(0);
    error_ = "trayer started but no notification area appeared on " + display_ +
             (end ? " (trayer ended, " + end->Describe() + ")" : "") + ": " +
             LogTail(options.logFile);
  }
  return trayPanel_ != 0;
}

void DesktopSession::JoinThisProcess() const {
  environment_.ApplyToThisProcess();
}

}  // namespace e2e
