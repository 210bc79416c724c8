// The window's side of sending: its fields read for the send controller, which owns what
// pressing Send means, and what the controller says shown. The workflow itself (worker,
// conversation, time-out) lives in send_workflow.cpp.
#include <QAbstractTextDocumentLayout>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include "app/frm_main.h"
#include "app/password_source.h"
#include "app/qstring_text.h"
#include "os/msgbox.h"

namespace pelorin {

namespace {

const QString kCreatingMail = QStringLiteral("Creating mail...");

// One line as the memo lays it out; a forced line break (Shift+Enter) that ends it is not part
// of the text, one inside it is a line break like any other.
std::string MemoLineText(QString line) {
  if (line.endsWith(QChar::LineSeparator)) line.chop(1);
  line.replace(QChar::LineSeparator, QLatin1Char('\n'));
  line.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  return FromQString(line);
}

}  // namespace

// --- The fields ---

std::vector<std::string> TfrmMain::MemoLines() const {
  std::vector<std::string> lines;
  QTextDocument* document = edsMemo->document();
  QAbstractTextDocumentLayout* layout = document->documentLayout();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    layout->blockBoundingRect(block);  // lays the block out at the memo's width
    const QString text = block.text();
    const QTextLayout* blockLayout = block.layout();
    if (blockLayout == nullptr || blockLayout->lineCount() == 0) {
      lines.push_back(MemoLineText(text));
      continue;
    }
    for (int i = 0; i < blockLayout->lineCount(); ++i) {
      const QTextLine line = blockLayout->lineAt(i);
      lines.push_back(MemoLineText(text.mid(line.textStart(), line.textLength())));
    }
  }
  // The memo does not count the empty line after a final line break, nor an empty memo's.
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

SendFields TfrmMain::CurrentFields() const {
  SendFields fields;
  fields.draft = {FromQString(edsName->currentText()), FromQString(edsEmail->text()),
                  FromQString(edsSubj->text()), FromQString(edsMemo->toPlainText())};
  const int selected = edsName->currentIndex();
  if (selected >= 0) fields.pickedName = FromQString(edsName->itemText(selected));
  fields.files = attachments_.Files();
  return fields;
}

void TfrmMain::PutIntoFields(const DraftFields& draft) {
  edsName->setEditText(ToQString(draft.name));
  edsEmail->setText(ToQString(draft.email));
  edsSubj->setText(ToQString(draft.subject));
  const QSignalBlocker programChange(edsMemo);
  edsMemo->setPlainText(ToQString(draft.memo));
}

// Emptied by the program, not changed by the user: the status stays as it is. The files went
// with the text.
void TfrmMain::ClearSubjectAndBody() {
  attachments_.Clear();
  ShowAttachments();
  edsSubj->clear();
  {
    const QSignalBlocker programChange(edsMemo);
    edsMemo->clear();
  }
  edsSubj->setFocus();
}

// --- Send, and its end ---

void TfrmMain::cmdMakeClick(QObject*) {
  SetStatus(kCreatingMail);
  SendFields fields = CurrentFields();
  UseFittingFont();
  fields.memoLines = MemoLines();  // laid out only for a message to compose
  const SendPress press = controller_->Press(fields);
  if (draft_ != nullptr && controller_->FieldsHoldQueuedDraft(fields)) draft_->Drop();
  FollowPress(press);
}

void TfrmMain::SendQueued() {
  FollowPress(controller_->Press(SendFields{}));
}

void TfrmMain::FollowPress(const SendPress& press) {
  if (!press.box.empty()) os::ShowMessage(press.box);
  switch (press.next) {
    case SendPress::Next::ShowStatus:
      SetStatus(ToQString(press.status));
      return;
    case SendPress::Next::ShowProgress:
      SetStatus(progressStatus_);
      return;
    case SendPress::Next::Started:
      return;
    case SendPress::Next::AskPassword:
      break;
  }
  const SendSettings& settings = press.settings;
  FetchPassword(this, settings.server, settings.smtp.userName,
                [this, settings](std::optional<std::string> password) {
                  const std::string status =
                      controller_->SendWithPassword(settings, std::move(password));
                  if (!status.empty()) SetStatus(ToQString(status));
                });
}

void TfrmMain::SendEnded(const SendReport& report) {
  if (retry_ != nullptr) retry_->SendEnded(report);  // first: the status names its next try
  if (workflow_->Unattended()) return UnattendedSendEnded(report, NextTryText());
  const SendEnd end = controller_->Ended(report, CurrentFields(), NextTryText());
  if (end.clearSubjectAndBody) ClearSubjectAndBody();
  if (end.clearSubjectAndBody && draft_ != nullptr) draft_->Drop();
  if (end.restore) PutIntoFields(*end.restore);
  if (end.restore) FieldsEdited();  // refused text back in the window is kept like typed text
  SetStatus(ToQString(end.status));
  if (end.endsLinkMode) close();
}

}  // namespace pelorin
