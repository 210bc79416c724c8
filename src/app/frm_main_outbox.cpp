// The main window's side of the outbox window: opening it, what it asks of the quick-send
// window, and the statuses it is told.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "app/frm_main.h"
#include "app/frm_outbox.h"

namespace pelorin {

void TfrmMain::Outbox1Click(QObject*) {
  if (!frmOutbox_) {
    OutboxWindowHooks hooks;
    hooks.nextTry = [this]() -> std::optional<QDateTime> {
      if (NextTry) return NextTry();
      return retry_ != nullptr ? retry_->NextTry() : std::nullopt;
    };
    hooks.sendNow = [this] { SendQueued(); };
    hooks.putIntoFields = [this](const OutboxMessage& message) {
      return PutBackForEditing(message);
    };
    hooks.withdrawn = [this](std::uint64_t id) { controller_->Withdrawn(id); };
    frmOutbox_ = new TfrmOutbox(*workflow_, std::move(hooks), this);
    // Seldom open: it does not hold its widgets all day in the tray.
    frmOutbox_->setAttribute(Qt::WA_DeleteOnClose);
  }
  frmOutbox_->show();
  frmOutbox_->raise();
  frmOutbox_->activateWindow();
}

bool TfrmMain::FieldsEmpty() const {
  return edsSubj->text().isEmpty() && edsMemo->toPlainText().isEmpty() &&
         attachments_.Files().empty();
}

// A send that failed leaves its text in the fields: then only the queued copy goes.
bool TfrmMain::PutBackForEditing(const OutboxMessage& message) {
  const bool alreadyThere = CurrentFields().draft == message.draft && attachments_.Files().empty();
  if (!alreadyThere && !FieldsEmpty()) return false;
  controller_->Withdrawn(message.id);
  PutIntoFields(message.draft);
  // Out of the outbox, the text is safe only as the draft.
  if (draft_ != nullptr) {
    draft_->SetUntyped({});  // even where it is the link's own text: it is queued no more
    draft_->Edited();
    draft_->KeepNow();
  }
  TaskIconClick(this);
  return true;
}

// The status line's count of queued mail leads to the outbox.
void TfrmMain::StatusClicked() {
  if (!workflow_->Queue().Empty()) Outbox1Click(lblStatus);
}

// What a send says, and a change of the outbox it brings, show in the outbox window too.
void TfrmMain::TellOutboxWindow(const QString& status) {
  lblStatus->setCursor(workflow_->Queue().Empty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
  if (!frmOutbox_ || !frmOutbox_->isVisible()) return;
  frmOutbox_->ShowStatus(status);
  frmOutbox_->Refresh();
}

}  // namespace pelorin
