// The shell's notification area: icons added, changed and removed through an icon record
// (Shell_NotifyIconA), shown with the desktop's system tray. Mouse actions on an icon come back
// to the record's window as its callback message, with the icon's identifier in wParam and the
// mouse message in lParam. Also the cursor position in screen coordinates (GetCursorPos).
//
// Qt shows an icon in one of two ways. Where a StatusNotifierItem host watches the session bus
// (KDE Plasma, GNOME with the AppIndicator extension, Xfce), the host draws the icon from what
// the program exports over D-Bus, opens the icon's menu itself and reports a click as an
// activation. Elsewhere on X11 the tray embeds a window that Qt draws the icon in (XEmbed), and
// every click comes back as it happened.
//
// User-interface thread only. Tests can put a recording fake in place of the shell and of the
// cursor through the desktop's seams (desktop/desktop_seams.h).
#pragma once

#include <QRect>
#include <QString>
#include <cstdint>
#include <functional>

#include "os/messages.h"

class QIcon;
class QMenu;

namespace os {

// An icon picture: the caller owns the QIcon and keeps it alive while the shell may read it
// (during the call only: the shell keeps a copy). 0 is an empty picture.
using HICON = const QIcon*;
using HWND = ComponentWindow*;

constexpr unsigned NIM_ADD = 0;
constexpr unsigned NIM_MODIFY = 1;
constexpr unsigned NIM_DELETE = 2;

constexpr std::uint32_t NIF_MESSAGE = 1;
constexpr std::uint32_t NIF_ICON = 2;
constexpr std::uint32_t NIF_TIP = 4;
// This layer's own, beside the shell's flags: the record names the icon's menu.
constexpr std::uint32_t NIF_MENU = 0x10000;

// The mouse messages an icon's callback carries.
constexpr unsigned WM_LBUTTONUP = 514;
constexpr unsigned WM_LBUTTONDBLCLK = 515;
constexpr unsigned WM_RBUTTONUP = 517;
constexpr unsigned WM_MBUTTONUP = 520;

// Size of the record as the 32-bit shell knows it.
constexpr std::uint32_t NOTIFYICONDATA_SIZE = 88;
constexpr std::size_t NOTIFYICON_TIP_SIZE = 64;

struct NOTIFYICONDATA {
  std::uint32_t cbSize = 0;
  HWND hWnd = nullptr;
  std::uint32_t uID = 0;
  std::uint32_t uFlags = 0;              // which of the next three fields count
  std::uint32_t uCallbackMessage = 0;    // NIF_MESSAGE
  HICON hIcon = nullptr;                 // NIF_ICON
  char szTip[NOTIFYICON_TIP_SIZE] = {};  // NIF_TIP: zero-terminated, 8-bit text
  QMenu* hMenu = nullptr;                // NIF_MENU
};

// NIM_ADD puts an icon for (hWnd, uID) into the notification area; it fails when the desktop
// has no notification area, when the window is missing or when that icon is already there.
// NIM_MODIFY changes the fields named in uFlags; NIM_DELETE removes the icon. Both fail for
// an icon that is not there. An icon disappears with its window.
//
// Clicks: a left click comes back as WM_LBUTTONUP, a double click as WM_LBUTTONUP,
// WM_LBUTTONDBLCLK, WM_LBUTTONUP (the shell's order), a right click as WM_RBUTTONUP and a
// middle click as WM_MBUTTONUP. A StatusNotifierItem host reports no double clicks: two
// activations within the desktop's double-click time count as one.
//
// NIF_MENU hands the icon's menu (hMenu; null takes it back) to a tray that opens menus
// itself: a StatusNotifierItem host then shows the menu's actions on a right click (without
// the bold default item: the D-Bus menu has no such mark), and the right click does not come
// back. The tray follows the menu's items as they change; an item chosen there triggers the
// menu's action. An XEmbed tray leaves the menu to the program, which opens it on
// WM_RBUTTONUP; there the menu is not used. A host that finds no menu, or that asks for one
// all the same, sends WM_RBUTTONUP too.
bool Shell_NotifyIconA(unsigned message, const NOTIFYICONDATA* data);

// The screen rectangle of an icon that is shown; false for an icon that is not there. The
// rectangle is empty while the desktop has not placed the icon yet, and always where a
// StatusNotifierItem host draws the icon: the program never learns that place.
bool Shell_NotifyIconGetRect(HWND window, std::uint32_t id, QRect* rect);

// Shows a balloon over an icon that is shown (the desktop draws it, for `milliseconds`);
// false when the icon is not there.
bool Shell_NotifyIconBalloon(HWND window, std::uint32_t id, const QString& title,
                             const QString& text, const QIcon& picture, int milliseconds);

struct POINT {
  int x = 0;
  int y = 0;
  bool operator==(const POINT&) const = default;
};

bool GetCursorPos(POINT* point);

// What a test puts in place of Shell_NotifyIconA and of the cursor (DesktopSeams).
using ShellNotifyIconHandler = std::function<bool(unsigned message, const NOTIFYICONDATA& data)>;
using CursorPosHandler = std::function<POINT()>;

}  // namespace os
