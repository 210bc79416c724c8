// The window's side of sending: composing the fields into a message for the outbox, and
// showing what became of it once the send workflow is done. The workflow itself (worker,
// conversation, time-out) lives in send_workflow.cpp.
#include <QAbstractTextDocumentLayout>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QStringList>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>

#include "app/frm_main.h"
#include "app/globals.h"
#include "app/password_source.h"
#include "app/security_settings.h"
#include "app/startup.h"
#include "mail/compose_message.h"
#include "mail/mailto_link.h"
#include "mail/mime_multipart.h"
#include "os/msgbox.h"
#include "transport/recipients.h"

namespace pelorin {

namespace {

const QString kCreatingMail = QStringLiteral("Creating mail...");
const QString kMailSent = QStringLiteral("Mail has been sent!");
const QString kNothingToSend = QStringLiteral("Nothing to send: write a subject or a body first.");
const QString kSignInNeedsTls = QStringLiteral(
    "Mail not sent: signing in needs STARTTLS or SSL/TLS (advanced settings), as a password is "
    "never sent in plain text; it stays queued for the next send.");

// Texts below the window are UTF-8, whatever the locale.
QString FromText(const std::string& text) {
  return QString::fromStdString(text);
}
std::string ToText(const QString& text) {
  return text.toStdString();
}

// One line as the memo lays it out; a forced line break (Shift+Enter) that ends it is not part
// of the text, one inside it is a line break like any other.
std::string MemoLineText(QString line) {
  if (line.endsWith(QChar::LineSeparator)) line.chop(1);
  line.replace(QChar::LineSeparator, QLatin1Char('\n'));
  line.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  return ToText(line);
}

bool Contains(const std::vector<std::uint64_t>& ids, std::uint64_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Every message of the send was accepted: nothing refused, nothing left queued. A failure
// after the last acceptance (an odd answer to QUIT, a conversation that broke off before the
// send started again and delivered the rest) does not change that.
bool EverythingWentOut(const SendReport& report) {
  return report.refused.empty() && report.stillQueued == 0;
}

// Why a recipient in the E-mail field cannot be sent to, or empty text.
std::string RecipientsProblem(const std::string& field) {
  for (const std::string& recipient : SplitRecipients(field)) {
    const std::string fault = AddressFault(recipient);
    if (fault.empty()) continue;
    return "Mail not sent: the address \"" + recipient + "\" holds " + fault +
           ", which no mail address may; correct it and send again.";
  }
  return {};
}

// Why the user's own address cannot go out as the sender, or empty text.
std::string SenderProblem() {
  const std::string fault = AddressFault(SenderAddress);
  if (fault.empty()) return {};
  return "Mail not sent: your address in the settings, \"" + SenderAddress + "\", holds " + fault +
         ", which no mail address may; correct it under Properties and send again.";
}

// ... and every recipient got it: only then may link mode end without the user reading why.
bool EverythingWentToEveryone(const SendReport& report) {
  return EverythingWentOut(report) && report.refusedRecipients.empty() &&
         report.deferredRecipients.empty();
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : "; ") + text;
  return joined;
}

}  // namespace

// --- Composing ---

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

std::string TfrmMain::SelectedName() const {
  const int selected = edsName->currentIndex();
  return selected >= 0 ? ToText(edsName->itemText(selected)) : std::string();
}

DraftFields TfrmMain::CurrentDraft() const {
  return {ToText(edsName->currentText()), ToText(edsEmail->text()), ToText(edsSubj->text()),
          ToText(edsMemo->toPlainText())};
}

bool TfrmMain::FieldsHoldQueuedDraft() const {
  return queuedDraft_ && CurrentDraft() == *queuedDraft_ && attachments_.Files() == queuedFiles_;
}

bool TfrmMain::FieldsHoldNoDraft() const {
  return edsSubj->text().isEmpty() && edsMemo->toPlainText().isEmpty() && attachments_.Empty();
}

// Queues the fields' message unless it is queued already or there is nothing to queue;
// false when queuing failed (the text stays in the window and the status says why).
bool TfrmMain::QueueFieldsMessage() {
  if (FieldsHoldQueuedDraft() || FieldsHoldNoDraft()) return true;
  if (const std::string problem = RecipientsProblem(ToSingleLine(ToText(edsEmail->text())));
      !problem.empty()) {
    SetStatus(FromText(problem));
    return false;
  }
  MessageFields fields;
  fields.subject = ToText(edsSubj->text());
  fields.name = SelectedName();
  fields.email = ToText(edsEmail->text());
  fields.sender = SenderAddress;
  fields.memoLines = MemoLines();
  const DraftFields draft = CurrentDraft();
  // The files are read now: the outbox keeps their copy, whatever becomes of them later.
  std::string unreadable;
  std::string text = WithAttachments(ComposeMessage(fields), attachments_.Files(), unreadable);
  if (!unreadable.empty()) {
    os::ShowMessage(unreadable + " Nothing was queued; the mail stays in the window.");
    SetStatus(
        FromText("The mail could not be queued (" + unreadable + "); it stays in the window."));
    return false;
  }
  const std::string failure = workflow_->Queue().Append(ToSingleLine(fields.email), std::move(text),
                                                        draft, &fieldsMessage_);
  if (!failure.empty()) {
    SetStatus(FromText("The mail could not be queued (" + failure + "); it stays in the window."));
    return false;
  }
  queuedDraft_ = draft;
  queuedFiles_ = attachments_.Files();
  return true;
}

// The settings as they are now: the send reads this copy, never the globals.
SendSettings TfrmMain::SettingsForSend() const {
  SendSettings settings{SmtpServer, SmtpPort, DialEntry, UseDialup, {}, {}};
  const SecuritySettings security = ReadSecuritySettings();
  settings.smtp.security = security.security;
  settings.smtp.userName = security.userName;
  settings.trustedCertificate = ReadTrustedCertificate(SmtpServer, SmtpPort);
  return settings;
}

// What the outcome of a send applies to is what it started with, whatever the settings are by
// the time it ends.
void TfrmMain::StartSend(const SendSettings& settings) {
  if (workflow_->Phase() == SendPhase::Idle) {
    startedWith_ = settings;
    startedWith_.smtp.password.clear();
  }
  workflow_->Send(settings);
}

void TfrmMain::cmdMakeClick(QObject*) {
  SetStatus(kCreatingMail);
  if (const std::string problem = SenderProblem(); !problem.empty()) {
    SetStatus(FromText(problem));
    return;
  }
  workflow_->LoadQueued();  // what a copy that ran meanwhile left goes with this send
  if (!QueueFieldsMessage()) return;
  const bool underWay = workflow_->Phase() != SendPhase::Idle;
  if (workflow_->Queue().Empty()) {
    // The fields' text may have been accepted already by a send that is still ending.
    SetStatus(underWay ? progressStatus_ : kNothingToSend);
    return;
  }
  if (underWay) {
    workflow_->Send({});  // the conversation under way, or the next, takes it
    SetStatus(progressStatus_);
    return;
  }
  SendSettings settings = SettingsForSend();
  if (settings.smtp.userName.empty()) {
    StartSend(settings);
    return;
  }
  // Nothing to ask for: the session would refuse to send the password anyway.
  if (settings.smtp.security == SmtpSecurity::None) {
    SetStatus(kSignInNeedsTls);
    return;
  }
  FetchPassword(this, settings.server, settings.smtp.userName,
                [this, settings](std::optional<std::string> password) mutable {
                  if (!password) {
                    SetStatus(
                        QStringLiteral("Mail not sent: no password was given; it stays "
                                       "queued for the next send."));
                    return;
                  }
                  settings.smtp.password = std::move(*password);
                  StartSend(settings);
                });
}

// --- What an earlier run left ---

void TfrmMain::ShowQueuedCount() {
  const std::size_t count = workflow_->Queue().Size();
  if (count == 0) return;
  SetStatus(count == 1 ? QStringLiteral("1 message waits; it goes out with the next send.")
                       : QStringLiteral("%1 messages wait; they go out with the next send.")
                             .arg(static_cast<qulonglong>(count)));
}

// --- The outcome ---

void TfrmMain::SendEnded(const SendReport& report) {
  if (report.signInRefused) ForgetPassword(startedWith_.server, startedWith_.smtp.userName);
  const bool fieldsUnchanged = FieldsHoldQueuedDraft();
  const bool fieldsMessageRefused =
      std::any_of(report.refused.begin(), report.refused.end(),
                  [this](const OutboxMessage& m) { return m.id == fieldsMessage_; });
  QString status = OutcomeText(report);
  // Only the text that was queued may be emptied: a newer draft stays. Refused text stays
  // for a corrected send.
  if (fieldsUnchanged && !fieldsMessageRefused) ClearSubjectAndBody();
  queuedDraft_.reset();
  std::vector<OutboxMessage> toRecover;
  for (const OutboxMessage& message : report.refused) {
    if (message.id != fieldsMessage_ || !fieldsUnchanged) toRecover.push_back(message);
  }
  const QString recovered = RecoverRefused(toRecover);
  if (!recovered.isEmpty()) status = recovered;
  SetStatus(status);
  if (EverythingWentToEveryone(report) && CurrentStartMode() == StartMode::Link) close();
}

QString TfrmMain::OutcomeText(const SendReport& report) const {
  if (!report.dialRefusal.empty()) {
    return FromText(report.dialRefusal + "; the mail stays queued for the next send.");
  }
  if (!report.deferredRecipients.empty()) {
    std::string text =
        "Mail has been sent, but the server refused these recipients for now; it stays queued "
        "for them alone: " +
        Joined(report.deferredRecipients);
    if (!report.refusedRecipients.empty()) {
      text += ". Refused for good: " + Joined(report.refusedRecipients);
    }
    return FromText(text);
  }
  if (EverythingWentOut(report) && !report.refusedRecipients.empty()) {
    return FromText("Mail has been sent, but the server refused these recipients: " +
                    Joined(report.refusedRecipients));
  }
  if (EverythingWentOut(report)) return kMailSent;
  const bool refused =
      std::any_of(report.refused.begin(), report.refused.end(),
                  [this](const OutboxMessage& m) { return m.id == fieldsMessage_; });
  if (refused) return QStringLiteral("Mail not sent: the server refused it.");
  if (Contains(report.accepted, fieldsMessage_)) {
    return report.stillQueued > 0
               ? QStringLiteral(
                     "Mail has been sent, but an earlier message stays queued for "
                     "the next send.")
               : QStringLiteral("Mail has been sent, but an earlier message was refused.");
  }
  if (report.stillQueued == 0) return QStringLiteral("Mail not sent: the server refused it.");
  const std::string reason = report.failure.empty() ? "the server refused it" : report.failure;
  return FromText("Mail not sent (" + reason + "); it stays queued for the next send.");
}

// A message refused for good is not thrown away unseen: back into the fields when they hold
// no draft, otherwise kept as a file. Returns the status that says where, one sentence for each
// message, or empty text.
QString TfrmMain::RecoverRefused(const std::vector<OutboxMessage>& refused) {
  QStringList statuses;
  for (const OutboxMessage& message : refused) {
    const QString to = FromText(message.recipient);
    // The files go only with the message text: one that carries them is kept as a file.
    if (FieldsHoldNoDraft() && !HasAttachments(message.text)) {
      PutIntoFields(message.draft);
      statuses << QStringLiteral("Mail to %1 was refused; its text is back in the window.").arg(to);
      continue;
    }
    std::string why;
    OutboxFolder* folder = workflow_->Folder();
    const std::string path = folder != nullptr ? folder->KeepRefused(message, why) : std::string();
    if (path.empty()) {
      workflow_->KeepInOutbox(message.id);  // never thrown away before its text is safe
      statuses << QStringLiteral(
                      "Mail to %1 was refused and could not be kept (%2); it stays in the "
                      "outbox until it can be.")
                      .arg(to, FromText(why.empty() ? "no folder for it" : why));
      continue;
    }
    statuses << QStringLiteral("Mail to %1 was refused; its text is kept in %2.")
                    .arg(to, FromText(path));
  }
  return statuses.join(QLatin1Char(' '));
}

void TfrmMain::PutIntoFields(const DraftFields& draft) {
  edsName->setEditText(FromText(draft.name));
  edsEmail->setText(FromText(draft.email));
  edsSubj->setText(FromText(draft.subject));
  const QSignalBlocker programChange(edsMemo);
  edsMemo->setPlainText(FromText(draft.memo));
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

}  // namespace pelorin
