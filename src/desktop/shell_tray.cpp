#include "desktop/shell_tray.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QIcon>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QThread>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "desktop/desktop_seams.h"
#include "desktop/shell_tray_menu.h"

namespace os {
namespace {

// Qt reports a click when the button goes down and, for a double click, the second press as
// the double click alone. The Windows shell's order is up, double click, up; the component
// relies on that order only, not on the moment.
std::vector<unsigned> MouseMessagesFor(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      return {WM_LBUTTONUP};
    case QSystemTrayIcon::DoubleClick:
      return {WM_LBUTTONDBLCLK, WM_LBUTTONUP};
    case QSystemTrayIcon::Context:
      return {WM_RBUTTONUP};
    case QSystemTrayIcon::MiddleClick:
      return {WM_MBUTTONUP};
    default:
      return {};
  }
}

// The shell shows an empty picture as a blank square; Qt refuses to show an icon without one.
QIcon PictureOf(HICON handle) {
  if (handle != nullptr && !handle->isNull()) return *handle;
  QPixmap blank(16, 16);
  blank.fill(Qt::transparent);
  return QIcon(blank);
}

QString TipOf(const NOTIFYICONDATA& data) {
  return QString::fromLocal8Bit(data.szTip,
                                static_cast<qsizetype>(strnlen(data.szTip, sizeof data.szTip)));
}

// One icon in the notification area. It is a child of its window, so it goes when the
// window goes.
class ShellIcon : public QObject {
 public:
  ShellIcon(HWND window, std::uint32_t id) : QObject(window), window_(window), id_(id) {}

  void Apply(const NOTIFYICONDATA& data) {
    if ((data.uFlags & NIF_MESSAGE) != 0) {
      callbackMessage_ = data.uCallbackMessage;
      hasCallback_ = true;
    }
    if ((data.uFlags & NIF_ICON) != 0) {
      picture_ = PictureOf(data.hIcon);
      if (tray_ != nullptr) tray_->setIcon(picture_);
    }
    if ((data.uFlags & NIF_TIP) != 0) {
      tip_ = TipOf(data);
      if (tray_ != nullptr) tray_->setToolTip(tip_);
    }
    if ((data.uFlags & NIF_MENU) != 0) SetMenu(data.hMenu);
  }

  void Show() {
    tray_ = std::make_unique<QSystemTrayIcon>(picture_);
    tray_->setToolTip(tip_);
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { Report(reason); });
    // A host reads the menu when the item appears, so it is there before the item.
    if (mirror_->Source() != nullptr) OfferMenu();
    tray_->show();
    // An icon that Qt draws in a window of its own is placed from the moment it is shown; one
    // that a StatusNotifierItem host draws has no place the program could know.
    reportsDoubleClicks_ = !tray_->geometry().isEmpty();
  }

  QRect Geometry() const { return tray_->geometry(); }
  bool ShowBalloon(const QString& title, const QString& text, const QIcon& picture, int ms) {
    if (tray_ == nullptr || !tray_->isVisible()) return false;
    tray_->showMessage(title, text, picture, ms);
    return true;
  }

 private:
  void SetMenu(QMenu* source) {
    mirror_->Follow(source);
    if (tray_ == nullptr) return;
    if (source == nullptr && menuExported_) {
      // An exported menu cannot be withdrawn from the item; a new item has none.
      tray_.reset();
      mirror_ = std::make_unique<TrayMenuMirror>();
      menuExported_ = false;
      Show();
    } else if (source != nullptr && !menuExported_) {
      OfferMenu();
    }
  }

  // A tray that exports menus gives the menu a platform menu of its own; an XEmbed tray would
  // open the menu by itself on the button press, so there it is taken back at once.
  void OfferMenu() {
    tray_->setContextMenu(mirror_->Menu());
    menuExported_ = mirror_->Menu()->platformMenu() != nullptr;
    if (!menuExported_) tray_->setContextMenu(nullptr);
  }

  void Report(QSystemTrayIcon::ActivationReason reason) {
    const std::vector<unsigned> messages =
        reason == QSystemTrayIcon::Trigger && !reportsDoubleClicks_ ? ActivationMessages()
                                                                    : MouseMessagesFor(reason);
    if (!hasCallback_) return;
    for (const unsigned mouseMessage : messages) {
      PostMessage(window_, callbackMessage_, id_, mouseMessage);
    }
  }

