// A desktop of the test's own: a virtual X server (Xvfb) on a display number it picks itself,
// with a real notification area (trayer) along the top edge, starting at the left. The test
// process joins it: once the session is ready, DISPLAY and the variables below are set in this
// process too, so the tools it runs and a QApplication it creates afterwards use that desktop.
//
// Create one session in main(), before any Qt application object and before any test runs;
// it ends the tray and the server when it is destroyed (and the kernel ends them when the test
// process dies first).
#pragma once

#include <memory>
#include <string>

#include "e2e/child_process.h"
#include "e2e/desktop_windows.h"

namespace e2e {

class DesktopSession {
 public:
  DesktopSession();
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // Empty when the desktop is ready; otherwise why it is not (a missing tool is named).
  const std::string& Error() const { return error_; }
  // ":N"
  const std::string& Display() const { return display_; }
  // The notification area's visible window; the icons it holds are its descendants.
  WindowId TrayPanel() const { return trayPanel_; }

  // What a program shown on this desktop needs in its environment: the display, a private
  // runtime directory, Qt on X11 with the notification area of the X display. The session bus
  // is pointed at nothing: with a bus, Qt would look for a tray there instead, and with no
  // address at all the bus library may start a bus of its own.
  const Environment& ProgramEnvironment() const { return environment_; }

 private:
  bool StartServer(const std::string& xvfb);
  bool StartTray(const std::string& trayer);
  void JoinThisProcess() const;

  std::string runtimeDirectory_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> tray_;
  std::string display_;
  WindowId trayPanel_ = 0;
  Environment environment_;
  std::string error_;
};

// The desktop that tests/e2e/desktop_main.cpp started for this test binary; null while the
// tests are only listed.
DesktopSession* TheDesktop();

}  // namespace e2e
