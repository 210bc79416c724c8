// A StatusNotifierItem tray on the test's desktop, as KDE Plasma, GNOME with the AppIndicator
// extension or Xfce offer one: a private session bus (dbus-daemon), a watcher that items and
// hosts register with (status-notifier-watcher) and a host that shows the items in a bar along
// the bottom edge of the screen and opens their menus (gtk-sni-tray-standalone). Qt shows a
// tray icon of a program on that bus as a StatusNotifierItem instead of embedding it in the
// desktop's XEmbed tray, which stays there unused.
//
// Create one after the desktop and before any Qt application object; it ends the host, the
// watcher and the bus when it is destroyed.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "e2e/child_process.h"
#include "e2e/desktop_windows.h"

namespace e2e {

class DesktopSession;

class SniTraySession {
 public:
  explicit SniTraySession(const DesktopSession& desktop);
  ~SniTraySession();
  SniTraySession(const SniTraySession&) = delete;
  SniTraySession& operator=(const SniTraySession&) = delete;

  // Empty when the tray is ready; otherwise why it is not (a missing tool is named).
  const std::string& Error() const { return error_; }
  // The private bus, as DBUS_SESSION_BUS_ADDRESS gives it.
  const std::string& BusAddress() const { return busAddress_; }
  pid_t HostPid() const { return host_ ? host_->Pid() : 0; }
  // The host's bar; the icons are drawn in it, and its menus open as windows of the host.
  WindowId HostBar() const { return hostBar_; }

  // What a program needs on top of the desktop's environment to find this tray: the bus.
  Environment ProgramEnvironment() const;
  // Points this process at the bus, so that a QApplication created afterwards shows its tray
  // icons here.
  void JoinThisProcess() const;

 private:
  bool StartBus(const std::string& dbusDaemon);
  bool StartWatcher(const std::string& watcher);
  bool StartHost(const std::string& host, const DesktopSession& desktop);
  bool BusAnswers(const std::string& property, const std::string& expected) const;

  std::string directory_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> watcher_;
  std::unique_ptr<ChildProcess> host_;
  std::string busAddress_;
  WindowId hostBar_ = 0;
  std::string error_;
};

}  // namespace e2e

namespace e2e {

// The tray that tests/e2e/tray_sni_main.cpp started for this test binary, on TheDesktop(); null
// while the tests are only listed.
SniTraySession* TheSniTray();

}  // namespace e2e
