// A short notice on the desktop: through the desktop's notification server
// (org.freedesktop.Notifications on the session bus) where one runs, otherwise as a balloon over
// an icon in the notification area (the shell's balloon tip).
//
// User-interface thread only. Tests can put a recorder in place of the balloon through the
// desktop's seams (desktop/desktop_seams.h).
#pragma once

#include <QDBusConnection>
#include <QImage>
#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "desktop/shell_tray.h"

namespace os {

struct DesktopNotice {
  std::string title;         // also the sending program's name
  std::string text;          // plain text, shown as it is
  QImage picture;            // the program's icon; may be null
  std::string iconName;      // the program's icon in the desktop's icon theme
  std::string desktopEntry;  // the program's desktop entry, without ".desktop"
  // Runs when the user clicks the notification (the notification server's default action);
  // the balloon cannot tell its clicks apart, so it has none.
  std::function<void()> clicked;
};

enum class NoticeChannel { NotificationServer, TrayBalloon, None };

// How long the notification server is waited for before the balloon is shown instead.
constexpr int kNotificationServerTimeoutMs = 5000;

// Shows the notice. The notification server is asked without blocking; `shown`, when given,
// learns from the event loop which way the notice went (None: no server and no such icon).
void ShowDesktopNotice(const DesktopNotice& notice, HWND trayWindow, std::uint32_t trayIconId,
                       std::function<void(NoticeChannel)> shown = {});

// The clicks on shown notices that wait for them, by the server's notification id.
class NoticeClicks : public QObject {
  Q_OBJECT
 public:
  static NoticeClicks& Instance(const QDBusConnection& bus);
  void Expect(std::uint32_t id, std::function<void()> clicked);

 private slots:
  void ActionInvoked(uint id, const QString& action);
  void NotificationClosed(uint id, uint reason);

 private:
  using QObject::QObject;
  std::map<std::uint32_t, std::function<void()>> waiting_;
};

// What a test puts in place of the balloon (DesktopSeams); returns whether it was shown.
using TrayBalloonHandler =
    std::function<bool(HWND window, std::uint32_t id, const DesktopNotice& notice)>;

}  // namespace os