  // The second of two activations within the double-click time completes a double click; a
  // third starts anew.
  std::vector<unsigned> ActivationMessages() {
    const bool second = sinceLoneActivation_.isValid() &&
                        sinceLoneActivation_.elapsed() < QApplication::doubleClickInterval();
    if (second) {
      sinceLoneActivation_.invalidate();
      return {WM_LBUTTONDBLCLK, WM_LBUTTONUP};
    }
    sinceLoneActivation_.start();
    return {WM_LBUTTONUP};
  }

  HWND window_;
  std::uint32_t id_;
  unsigned callbackMessage_ = 0;
  bool hasCallback_ = false;
  QIcon picture_ = PictureOf(nullptr);
  QString tip_;
  // Declared before the tray, so that the tray, which may have exported the mirror's menu,
  // goes first.
  std::unique_ptr<TrayMenuMirror> mirror_ = std::make_unique<TrayMenuMirror>();
  std::unique_ptr<QSystemTrayIcon> tray_;
  bool menuExported_ = false;
  bool reportsDoubleClicks_ = true;
  QElapsedTimer sinceLoneActivation_;
};

using IconKey = std::pair<HWND, std::uint32_t>;

std::map<IconKey, QPointer<ShellIcon>>& Icons() {
  static std::map<IconKey, QPointer<ShellIcon>> icons;
  return icons;
}

// An entry whose window has gone is no icon any more, even if a new window got its address.
ShellIcon* FindIcon(HWND window, std::uint32_t id) {
  auto& icons = Icons();
  const auto it = icons.find({window, id});
  if (it == icons.end()) return nullptr;
  if (it->second.isNull()) {
    icons.erase(it);
    return nullptr;
  }
  return it->second.data();
}

bool OnUserInterfaceThread() {
  const QCoreApplication* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  return app != nullptr && app->thread() == QThread::currentThread();
}

// The icon becomes a child of the window, so both must live on this thread.
bool AddIcon(const NOTIFYICONDATA& data) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  if (FindIcon(data.hWnd, data.uID) != nullptr) return false;
  if (data.hWnd->thread() != QThread::currentThread()) return false;
  auto* icon = new ShellIcon(data.hWnd, data.uID);
  icon->Apply(data);
  icon->Show();
  Icons()[{data.hWnd, data.uID}] = icon;
  return true;
}

bool ModifyIcon(const NOTIFYICONDATA& data) {
  ShellIcon* icon = FindIcon(data.hWnd, data.uID);
  if (icon == nullptr) return false;
  icon->Apply(data);
  return true;
}

bool DeleteIcon(const NOTIFYICONDATA& data) {
  ShellIcon* icon = FindIcon(data.hWnd, data.uID);
  if (icon == nullptr) return false;
  Icons().erase({data.hWnd, data.uID});
  delete icon;
  return true;
}

bool DesktopNotifyIcon(unsigned message, const NOTIFYICONDATA& data) {
  if (data.hWnd == nullptr || !OnUserInterfaceThread()) return false;
  switch (message) {
    case NIM_ADD:
      return AddIcon(data);
    case NIM_MODIFY:
      return ModifyIcon(data);
    case NIM_DELETE:
      return DeleteIcon(data);
    default:
      return false;
  }
}

}  // namespace

bool Shell_NotifyIconA(unsigned message, const NOTIFYICONDATA* data) {
  if (data == nullptr) return false;
  const ShellNotifyIconHandler fake = InstalledSeams<DesktopSeams>().shellNotifyIcon;
  if (fake) return fake(message, *data);
  return DesktopNotifyIcon(message, *data);
}

bool Shell_NotifyIconGetRect(HWND window, std::uint32_t id, QRect* rect) {
  if (rect == nullptr || !OnUserInterfaceThread()) return false;
  const ShellIcon* icon = FindIcon(window, id);
  if (icon == nullptr) return false;
  *rect = icon->Geometry();
  return true;
}

bool Shell_NotifyIconBalloon(HWND window, std::uint32_t id, const QString& title,
                             const QString& text, const QIcon& picture, int milliseconds) {
  if (!OnUserInterfaceThread()) return false;
  ShellIcon* icon = FindIcon(window, id);
  return icon != nullptr && icon->ShowBalloon(title, text, picture, milliseconds);
}

bool GetCursorPos(POINT* point) {
  if (point == nullptr) return false;
  const CursorPosHandler fake = InstalledSeams<DesktopSeams>().cursorPos;
  if (fake) {
    *point = fake();
    return true;
  }
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return false;
  const QPoint position = QCursor::pos();
  *point = {position.x(), position.y()};
  return true;
}

}  // namespace os
