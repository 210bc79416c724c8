// TTaskIcon: one icon in the notification area, whose mouse actions become component events.
// The component's hidden window receives the icon's callback messages (message 1024).
#pragma once

#include <QMenu>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "desktop/shell_tray.h"
#include "os/messages.h"
#include "platform/icon_picture.h"

namespace pelorin {

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
enum class TShiftFlag { ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble };
using TShiftState = std::set<TShiftFlag>;

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TMouseEvent =
    std::function<void(QObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;

class TTaskIcon : public os::ComponentWindow {
  Q_OBJECT
 public:
  // The callback message the shell sends to the component's window.
  static constexpr unsigned kCallbackMessage = os::WM_USER;

  explicit TTaskIcon(QObject* owner = nullptr);
  ~TTaskIcon() override;

  // True while the icon is in the notification area. Writing adds or removes it; the flag
  // changes only when the shell accepts.
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);

  // The component's own picture. Writing copies the picture and refreshes a shown icon.
  const TIcon& Icon() const { return icon_; }
  TIcon& Icon() { return icon_; }
  void SetIcon(const TIcon& picture);

  std::int32_t TaskIconID() const { return taskIconID_; }
  void SetTaskIconID(std::int32_t id);

  // The tip; it reaches the shell at the next add or modification, cut to what the record
  // holds.
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& hint) { hint_ = hint; }

  // The menu for trays that open an icon's menu themselves (a StatusNotifierItem host shows it
  // on a right click, and OnRightClick is not raised then). Elsewhere the right click raises
  // OnRightClick and the menu is not used. Writing refreshes a shown icon; a menu destroyed
  // meanwhile counts as none.
  QMenu* PopupMenu() const { return popupMenu_.data(); }
  void SetPopupMenu(QMenu* menu);

  TNotifyEvent OnClick;
  TNotifyEvent OnDblClick;
  TMouseEvent OnRightClick;

  bool AddTaskIcon();
  bool DeleteTaskIcon();
  bool ModifyTaskIcon();

  void HandleMessage(const os::Message& message) override;

 private:
  os::NOTIFYICONDATA FilledRecord();
  void IconCallback(os::WPARAM id, os::LPARAM mouseMessage);
  void RaiseRightClick();

  os::NOTIFYICONDATA storedRecord_;
  bool enabled_ = false;
  TIcon icon_;
  std::int32_t taskIconID_ = 0;
  std::string hint_;
  QPointer<QMenu> popupMenu_;
  bool menuAssigned_ = false;
};

}  // namespace pelorin
