// The shell's notification area: icons added, changed and removed through an icon record
// (Shell_NotifyIconA), shown with the desktop's system tray. Mouse actions on an icon come back
// to the record's window as its callback message, with the icon's identifier in wParam and the
// mouse message in lParam. Also the cursor position in screen coordinates (GetCursorPos).
//
// User-interface thread only. Tests can put a recording fake in place of the shell and of the
// cursor.
#pragma once

#include <QRect>
#include <cstdint>
#include <functional>

#include "os/messages.h"

class QIcon;

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
};

// NIM_ADD puts an icon for (hWnd, uID) into the notification area; it fails when the desktop
// has no notification area, when the window is missing or when that icon is already there.
// NIM_MODIFY changes the fields named in uFlags; NIM_DELETE removes the icon. Both fail for
// an icon that is not there. An icon disappears with its window.
bool Shell_NotifyIconA(unsigned message, const NOTIFYICONDATA* data);

// The screen rectangle of an icon that is shown; false for an icon that is not there. The
// rectangle is empty while the desktop has not placed the icon yet.
bool Shell_NotifyIconGetRect(HWND window, std::uint32_t id, QRect* rect);

struct POINT {
  int x = 0;
  int y = 0;
  bool operator==(const POINT&) const = default;
};

bool GetCursorPos(POINT* point);

// Replaces the shell while set; an empty function restores the desktop's notification area.
using ShellNotifyIconHandler = std::function<bool(unsigned message, const NOTIFYICONDATA& data)>;
void SetShellNotifyIconHandler(ShellNotifyIconHandler handler);

// Replaces the cursor while set; an empty function restores the real one.
using CursorPosHandler = std::function<POINT()>;
void SetCursorPosHandler(CursorPosHandler handler);

}  // namespace os
