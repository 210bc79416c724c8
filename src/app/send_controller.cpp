#include "app/send_controller.h"

#include <algorithm>

#include "app/globals.h"
#include "app/password_source.h"
#include "app/security_settings.h"
#include "app/sign_in_settings.h"
#include "app/startup.h"
#include "mail/compose_message.h"
#include "mail/mailto_link.h"
#include "mail/mime_multipart.h"
#include "os/registry_class.h"
#include "transport/recipients.h"

namespace pelorin {

namespace {

const char* const kMailSent = "Mail has been sent!";
const char* const kServerRefusedIt = "Mail not sent: the server refused it.";
const char* const kNothingToSend = "Nothing to send: write a subject or a body first.";
const char* const kNothingWaits = "Nothing was sent: the outbox holds no message any more.";
const char* const kSignInNeedsTls =
    "Mail not sent: signing in needs STARTTLS or SSL/TLS (advanced settings), as a password is "
    "never sent in plain text; it stays queued for the next send.";
const char* const kOAuthNeedsTls =
    "Mail not sent: OAuth2 sign-in needs STARTTLS or SSL/TLS (advanced settings), as a sign-in "
    "token is never sent in plain text; it stays queued for the next send.";
const char* const kNoPassword =
    "Mail not sent: no password was given; it stays queued for the next send.";

SendPress Shown(std::string status) {
  return {SendPress::Next::ShowStatus, std::move(status), {}, {}};
}

bool FieldsHoldNoDraft(const SendFields& fields) {
  return fields.draft.subject.empty() && fields.draft.memo.empty() && fields.files.empty();
}

bool Contains(const std::vector<std::uint64_t>& ids, std::uint64_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool Refused(const SendReport& report, std::uint64_t id) {
  return std::any_of(report.refused.begin(), report.refused.end(),
                     [id](const OutboxMessage& m) { return m.id == id; });
}

// Every message of the send was accepted: nothing refused, nothing left queued. A failure
// after the last acceptance (an odd answer to QUIT, a conversation that broke off before the
// send started again and delivered the rest) does not change that.
bool EverythingWentOut(const SendReport& report) {
  return report.refused.empty() && report.stillQueued == 0;
}

// ... and every recipient got it: only then may link mode end without the user reading why.
bool EverythingWentToEveryone(const SendReport& report) {
  return EverythingWentOut(report) && report.refusedRecipients.empty() &&
         report.deferredRecipients.empty();
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

std::string Joined(const std::vector<std::string>& texts, const std::string& separator) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : separator) + text;
  return joined;
}

}  // namespace

// The settings as they are now, from the globals, the program's key and the pins: the send
// reads this copy, never the stores.
SendSettings SettingsForSend(bool dial) {
  SendSettings settings{SmtpServer, SmtpPort, DialEntry, UseDialup && dial, {}, {}};
  const SecuritySettings security = ReadSecuritySettings();
  settings.smtp.security = security.security;
  settings.smtp.userName = security.userName;
  settings.trustedCertificate = ReadTrustedCertificate(SmtpServer, SmtpPort);
  const SignInSettings signIn = ReadSignInSettings(security.userName);
  if (UsesOAuth(signIn.choice)) {
    // The account signing in: the user name where one is set, else the sender's address.
    if (settings.smtp.userName.empty()) settings.smtp.userName = SenderAddress;
    settings.oauth = OAuthClientFor(signIn, settings.smtp.userName, SmtpServer);
  }
  return settings;
}

namespace {

std::string WaitingMessagesSent(std::size_t count) {
  if (count == 1) return "1 message that waited has been sent.";
  return std::to_string(count) + " messages that waited have been sent.";
}

}  // namespace

std::string SendController::TakeInQueued() {
  workflow_.LoadQueued();
  const std::size_t count = workflow_.Queue().Size();
  if (count == 0) return {};
  if (count == 1) return "1 message waits; it goes out with the next send.";
  return std::to_string(count) + " messages wait; they go out with the next send.";
}

// --- Pressing Send ---

SendPress SendController::Press(const SendFields& fields) {
  if (std::string problem = SenderProblem(); !problem.empty()) return Shown(std::move(problem));
  workflow_.LoadQueued();  // what a copy that ran meanwhile left goes with this send
  if (std::optional<SendPress> refusal = QueueFields(fields)) return *refusal;
  const bool underWay = workflow_.Phase() != SendPhase::Idle;
  if (workflow_.Queue().Empty()) {
    // The fields' text may have been accepted already by a send that is still ending.
    return underWay ? SendPress{SendPress::Next::ShowProgress, {}, {}, {}} : Shown(kNothingToSend);
  }
  if (underWay) {
    // A try nobody started becomes the user's send: its server is the one the user's answers
    // to its questions are for.
    if (workflow_.Unattended()) RememberStart(workflow_.Settings());
    workflow_.Send({});  // the conversation under way, or the next, takes it
    return {SendPress::Next::ShowProgress, {}, {}, {}};
  }
  SendSettings settings = SettingsForSend();
  if (settings.smtp.userName.empty()) {
    Start(settings);
    return {SendPress::Next::Started, {}, {}, {}};
  }
  // Nothing to ask for: the session would refuse to send the password or token anyway.
  if (settings.smtp.security == SmtpSecurity::None) {
    return Shown(settings.oauth ? kOAuthNeedsTls : kSignInNeedsTls);
  }
  if (settings.oauth) {
    Start(settings);  // the workflow asks for the token
    return {SendPress::Next::Started, {}, {}, {}};
  }
  return {SendPress::Next::AskPassword, {}, {}, std::move(settings)};
}

// Queues the fields' message unless it is queued already or there is nothing to queue; what
// the window shows when queuing failed (the text stays in the window), else nothing.
std::optional<SendPress> SendController::QueueFields(const SendFields& fields) {
  if (FieldsHoldQueuedDraft(fields) || FieldsHoldNoDraft(fields)) return std::nullopt;
  if (std::string problem = RecipientsProblem(ToSingleLine(fields.draft.email)); !problem.empty()) {
    return Shown(std::move(problem));
  }
  const MessageFields message{fields.draft.subject, fields.pickedName, fields.draft.email,
                              SenderAddress, fields.memoLines};
  // The files are read now: the outbox keeps their copy, whatever becomes of them later.
  std::string unreadable;
  std::string text = WithAttachments(ComposeMessage(message), fields.files, unreadable);
  if (!unreadable.empty()) {
    SendPress refusal =
        Shown("The mail could not be queued (" + unreadable + "); it stays in the window.");
    refusal.box = unreadable + " Nothing was queued; the mail stays in the window.";
    return refusal;
  }
  const std::string failure = workflow_.Queue().Append(
      ToSingleLine(fields.draft.email), std::move(text), fields.draft, &fieldsMessage_);
  if (!failure.empty()) {
    return Shown("The mail could not be queued (" + failure + "); it stays in the window.");
  }
  queuedDraft_ = fields.draft;
  queuedFiles_ = fields.files;
  return std::nullopt;
}

bool SendController::FieldsHoldQueuedDraft(const SendFields& fields) const {
  return queuedDraft_ && fields.draft == *queuedDraft_ && fields.files == queuedFiles_;
}

bool SendController::FieldsHoldUnqueuedDraft(const SendFields& fields) const {
  return !FieldsHoldNoDraft(fields) && !FieldsHoldQueuedDraft(fields);
}

std::string SendController::SendWithPassword(SendSettings settings,
                                             std::optional<std::string> password) {
  if (!password) return kNoPassword;
  // The question may have stayed open while the outbox window took the mail out.
  workflow_.LoadQueued();
  if (workflow_.Queue().Empty() && workflow_.Phase() == SendPhase::Idle) return kNothingWaits;
  settings.smtp.password = std::move(*password);
  Start(settings);
  return {};
}

void SendController::Start(const SendSettings& settings) {
  if (workflow_.Phase() == SendPhase::Idle) RememberStart(settings);
  workflow_.Send(settings);
}

// Where a certificate is trusted and a refused password forgotten; never the secret itself.
void SendController::RememberStart(const SendSettings& settings) {
  startedWith_ = settings;
  startedWith_.smtp.password.clear();
  startedWith_.smtp.accessToken.clear();
}

std::string SendController::KeepTrustedCertificate(const std::string& fingerprint) const {
  try {
    WriteTrustedCertificate(startedWith_.server, startedWith_.port, fingerprint);
  } catch (const os::RegistryError& error) {
    return error.what();
  }
  return {};
}

void SendController::Withdrawn(std::uint64_t id) {
  if (id != fieldsMessage_) return;
  queuedDraft_.reset();
  queuedFiles_.clear();
}

// --- The outcome ---

SendEnd SendController::Ended(const SendReport& report, const SendFields& now,
                              const std::string& nextTry) {
  if (report.signInRefused) ForgetPassword(startedWith_.server, startedWith_.smtp.userName);
  const bool fieldsUnchanged = FieldsHoldQueuedDraft(now);
  SendEnd end;
  end.status = SendOutcomeText(report, fieldsMessage_, nextTry);
  // Only the text that was queued may be emptied: a newer draft stays. Refused text stays
  // for a corrected send.
  end.clearSubjectAndBody = fieldsUnchanged && !Refused(report, fieldsMessage_);
  queuedDraft_.reset();
  bool fieldsEmpty = end.clearSubjectAndBody || FieldsHoldNoDraft(now);
  std::vector<std::string> recovered;
  for (const OutboxMessage& message : report.refused) {
    if (message.id == fieldsMessage_ && fieldsUnchanged) {
      // The window holds only the files' paths: the refused message is their one whole copy.
      if (HasAttachments(message.text)) {
        recovered.push_back(
            KeptAsFile(message,
                       "its text stays in the window, and the whole message with its "
                       "files is kept in "));
      }
      continue;
    }
    recovered.push_back(Recover(message, fieldsEmpty, end.restore));
  }
  if (!recovered.empty()) end.status = Joined(recovered, " ");
  end.endsLinkMode = EverythingWentToEveryone(report) && CurrentStartMode() == StartMode::Link;
  return end;
}

// Told when the user looks: a delivery, and refused mail (kept as a file), are news; a failure
// again is not.
UnattendedEnd SendController::EndedUnattended(const SendReport& report,
                                              const std::string& nextTry) {
  UnattendedEnd end;
  end.status = SendOutcomeText(report, 0, nextTry);
  std::vector<std::string> told;
  if (!report.accepted.empty()) told.push_back(WaitingMessagesSent(report.accepted.size()));
  for (const OutboxMessage& message : report.refused) {
    told.push_back(KeptAsFile(message, "its text is kept in "));
    end.refused = true;
  }
  // Mail that waits for the user now (a refused password, say) is news as well.
  const bool waitsForUser = report.stillQueued > 0 && nextTry.empty();
  if (waitsForUser) told.push_back(end.status);
  end.notice = Joined(told, " ");
  if (end.refused || !report.accepted.empty()) end.status = end.notice;
  return end;
}

std::string SendOutcomeText(const SendReport& report, std::uint64_t fieldsMessage,
                            const std::string& nextTry) {
  const std::string later =
      nextTry.empty() ? std::string() : "it will be tried again at " + nextTry + ".";
  if (!report.dialRefusal.empty()) {
    return report.dialRefusal +
           (later.empty() ? "; the mail stays queued for the next send." : "; " + later);
  }
  if (!report.deferredRecipients.empty()) {
    std::string text =
        "Mail has been sent, but the server refused these recipients for now; it stays queued "
        "for them alone: " +
        Joined(report.deferredRecipients, "; ");
    if (!report.refusedRecipients.empty()) {
      text += ". Refused for good: " + Joined(report.refusedRecipients, "; ");
    }
    return text;
  }
  if (EverythingWentOut(report) && !report.refusedRecipients.empty()) {
    return "Mail has been sent, but the server refused these recipients: " +
           Joined(report.refusedRecipients, "; ");
  }
  if (EverythingWentOut(report)) return kMailSent;
  if (Refused(report, fieldsMessage)) return kServerRefusedIt;
  if (Contains(report.accepted, fieldsMessage)) {
    return report.stillQueued > 0
               ? "Mail has been sent, but an earlier message stays queued for the next send."
               : "Mail has been sent, but an earlier message was refused.";
  }
  if (report.stillQueued == 0) return kServerRefusedIt;
  const std::string reason = report.failure.empty() ? "the server refused it" : report.failure;
  return "Mail not sent (" + reason + "); " +
         (later.empty() ? "it stays queued for the next send." : later);
}

// A message refused for good is not thrown away unseen: back into the fields when they hold
// no draft, otherwise kept as a file. Returns the sentence that says where.
std::string SendController::Recover(const OutboxMessage& message, bool& fieldsEmpty,
                                    std::optional<DraftFields>& restore) {
  const std::string& to = message.recipient;
  // The files go only with the message text: one that carries them is kept as a file.
  if (fieldsEmpty && !HasAttachments(message.text)) {
    restore = message.draft;
    fieldsEmpty = message.draft.subject.empty() && message.draft.memo.empty();
    return "Mail to " + to + " was refused; its text is back in the window.";
  }
  return KeptAsFile(message, "its text is kept in ");
}

// Keeps the refused `message` in the refused folder; `kept` says where its text is, before
// the file's path. Returns the sentence that says where, or why it could not be kept.
std::string SendController::KeptAsFile(const OutboxMessage& message, const std::string& kept) {
  const std::string& to = message.recipient;
  std::string why;
  OutboxFolder* folder = workflow_.Folder();
  const std::string path = folder != nullptr ? folder->KeepRefused(message, why) : std::string();
  if (path.empty()) {
    workflow_.KeepInOutbox(message.id);  // never thrown away before its text is safe
    return "Mail to " + to + " was refused and could not be kept (" +
           (why.empty() ? "no folder for it" : why) + "); it stays in the outbox until it can be.";
  }
  return "Mail to " + to + " was refused; " + kept + path + ".";
}

}  // namespace pelorin
