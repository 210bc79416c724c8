// The mail transaction, written once for any depth: a message's MAIL FROM, a RCPT TO for each
// recipient and DATA, then its data. Lock-step is a pipeline of depth one: each command waits
// for the reply to the one before. With PIPELINING (RFC 2920), where EHLO announced it, a
// message's commands go as one text, and its data goes with the next message's commands, so
// that a steady stream costs about one round trip a message. Either way the replies answer
// the commands awaited, in order, and the same functions answer them.
//
// The refusal rules: a refused MAIL FROM keeps the messages; a message whose every recipient is
// refused is refused as its last recipient was; a 5xx to DATA or to the data drops only that
// message and a 4xx keeps it. A refusal is shown once nothing of its message is awaited, so
// that pipelined the replies to the rest of the group are read first.
#include <algorithm>
#include <optional>
#include <utility>

#include "transport/mime_transfer.h"
#include "transport/recipients.h"
#include "transport/shared_data.h"
#include "transport/smtp_address.h"
#include "transport/smtp_command_text.h"
#include "transport/smtp_data.h"
#include "transport/smtp_session.h"
#include "transport/smtp_session_rules.h"

namespace pelorin {

using namespace smtp_rules;

namespace {

std::string RcptToCommand(const std::string& recipient) {
  return "RCPT TO: <" + WireAddress(recipient).value_or(recipient) + ">";
}

}  // namespace

// --- Beginning a message ---

// The head message's commands, or QUIT when none is left. Pipelined, they may be on their way
// already, sent with the data of the message before.
SmtpTurn SmtpSession::BeginMessage(SmtpSocket& socket) {
  if (!awaited_.empty()) return {};
  if (outbox_.Empty()) return SendQuit(socket);
  if (std::optional<Unsendable> unsendable = UnsendableMessage(outbox_.Head())) {
    return Halt(SmtpHalt::Kind::Refusal, std::move(unsendable->shown), unsendable->dropsMessage,
                std::move(unsendable->why));
  }
  std::string text;
  AppendMessageCommands(outbox_.Head(), text);
  SendText(socket, std::move(text));
  return {};
}

// Why `message` cannot begin on this server, if it cannot. A sender that cannot go keeps the
// messages queued (the settings can be corrected); a recipient that cannot go, or a message
// larger than the server takes, is refused for good. A recipient with a line break is refused
// where its RCPT TO would go: pipelined, with the MAIL FROM.
std::optional<SmtpSession::Unsendable> SmtpSession::UnsendableMessage(
    const OutboxMessage& message) {
  if (HasLineBreakOrNul(SenderAddress)) {
    return Unsendable{SenderProblem(), false, "the sender address holds a line break"};
  }
  if (std::optional<Unsendable> unsendable = UnsendableAddress(message)) return unsendable;
  if (std::optional<Unsendable> unsendable = TooLarge(message)) return unsendable;
  if (!pipelining_) return std::nullopt;
  for (const std::string& recipient : SplitRecipients(message.recipient)) {
    if (HasLineBreakOrNul(recipient)) {
      return Unsendable{RecipientProblem(recipient), true,
                        "the recipient address holds a line break"};
    }
  }
  return std::nullopt;
}

// RFC 1870: the server said how large a message it takes, so a larger one is not offered.
std::optional<SmtpSession::Unsendable> SmtpSession::TooLarge(const OutboxMessage& message) {
  const std::size_t size = TransferText(message).size();
  if (extensions_.sizeLimit == 0 || size <= extensions_.sizeLimit) return std::nullopt;
  return Unsendable{TooLargeProblem(extensions_.sizeLimit, size), true,
                    "the message is larger than the server takes"};
}

// An address whose domain has no ASCII form, or beyond ASCII before its @ where the server
// takes no such address. Addresses with line breaks are left to the checks above.
std::optional<SmtpSession::Unsendable> SmtpSession::UnsendableAddress(
    const OutboxMessage& message) const {
  const bool takesUtf8 = extensions_.Has("SMTPUTF8");
  const auto problem = [takesUtf8](const std::string& address) -> std::optional<std::string> {
    if (HasLineBreakOrNul(address)) return std::nullopt;
    const std::optional<std::string> wire = WireAddress(address);
    if (!wire) return AddressProblem(address, true);
    if (pelorin::NeedsSmtpUtf8(*wire) && !takesUtf8) return AddressProblem(address, false);
    return std::nullopt;
  };
  if (std::optional<std::string> shown = problem(SenderAddress)) {
    return Unsendable{
        *shown + " Correct the sender address in the settings; the messages stay queued.", false,
        "the sender address cannot be given to this server"};
  }
  for (const std::string& recipient : SplitRecipients(message.recipient)) {
    if (std::optional<std::string> shown = problem(recipient)) {
      return Unsendable{
          *shown + " The message to it cannot be sent; it is taken out of the outbox.", true,
          "a recipient address cannot be given to this server"};
    }
  }
  return std::nullopt;
}

// The one place where a message begins: its MAIL FROM and, pipelined, its RCPT TOs and DATA,
// appended to `text`.
void SmtpSession::AppendMessageCommands(const OutboxMessage& message, std::string& text) {
  AppendCommand(text, SmtpState::MailFrom, MailFromCommand(message));
  if (!pipelining_) return;
  for (const std::string& recipient : SplitRecipients(message.recipient)) {
    AppendCommand(text, SmtpState::RcptTo, RcptToCommand(recipient));
  }
  AppendCommand(text, SmtpState::Data, "DATA");
}

// Parameters only as the server announced them: BODY=8BITMIME for text with bytes above 127
// (a server greeted with HELO announces nothing), SMTPUTF8 for an address beyond ASCII.
std::string SmtpSession::MailFromCommand(const OutboxMessage& message) {
  std::string command = "MAIL FROM: <" + WireAddress(SenderAddress).value_or(SenderAddress) + ">";
  if (extensions_.Has("8BITMIME") && IsEightBit(TransferText(message))) {
    command += " BODY=8BITMIME";
  }
  if (NeedsSmtpUtf8(message)) command += " SMTPUTF8";
  return command;
}

bool SmtpSession::NeedsSmtpUtf8(const OutboxMessage& message) const {
  const auto needs = [](const std::string& address) {
    return pelorin::NeedsSmtpUtf8(WireAddress(address).value_or(address));
  };
  const std::vector<std::string> recipients = SplitRecipients(message.recipient);
  return needs(SenderAddress) || std::any_of(recipients.begin(), recipients.end(), needs);
}

// As the message goes on the wire: 8bit text only to a server that takes it, else
// quoted-printable. A view into the message or into the one form kept.
std::string_view SmtpSession::TransferText(const OutboxMessage& message) {
  if (transferFor_ != message.id) {
    changedTransferText_ = ChangedTransferForm(message.text, extensions_.Has("8BITMIME"));
    transferFor_ = message.id;
  }
  if (changedTransferText_) return *changedTransferText_;
  return message.text;
}

// --- Answering the envelope ---

// Lock-step, a reply that is neither success nor refusal is waited past, as the server may add
// more; pipelined, the replies to the RCPT TOs behind it come next, so it counts as a refusal.
SmtpTurn SmtpSession::AnswerMailFrom(SmtpSocket& socket, int code, const std::string& reply) {
  if (code != 250 && !pipelining_ && !IsTransientOrPermanentFailure(code)) return WaitPast();
  if (outbox_.Empty()) return SendQuit(socket);
  mailRefusal_ = code == 250 ? std::string() : reply;
  recipients_ = SmtpRecipientCount(SplitRecipients(outbox_.Head().recipient));
  return ContinueMessage(socket);
}

// After a refused MAIL FROM, replies to RCPT TO (pipelined: sent with it) count for nothing.
SmtpTurn SmtpSession::AnswerRcptTo(SmtpSocket& socket, int code, const std::string& reply) {
  if (mailRefusal_.empty()) recipients_.Count(code, reply);
  return ContinueMessage(socket);
}

// Once nothing of the message is awaited (lock-step: after each reply), its next command goes,
// or the refusal it has met is shown.
SmtpTurn SmtpSession::ContinueMessage(SmtpSocket& socket) {
  if (!awaited_.empty()) return {};
  if (mailRefusal_.empty() && !recipients_.AllAnswered()) return SendRcptTo(socket);
  if (!MessageTaken()) return RefuseMessage(0, {});
  SendCommand(socket, SmtpState::Data, "DATA");
  return {};
}

SmtpTurn SmtpSession::SendRcptTo(SmtpSocket& socket) {
  const std::string& recipient = recipients_.Next();
  if (HasLineBreakOrNul(recipient)) {
    return Halt(SmtpHalt::Kind::Refusal, RecipientProblem(recipient), true,
                "the recipient address holds a line break");
  }
  SendCommand(socket, SmtpState::RcptTo, RcptToCommand(recipient));
  return {};
}

// The server took the sender and at least one recipient.
bool SmtpSession::MessageTaken() const {
  return mailRefusal_.empty() && recipients_.AnyAccepted();
}

// The refusal the message meets first, as lock-step meets it: its MAIL FROM's, else its last
// recipient's when none was accepted, else `reply` to DATA or to the data.
SmtpTurn SmtpSession::RefuseMessage(int code, const std::string& reply) {
  if (!mailRefusal_.empty()) return Refuse(mailRefusal_, false);
  if (!recipients_.AnyAccepted()) {
    return Refuse(recipients_.LastRefusal(), recipients_.RefusedForGood());
  }
  return Refuse(reply, DropsMessage(code));
}

// --- The data ---

SmtpTurn SmtpSession::AnswerData(SmtpSocket& socket, int code, const std::string& reply) {
  if (code != 354) return RefuseMessage(code, reply);
  if (MessageTaken()) {
    SendMessageData(socket);
  } else {
    SendEmptyData(socket);
  }
  return {};
}

// The head message's data and end mark; pipelined, the next message's commands go with them,
// unless that message cannot go: it waits for its own turn, where it is refused.
void SmtpSession::SendMessageData(SmtpSocket& socket) {
  Await(SmtpState::MessageData);
  std::string text = StartMessageData(socket);
  if (pipelining_ && outbox_.Size() > 1 && !UnsendableMessage(outbox_.At(1))) {
    AppendMessageCommands(outbox_.At(1), text);
  }
  SendText(socket, std::move(text));
}

// A message of megabytes goes out partly from where it lies: while the connection takes them,
// its leading lines that go as they stand are handed to the socket a megabyte at a time; the
// rest is copied once into the data text that is returned, to go with the end mark (and,
// pipelined, the next commands) and to wait in the socket. Copying it all first kept the
// server waiting for as long as the copying took.
std::string SmtpSession::StartMessageData(SmtpSocket& socket) {
  constexpr std::size_t kInPlacePiece = 1u << 20;
  constexpr std::size_t kWithTheEndMark = 64u << 10;  // the end mark never goes alone
  if (outbox_.Empty()) return SmtpDataText({});
  std::string_view rest = TransferText(outbox_.Head());
  while (rest.size() > kInPlacePiece + kWithTheEndMark && !socket.TextWaiting()) {
    const std::size_t piece =
        SmtpDataUnchangedLength(rest, std::min(kInPlacePiece, rest.size() - kWithTheEndMark));
    if (piece == 0) break;
    socket.SetTextView(rest.substr(0, piece));
    rest.remove_prefix(piece);
  }
  return SmtpDataText(rest);
}

// Pipelined, the server may take DATA although it refused the sender or every recipient: an
// empty message ends the data at once, and delivers nothing, as no recipient was taken.
void SmtpSession::SendEmptyData(SmtpSocket& socket) {
  Await(SmtpState::MessageData);
  SendText(socket, "." + LineEnd);
}

SmtpTurn SmtpSession::AnswerMessageData(SmtpSocket& socket, int code, const std::string& reply) {
  if (code != 250 || !MessageTaken()) return RefuseMessage(code, reply);
  return AcceptHead(socket);
}

// The server took the head message: it leaves the outbox, or stays for the recipients refused
// for now alone, and any recipient it refused is named to the user.
SmtpTurn SmtpSession::AcceptHead(SmtpSocket& socket) {
  if (!outbox_.Empty()) {
    outcome_.accepted.push_back(outbox_.Head().id);
    if (recipients_.Deferred().empty()) {
      outbox_.TakeHead();
    } else {
      outbox_.SetAsideHead(recipients_.Deferred());  // still owed to those refused for now
    }
  }
  for (std::string& refusal : recipients_.TakeRefusals()) {
    outcome_.refusedRecipients.push_back(std::move(refusal));
  }
  for (std::string& deferral : recipients_.TakeDeferrals()) {
    outcome_.deferredRecipients.push_back(std::move(deferral));
  }
  return BeginMessage(socket);
}

}  // namespace pelorin
