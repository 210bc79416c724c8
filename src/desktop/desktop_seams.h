// The services of the desktop layer that a test may swap, installed as one set (os/seams.h).
#pragma once

#include "desktop/desktop_notice.h"
#include "desktop/shell_execute.h"
#include "desktop/shell_tray.h"
#include "os/seams.h"

namespace os {

// An empty member leaves its service to the desktop.
struct DesktopSeams {
  ShellNotifyIconHandler shellNotifyIcon;  // in place of the notification area
  CursorPosHandler cursorPos;              // in place of the cursor
  TrayBalloonHandler trayBalloon;          // in place of the notification area's balloon
  ShellExecuteWatcher shellExecuteCalled;  // told of every ShellExecuteA call
  DesktopOpener openOnDesktop;             // in place of the desktop opening a file or URL
};
template <>
DesktopSeams InstalledSeams<DesktopSeams>();
template <>
void InstallSeams<DesktopSeams>(DesktopSeams seams);

}  // namespace os
