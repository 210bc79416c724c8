#include "platform/task_icon.h"

#include <cstring>

namespace pelorin {
namespace {

constexpr std::size_t kTipLimit = os::NOTIFYICON_TIP_SIZE - 1;

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// How much of the hint fits the tip field. A cut inside a character of several bytes backs
// off to that character's first byte, so the tip does not end in half a character.
std::size_t TipLength(const std::string& hint) {
  if (hint.size() <= kTipLimit) return hint.size();
  for (std::size_t back = 0; back < 4; ++back) {
    if (!IsContinuationByte(hint[kTipLimit - back])) return kTipLimit - back;
  }
  return kTipLimit;
}

void CopyTip(const std::string& hint, char (&tip)[os::NOTIFYICON_TIP_SIZE]) {
  const std::size_t length = TipLength(hint);
  std::memcpy(tip, hint.data(), length);
  tip[length] = '\0';
}

}  // namespace

TTaskIcon::TTaskIcon(QObject* owner) : os::ComponentWindow(owner) {}

TTaskIcon::~TTaskIcon() {
  if (enabled_) SetEnabled(false);
}

void TTaskIcon::SetEnabled(bool value) {
  if (value == enabled_) return;
  if (value) {
    if (AddTaskIcon()) enabled_ = true;
  } else {
    if (DeleteTaskIcon()) enabled_ = false;
  }
}

void TTaskIcon::SetIcon(const TIcon& picture) {
  if (&picture == &icon_) return;
  icon_.Assign(picture);
  if (enabled_) ModifyTaskIcon();
}

void TTaskIcon::SetPopupMenu(QMenu* menu) {
  if (menu == popupMenu_.data()) return;
  popupMenu_ = menu;
  menuAssigned_ = true;
  if (enabled_) ModifyTaskIcon();
}

// The shell cannot rename an icon, and callbacks name the identifier of the add; so a shown
// icon is taken out and put back under its new identifier.
void TTaskIcon::SetTaskIconID(std::int32_t id) {
  if (id == taskIconID_) return;
  taskIconID_ = id;
  if (!enabled_) return;
  if (!DeleteTaskIcon()) return;
  enabled_ = AddTaskIcon();
}

bool TTaskIcon::AddTaskIcon() {
  storedRecord_ = FilledRecord();
  return os::Shell_NotifyIconA(os::NIM_ADD, &storedRecord_);
}

bool TTaskIcon::DeleteTaskIcon() {
  return os::Shell_NotifyIconA(os::NIM_DELETE, &storedRecord_);
}

bool TTaskIcon::ModifyTaskIcon() {
  const os::NOTIFYICONDATA record = FilledRecord();
  return os::Shell_NotifyIconA(os::NIM_MODIFY, &record);
}

os::NOTIFYICONDATA TTaskIcon::FilledRecord() {
  os::NOTIFYICONDATA record;
  record.cbSize = os::NOTIFYICONDATA_SIZE;
  record.hWnd = this;
  record.uID = static_cast<std::uint32_t>(taskIconID_);
  record.uFlags = os::NIF_MESSAGE | os::NIF_ICON | os::NIF_TIP;
  record.uCallbackMessage = kCallbackMessage;
  record.hIcon = icon_.Handle();
  CopyTip(hint_, record.szTip);
  // Once there was a menu, the record always names it, so that a menu taken back (or
  // destroyed) is taken back from the tray too.
  if (menuAssigned_) {
    record.uFlags |= os::NIF_MENU;
    record.hMenu = popupMenu_.data();
  }
  return record;
}

void TTaskIcon::HandleMessage(const os::Message& message) {
  if (message.msg == kCallbackMessage) IconCallback(message.wParam, message.lParam);
}

// Handlers are copied before they run, so a handler may replace itself.
void TTaskIcon::IconCallback(os::WPARAM id, os::LPARAM mouseMessage) {
  if (id != static_cast<os::WPARAM>(static_cast<std::uint32_t>(taskIconID_))) return;
  if (mouseMessage == os::WM_LBUTTONUP && OnClick) {
    const TNotifyEvent handler = OnClick;
    handler(this);
  } else if (mouseMessage == os::WM_LBUTTONDBLCLK && OnDblClick) {
    const TNotifyEvent handler = OnDblClick;
    handler(this);
  } else if (mouseMessage == os::WM_RBUTTONUP && OnRightClick) {
    RaiseRightClick();
  }
}

void TTaskIcon::RaiseRightClick() {
  os::POINT cursor;
  os::GetCursorPos(&cursor);
  const TMouseEvent handler = OnRightClick;
  handler(this, TMouseButton::mbRight, TShiftState{}, cursor.x, cursor.y);
}

}  // namespace pelorin
