#include "e2e/tray_sni_session.h"

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
#include <vector>

#include "e2e/desktop_session.h"

namespace e2e {
namespace {

constexpr int kStartTimeoutMs = 30000;
const char* const kTrayTools[] = {"dbus-daemon", "dbus-send", "status-notifier-watcher",
                                  "gtk-sni-tray-standalone"};
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";

// A bus of the test's own: no services started on demand (such as the accessibility bus a GTK
// program asks for), every connection may talk to every other.
constexpr const char* kBusConfiguration = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIRECTORY@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// The visible window of a process, found without reporting test failures: the tray starts
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

SniTraySession::SniTraySession(const DesktopSession& desktop) {
  const std::string missing = MissingTools(kTrayTools);
  if (!missing.empty()) {
    error_ =
        "missing tool(s) on PATH: " + missing + " (scripts/install-deps.sh --test installs them)";
    return;
  }
  char pattern[] = "/tmp/pelorin-sni-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error_ = "cannot create a directory for the bus in /tmp";
    return;
  }
  directory_ = pattern;
  if (!StartBus(FindExecutable("dbus-daemon"))) return;
  if (!StartWatcher(FindExecutable("status-notifier-watcher"))) return;
  StartHost(FindExecutable("gtk-sni-tray-standalone"), desktop);
}

SniTraySession::~SniTraySession() {
  host_.reset();
  watcher_.reset();
  bus_.reset();
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

Environment SniTraySession::ProgramEnvironment() const {
  Environment environment;
  environment.Set("DBUS_SESSION_BUS_ADDRESS", busAddress_);
  return environment;
}

void SniTraySession::JoinThisProcess() const {
  ProgramEnvironment().ApplyToThisProcess();
}

bool SniTraySession::StartBus(const std::string& dbusDaemon) {
  const std::string configuration = directory_ + "/bus.conf";
  {
    std::string text = kBusConfiguration;
    text.replace(text.find("@DIRECTORY@"), 11, directory_);
    std::ofstream(configuration) << text;
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    error_ = "no pipe for the bus's address";
    return false;
  }
  ChildOptions options;
  options.logFile = directory_ + "/dbus-daemon.log";
  options.inheritedFd = pipeFds[1];
  bus_ = std::make_unique<ChildProcess>(
      dbusDaemon,
      std::vector<std::string>{"--config-file=" + configuration, "--nofork", "--nopidfile",
                               "--print-address=" + std::to_string(pipeFds[1])},
      options);
  close(pipeFds[1]);
  // dbus-daemon writes its address, then a newline, once it accepts connections.
  busAddress_ = bus_->Started() ? ReadLineFrom(pipeFds[0], kStartTimeoutMs) : "";
  close(pipeFds[0]);
  if (busAddress_.empty()) {
    error_ = "dbus-daemon did not start: " + bus_->Error() + LogTail(options.logFile);
    return false;
  }
  return true;
}

// Asks the bus through dbus-send; true when the reply holds the expected text.
bool SniTraySession::BusAnswers(const std::string& call, const std::string& expected) const {
  std::vector<std::string> commandLine = {"dbus-send", "--bus=" + busAddress_, "--print-reply"};
  std::istringstream words(call);
  for (std::string word; words >> word;) commandLine.push_back(word);
  const ToolResult result = RunTool(commandLine);
  return result.Ok() && result.output.find(expected) != std::string::npos;
}

bool SniTraySession::StartWatcher(const std::string& watcher) {
  ChildOptions options;
  options.logFile = directory_ + "/watcher.log";
  options.environment.Set("DBUS_SESSION_BUS_ADDRESS", busAddress_);
  watcher_ = std::make_unique<ChildProcess>(watcher, std::vector<std::string>{}, options);
  const std::string nameOwned =
      "--dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:" +
      std::string(kWatcherName);
  const auto nameTaken = [&] {
    return watcher_->Running() && BusAnswers(nameOwned, "boolean true");
  };
  const bool ready = watcher_->Started() && WaitUntil(nameTaken, kStartTimeoutMs);
  if (!ready) {
    error_ = "status-notifier-watcher did not take its name on the bus: " + watcher_->Error() +
             LogTail(options.logFile);
  }
  return ready;
}

bool SniTraySession::StartHost(const std::string& host, const DesktopSession& desktop) {
  ChildOptions options;
  options.logFile = directory_ + "/host.log";
  // GTK on the desktop's display, without the accessibility bridge (it would ask the bus for
  // a service this bus does not start) and without settings of the user's.
  options.environment = desktop.ProgramEnvironment();
  options.environment.Merge(ProgramEnvironment())
      .Set("HOME", directory_)
      .Set("NO_AT_BRIDGE", "1")
      .Set("GDK_BACKEND", "x11")
      .Set("GSETTINGS_BACKEND", "memory")
      .Unset("GTK_THEME");
  host_ = std::make_unique<ChildProcess>(
      host,
      std::vector<std::string>{"--bottom", "--beginning", "--size", "30", "--color", "#d4d4d4"},
      options);
  const std::string hostRegistered =
      "--dest=" + std::string(kWatcherName) +
      " /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get string:" + kWatcherName +
      " string:IsStatusNotifierHostRegistered";
  const auto barShownAndRegistered = [&] {
    if (!host_->Running()) return false;
    hostBar_ = VisibleWindowOf(host_->Pid());
    return hostBar_ != 0 && BusAnswers(hostRegistered, "boolean true");
  };
  const bool ready = host_->Started() && WaitUntil(barShownAndRegistered, kStartTimeoutMs);
  if (!ready) {
    error_ =
        "gtk-sni-tray-standalone did not show its bar or register as the host: " + host_->Error() +
        LogTail(options.logFile);
  }
  return ready;
}

}  // namespace e2e
