// The window's side of drafts: what the user types is handed to the draft keeper, and a draft
// that a copy left when it ended is put back into the fields.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "app/frm_main.h"
#include "app/qstring_text.h"
#include "app/startup.h"

namespace pelorin {

// Only the user's edits count: the program's own changes (a link's fields, a send's end) are
// kept or dropped where they happen. The body's program changes raise no signal.
void TfrmMain::ConnectDraftEvents() {
  connect(edsName->lineEdit(), &QLineEdit::textEdited, this, [this] { FieldsEdited(); });
  connect(edsEmail, &QLineEdit::textEdited, this, [this] { FieldsEdited(); });
  connect(edsSubj, &QLineEdit::textEdited, this, [this] { FieldsEdited(); });
  connect(edsMemo, &QPlainTextEdit::textChanged, this, [this] { FieldsEdited(); });
}

void TfrmMain::KeepDraftsIn(std::unique_ptr<DraftStore> store) {
  draft_ = new DraftKeeper(
      std::move(store), [this] { return CurrentFields().draft; }, this);
  connect(draft_, &DraftKeeper::Trouble, this, [this](const QString& text) { SetStatus(text); });
  if (CurrentStartMode() == StartMode::Link) draft_->SetUntyped(CurrentFields().draft);
  TakeInLeftDraft();
}

bool TfrmMain::HoldsDraft() const {
  return controller_->FieldsHoldUnqueuedDraft(CurrentFields());
}

void TfrmMain::FieldsEdited() {
  if (draft_ != nullptr) draft_->Edited();
}

// What the status line said before (queued mail waiting) is still said after it.
void TfrmMain::TakeInLeftDraft() {
  std::string status;
  const std::optional<DraftFields> left = draft_->TakeLeftDraft(status);
  if (left && !FitsTheLink(*left)) {
    draft_->GiveBack();  // another message than the link's: it waits for a later start
    return;
  }
  if (left) PutIntoFields(WithLinkFields(*left));
  if (status.empty()) return;
  const QString before = lblStatus->text();
  SetStatus(ToQString(status) +
            (before == QStringLiteral("Waiting...") ? QString() : QLatin1Char(' ') + before));
}

// A link's own subject or body that differs from the draft's would overwrite the draft's text.
bool TfrmMain::FitsTheLink(const DraftFields& draft) const {
  if (CurrentStartMode() != StartMode::Link) return true;
  const DraftFields link = CurrentFields().draft;
  for (std::string DraftFields::*field : {&DraftFields::subject, &DraftFields::memo}) {
    if (!(link.*field).empty() && !(draft.*field).empty() && link.*field != draft.*field) {
      return false;
    }
  }
  return true;
}

// A link names the message the user asked for: its fields win where it gives them. The draft's
// name goes with the draft's address, so it stays out when the link gives another address.
DraftFields TfrmMain::WithLinkFields(DraftFields draft) const {
  if (CurrentStartMode() != StartMode::Link) return draft;
  const DraftFields link = CurrentFields().draft;
  if (!link.email.empty() && link.email != draft.email) draft.name.clear();
  for (std::string DraftFields::*field :
       {&DraftFields::email, &DraftFields::subject, &DraftFields::memo}) {
    if (!(link.*field).empty()) draft.*field = link.*field;
  }
  return draft;
}

}  // namespace pelorin
