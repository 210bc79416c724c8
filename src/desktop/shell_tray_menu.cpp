#include "desktop/shell_tray_menu.h"

#include <QActionEvent>
#include <QEvent>

namespace os {

TrayMenuMirror::TrayMenuMirror() = default;

TrayMenuMirror::~TrayMenuMirror() {
  if (!source_.isNull()) source_->removeEventFilter(this);
}

void TrayMenuMirror::Follow(QMenu* source) {
  if (!source_.isNull()) source_->removeEventFilter(this);
  source_ = source;
  if (source != nullptr) source->installEventFilter(this);
  CopyActions();
}

// The source's list of actions is up to date when it hears of an added or removed action.
bool TrayMenuMirror::eventFilter(QObject* watched, QEvent* event) {
  if (watched == source_.data() &&
      (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionRemoved)) {
    CopyActions();
  }
  return false;
}

// The actions are shared, not copied: they stay the source's, which deletes them.
void TrayMenuMirror::CopyActions() {
  for (QAction* action : menu_.actions()) menu_.removeAction(action);
  if (const QMenu* source = Source()) menu_.addActions(source->actions());
}

}  // namespace os
