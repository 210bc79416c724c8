// The SMTP session with PIPELINING (RFC 2920): used after EHLO when the server announces it.
// Each message's MAIL FROM, RCPT TO and DATA go out as one text; once the server says 354, the
// message's data and end mark go out together with the next message's group, so that a steady
// stream costs about one round trip a message. Replies are matched to the commands in the
// order they were sent. The refusal rules are those of the lock-step conversation: a refused
// MAIL FROM keeps the messages, a message whose every recipient is refused is refused as its
// recipient was, a 5xx to the data drops only that message and a 4xx keeps it.
#include <algorithm>
#include <optional>
#include <utility>

#include "transport/mime_transfer.h"
#include "transport/recipients.h"
#include "transport/smtp_address.h"
#include "transport/smtp_data.h"
#include "transport/smtp_reply.h"
#include "transport/smtp_session.h"
#include "transport/smtp_session_rules.h"

namespace pelorin {

using namespace smtp_rules;

namespace {

bool CannotGoIntoCommand(const std::string& text) {
  return HasLineBreakOrNul(text);
}

}  // namespace

// Answers every complete reply that waits, one by one, until one stops the conversation. The
// text came before anything sent while answering it, so it holds at most `owed` replies that
// answer a command.
SmtpTurn SmtpSession::TakePipelinedReplies(SmtpSocket& socket, std::size_t owed) {
  while (const std::size_t length = SmtpFirstReplyLength(replyBuffer_)) {
    const std::string reply = replyBuffer_.substr(0, length);
    replyBuffer_.erase(0, length);
    if (owed == 0) return AnswerOutOfTurn(reply);
    const SmtpTurn turn = Answer(socket, reply);
    if (!waitedPast_) --owed;
    if (turn.kind != SmtpTurn::Kind::Going || halted_ || state_ == SmtpState::Idle) return turn;
  }
  if (replyBuffer_.size() <= kSmtpReplyLimit) return {};
  replyBuffer_.clear();
  return SmtpError(socket, OverflowProblem());
}

// The group of the message at the head of the outbox, or QUIT when none is left.
SmtpTurn SmtpSession::BeginPipelinedMessage(SmtpSocket& socket) {
  if (!pending_.empty()) return {};  // the next group is already on its way
  if (outbox_.Empty()) {
    SendCommand(socket, SmtpState::Quit, "QUIT");
    return {};
  }
  if (HasLineBreakOrNul(SenderAddress)) {
    return Halt(SmtpHalt::Kind::Refusal, SenderProblem(), false,
                "the sender address holds a line break");
  }
  if (std::optional<SmtpTurn> refusal = RefuseUnsendableAddress(outbox_.Head())) return *refusal;
  if (const std::size_t size = SizeBeyondLimit(outbox_.Head())) return RefuseTooLarge(size);
  std::string group;
  if (!AppendGroup(outbox_.Head(), group)) {
    const std::vector<std::string> recipients = SplitRecipients(outbox_.Head().recipient);
    const auto broken = std::find_if(recipients.begin(), recipients.end(), CannotGoIntoCommand);
    return Halt(SmtpHalt::Kind::Refusal, RecipientProblem(*broken), true,
                "the recipient address holds a line break");
  }
  state_ = SmtpState::MailFrom;
  socket.SetText(group);
  return {};
}

// MAIL FROM, one RCPT TO per recipient and DATA for `message`, appended to `text`, their
// replies awaited in `pending_`; false (nothing appended) when a recipient cannot go into a
// command.
bool SmtpSession::AppendGroup(const OutboxMessage& message, std::string& text) {
  const std::vector<std::string> recipients = SplitRecipients(message.recipient);
  if (std::any_of(recipients.begin(), recipients.end(), CannotGoIntoCommand)) return false;
  bool senderAtFault = false;
  if (UnsendableAddress(message, &senderAtFault)) return false;
  const std::optional<std::string> changed =
      ChangedTransferForm(message.text, extensions_.Has("8BITMIME"));
  text += MailFromCommand(message, changed ? *changed : message.text) + LineEnd;
  pending_.push_back({Pending::Kind::MailFrom});
  for (const std::string& recipient : recipients) {
    text += "RCPT TO: <" + WireAddress(recipient).value_or(recipient) + ">" + LineEnd;
    pending_.push_back({Pending::Kind::RcptTo});
  }
  text += "DATA" + LineEnd;
  pending_.push_back({Pending::Kind::Data});
  return true;
}

// The state names the command whose reply comes next, so that a time-out or a lost connection
// says where the server stopped.
void SmtpSession::FollowFront() {
  if (!pending_.empty()) state_ = StateAwaiting(pending_.front().kind);
}

// Only DATA is answered with 354, and DATA never with a success: a reply that contradicts the
// command it would answer was meant for another one (a reply too many came before it).
bool SmtpSession::AnswersCommand(Pending::Kind kind, int code) {
  const bool success = code >= 200 && code <= 299;
  const bool intermediate = code >= 300 && code <= 399;
  if (kind == Pending::Kind::Data) return !success;
  return !intermediate;
}

SmtpState SmtpSession::StateAwaiting(Pending::Kind kind) {
  switch (kind) {
    case Pending::Kind::MailFrom:
      return SmtpState::MailFrom;
    case Pending::Kind::RcptTo:
      return SmtpState::RcptTo;
    case Pending::Kind::Data:
      return SmtpState::Data;
    case Pending::Kind::MessageData:
    case Pending::Kind::EmptyData:
      break;
  }
  return SmtpState::MessageData;
}

// A halt names the step whose reply it answers; once answered, the state moves on to the
// next reply awaited.
SmtpTurn SmtpSession::AnswerPipelined(SmtpSocket& socket, int code, const std::string& reply) {
  if (!AnswersCommand(pending_.front().kind, code)) return AnswerOutOfTurn(reply);
  const Pending answered = pending_.front();
  pending_.pop_front();
  state_ = StateAwaiting(answered.kind);
  const SmtpTurn turn = AnswerPipelinedStep(socket, answered, code, reply);
  if (turn.kind == SmtpTurn::Kind::Going && !halted_ && state_ != SmtpState::Quit) FollowFront();
  return turn;
}

SmtpTurn SmtpSession::AnswerPipelinedStep(SmtpSocket& socket, Pending answered, int code,
                                          const std::string& reply) {
  switch (answered.kind) {
    case Pending::Kind::MailFrom:
      StartRecipients(outbox_.Head());
      groupMailRefusal_ = code == 250 ? std::string() : reply;
      return {};
    case Pending::Kind::RcptTo:
      if (groupMailRefusal_.empty()) CountRecipientReply(code, reply);
      ++rcptIndex_;
      return {};
    case Pending::Kind::Data:
      return AnswerGroupData(socket, code, reply);
    case Pending::Kind::EmptyData:
      return RefuseGroup(code, reply);
    case Pending::Kind::MessageData:
      if (code != 250) return Refuse(reply, DropsMessage(code));
      return AcceptHead(socket);
  }
  return {};
}

SmtpTurn SmtpSession::AnswerGroupData(SmtpSocket& socket, int code, const std::string& reply) {
  const bool groupTaken = groupMailRefusal_.empty() && rcptAccepted_ > 0;
  if (code == 354 && groupTaken) {
    SendDataWithNextGroup(socket);
    return {};
  }
  if (code == 354) {
    // The server took DATA although it refused the sender or every recipient: an empty
    // message ends the data at once, and delivers nothing, as no recipient was taken.
    state_ = SmtpState::MessageData;
    pending_.push_back({Pending::Kind::EmptyData});
    socket.SetText("." + LineEnd);
    return {};
  }
  return RefuseGroup(code, reply);
}

// The refusal that the lock-step conversation would have met first.
SmtpTurn SmtpSession::RefuseGroup(int code, const std::string& reply) {
  if (!groupMailRefusal_.empty()) return Refuse(groupMailRefusal_, false);
  if (rcptAccepted_ == 0) return Refuse(lastRcptReply_, rcptAllPermanent_);
  return Refuse(reply, DropsMessage(code));
}

void SmtpSession::SendDataWithNextGroup(SmtpSocket& socket) {
  changedTransferText_ = ChangedTransferForm(outbox_.Head().text, extensions_.Has("8BITMIME"));
  std::string text = StartMessageData(socket);
  state_ = SmtpState::MessageData;
  pending_.push_back({Pending::Kind::MessageData});
  // A next message whose recipient cannot go into a command waits for its own turn, where
  // it is refused as in lock-step.
  if (outbox_.Size() > 1 && SizeBeyondLimit(outbox_.At(1)) == 0) AppendGroup(outbox_.At(1), text);
  socket.SetText(std::move(text));
}

}  // namespace pelorin
