// A tray icon's menu as a StatusNotifierItem host gets it: a menu of the layer's own that offers
// the program's menu's actions, handed to Qt, which exports it over D-Bus (com.canonical.dbusmenu).
// The program's own menu stays untouched, with no platform menu of Qt's attached, so it keeps
// opening as a window of its own wherever the program pops it up.
//
// The mirror follows its source: actions added to the source or taken out of it later show up
// here too, and a change to an action (its text, whether it is enabled) is the action's own, so
// it shows here at once. An item triggered through the tray triggers the source's action.
#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>

namespace os {

class TrayMenuMirror : public QObject {
 public:
  TrayMenuMirror();
  ~TrayMenuMirror() override;
  TrayMenuMirror(const TrayMenuMirror&) = delete;
  TrayMenuMirror& operator=(const TrayMenuMirror&) = delete;

  QMenu* Menu() { return &menu_; }
  // The menu followed; null when there is none (any more).
  QMenu* Source() const { return qobject_cast<QMenu*>(source_.data()); }
  // Follows another menu, or none (null: the mirror is empty).
  void Follow(QMenu* source);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CopyActions();

  QMenu menu_;
  // Held as an object: events still reach it while it is destroyed, when it is no menu any
  // more.
  QPointer<QObject> source_;
};

}  // namespace os
