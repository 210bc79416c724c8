#include "transport/smtp_session.h"

#include <optional>
#include <utility>

#include "transport/shared_data.h"
#include "transport/smtp_command_text.h"
#include "transport/smtp_data.h"
#include "transport/smtp_reply.h"

namespace pelorin {
namespace {

constexpr const char* kRefusedByServer = "the server refused it";

bool IsTransientOrPermanentFailure(int code) {
  return code >= 400 && code <= 599;
}

// A refusal 500 to 599 of a message's recipient, DATA or data: it can never go as it stands.
bool DropsMessage(int code) {
  return code >= 500 && code <= 599;
}

std::string SenderProblem() {
  return "The sender address \"" + WithLineBreaksShown(SenderAddress) +
         "\" contains a line break or NUL character, so it cannot be sent to the server. "
         "Correct it in the settings; the messages stay queued.";
}

std::string RecipientProblem(const std::string& recipient) {
  return "The recipient address \"" + WithLineBreaksShown(recipient) +
         "\" contains a line break or NUL character, so the message to it cannot be sent. "
         "It is taken out of the outbox.";
}

std::string OverflowProblem() {
  return "The server sent more than " + std::to_string(kSmtpReplyLimit) +
         " bytes without ending its reply";
}

std::string NotSmtpProblem(std::string_view line) {
  return "The server's answer is not SMTP, so the conversation ends here: \"" +
         WithLineBreaksShown(line) + "\"";
}

}  // namespace

// --- Starting ---

void SmtpSession::Prepare(SmtpSocket& socket, const std::string& server, const std::string& port) {
  socket.SetIPAddr(server);
  socket.SetPort(port.empty() ? "25" : port);
  replyBuffer_.clear();
  outcome_ = {};
  halt_ = {};
  halted_ = false;
  lostWhileHalted_ = false;
  state_ = SmtpState::Greeting;
}

void SmtpSession::SmtpStartSession(SmtpSocket& socket, const std::string& server,
                                   const std::string& port) {
  Prepare(socket, server, port);
  socket.SConnect();
}

void SmtpSession::Abandon(const std::string& why) {
  Fail(why);
  halted_ = false;
  replyBuffer_.clear();
  state_ = SmtpState::Idle;
}

// --- Taking in received text ---

SmtpTurn SmtpSession::SmtpHandleReply(SmtpSocket& socket, std::string_view text) {
  const std::size_t waiting = replyBuffer_.size();
  replyBuffer_ += text;
  if (state_ == SmtpState::Idle || halted_) {
    // Nothing asked for it: text without a conversation, or while a halt is being shown,
    // answers no command of ours and is dropped once it is a whole line.
    if (replyBuffer_.find('\n') != std::string::npos || replyBuffer_.size() > kSmtpReplyLimit) {
      replyBuffer_.clear();
    }
    return {};
  }
  if (SmtpReplyCompleteAfter(replyBuffer_, waiting)) {
    return Answer(socket, std::exchange(replyBuffer_, {}));
  }
  if (replyBuffer_.size() <= kSmtpReplyLimit) return {};
  replyBuffer_.clear();
  return SmtpError(socket, OverflowProblem());
}

SmtpTurn SmtpSession::Answer(SmtpSocket& socket, const std::string& reply) {
  if (const std::optional<std::string_view> odd = FirstNonSmtpLine(reply)) {
    return EndUnexpectedly(NotSmtpProblem(*odd), "the server's answer is not SMTP");
  }
  const int code = SmtpReplyCode(reply);
  switch (state_.load()) {
    case SmtpState::Greeting:
      return AnswerGreeting(socket, code, reply);
    case SmtpState::Helo:
      return AnswerHelo(socket, code, reply);
    case SmtpState::MailFrom:
      return AnswerMailFrom(socket, code, reply);
    case SmtpState::RcptTo:
      return AnswerRcptTo(socket, code, reply);
    case SmtpState::Data:
      return AnswerData(socket, code, reply);
    case SmtpState::MessageData:
      return AnswerMessageData(socket, code, reply);
    case SmtpState::Quit:
      return AnswerQuit(socket, code, reply);
    case SmtpState::Idle:
      break;
  }
  return {};
}

// --- Answering replies, one function for each state ---
// Before a message's transaction every 4xx and 5xx is a refusal that keeps the messages
// queued; a reply outside those ranges is waited past, as the server may add more.

SmtpTurn SmtpSession::AnswerGreeting(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 220) {
    SendCommand(socket, SmtpState::Helo, "HELO " + WithoutLineBreaksOrNul(socket.LocalHostName()));
    return {};
  }
  if (IsTransientOrPermanentFailure(code)) return Refuse(reply, false);
  return {};
}

SmtpTurn SmtpSession::AnswerHelo(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) return BeginNextMessage(socket);
  if (IsTransientOrPermanentFailure(code)) return Refuse(reply, false);
  return {};
}

SmtpTurn SmtpSession::AnswerMailFrom(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) return SendRcptTo(socket);
  if (IsTransientOrPermanentFailure(code)) return Refuse(reply, false);
  return {};
}

SmtpTurn SmtpSession::AnswerRcptTo(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250 || code == 251) {
    SendCommand(socket, SmtpState::Data, "DATA");
    return {};
  }
  return Refuse(reply, DropsMessage(code));
}

SmtpTurn SmtpSession::AnswerData(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 354) {
    SendMessageData(socket);
    return {};
  }
  return Refuse(reply, DropsMessage(code));
}

SmtpTurn SmtpSession::AnswerMessageData(SmtpSocket& socket, int code, const std::string& reply) {
  if (code != 250) return Refuse(reply, DropsMessage(code));
  if (!outbox_.Empty()) outcome_.accepted.push_back(outbox_.TakeHead().id);
  return BeginNextMessage(socket);
}

SmtpTurn SmtpSession::AnswerQuit(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 221) return Close(socket);
  return EndUnexpectedly(reply, "the server did not answer QUIT as expected");
}

// --- The commands ---

void SmtpSession::SendCommand(SmtpSocket& socket, SmtpState next, const std::string& command) {
  state_ = next;
  socket.SetText(command + LineEnd);
}

// MAIL FROM for the message at the head of the outbox, or QUIT when none is left.
SmtpTurn SmtpSession::BeginNextMessage(SmtpSocket& socket) {
  if (outbox_.Empty()) {
    SendCommand(socket, SmtpState::Quit, "QUIT");
    return {};
  }
  if (HasLineBreakOrNul(SenderAddress))
    return Halt(SmtpHalt::Kind::Refusal, SenderProblem(), false, kRefusedByServer);
  SendCommand(socket, SmtpState::MailFrom, "MAIL FROM: <" + SenderAddress + ">");
  return {};
}

SmtpTurn SmtpSession::SendRcptTo(SmtpSocket& socket) {
  if (outbox_.Empty()) {
    SendCommand(socket, SmtpState::Quit, "QUIT");
    return {};
  }
  const std::string& recipient = outbox_.Head().recipient;
  if (HasLineBreakOrNul(recipient)) {
    return Halt(SmtpHalt::Kind::Refusal, RecipientProblem(recipient), true, kRefusedByServer);
  }
  SendCommand(socket, SmtpState::RcptTo, "RCPT TO: <" + recipient + ">");
  return {};
}

void SmtpSession::SendMessageData(SmtpSocket& socket) {
  const std::vector<std::string> blocks =
      SmtpDataBlocks(outbox_.Empty() ? std::string() : outbox_.Head().text);
  state_ = SmtpState::MessageData;
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) socket.SetText(blocks[i]);
  // The end mark goes with the last block, as one text: sent on its own it reached the server
  // as a segment of its own, which now and then held the server's acceptance back.
  socket.SetText(blocks.empty() ? kSmtpEndOfData : blocks.back() + kSmtpEndOfData);
}

// --- Stopping and ending ---

void SmtpSession::Fail(std::string why) {
  if (!outcome_.failed) outcome_.failure = std::move(why);
  outcome_.failed = true;
}

SmtpTurn SmtpSession::Halt(SmtpHalt::Kind kind, std::string shown, bool dropsMessage,
                           std::string why) {
  Fail(std::move(why));
  halt_ = {kind, std::move(shown), state_.load(), dropsMessage};
  halted_ = true;
  lostWhileHalted_ = false;
  replyBuffer_.clear();
  return {SmtpTurn::Kind::Halted, halt_};
}

SmtpTurn SmtpSession::Refuse(const std::string& reply, bool dropsMessage) {
  return Halt(SmtpHalt::Kind::Refusal, reply, dropsMessage, kRefusedByServer);
}

SmtpTurn SmtpSession::EndUnexpectedly(std::string shown, std::string why) {
  return Halt(SmtpHalt::Kind::UnexpectedEnd, std::move(shown), false, std::move(why));
}

// Closes the connection from this side: a server that answers QUIT and keeps the connection
// open would otherwise hold the send for ever.
SmtpTurn SmtpSession::Close(SmtpSocket& socket) {
  state_ = SmtpState::Idle;
  halted_ = false;
  replyBuffer_.clear();
  socket.Disconnect();
  return {SmtpTurn::Kind::Over, {}};
}

SmtpTurn SmtpSession::GoOn(SmtpSocket& socket) {
  if (!halted_) return {};
  halted_ = false;
  // Still stored: its owner forgets it once the text is safe elsewhere.
  if (halt_.dropsMessage && !outbox_.Empty()) {
    outcome_.dropped.push_back(outbox_.TakeHeadStillStored());
  }
  if (lostWhileHalted_) return Close(socket);
  if (halt_.kind == SmtpHalt::Kind::Refusal) {
    SendCommand(socket, SmtpState::Quit, "QUIT");
    return {};
  }
  socket.SetText("QUIT" + LineEnd);
  return Close(socket);
}

SmtpTurn SmtpSession::SmtpError(SmtpSocket& socket, const std::string& message) {
  const SmtpState state = state_;
  if (state == SmtpState::Idle) {
    return {SmtpTurn::Kind::Notice, {SmtpHalt::Kind::UnexpectedEnd, message, state, false}};
  }
  if (halted_) {
    // The halt is being shown; the connection is gone, so there is nothing to QUIT.
    lostWhileHalted_ = true;
    return {};
  }
  if (state == SmtpState::Quit && outcome_.failed) {
    // The conversation was already ending after a refusal that has been shown: the same
    // trouble again, not worth a box of its own.
    return Close(socket);
  }
  std::string why = message == "TimeOut"
                        ? "the server stopped answering after " + std::string(SmtpStepName(state))
                        : message;
  // Whatever text waited goes with the error into one reply, as received.
  std::string shown = std::exchange(replyBuffer_, {}) + "500 " + message + LineEnd;
  return EndUnexpectedly(std::move(shown), std::move(why));
}

SmtpTurn SmtpSession::ConnectionClosed(SmtpSocket& socket) {
  const SmtpState state = state_;
  if (state == SmtpState::Idle) return {};
  if (halted_) {
    lostWhileHalted_ = true;
    return {};
  }
  if (state != SmtpState::Quit) {
    // Closed in the middle of the conversation. After the data's end mark this is the one
    // unavoidable double: the server may have taken the message before it closed, but
    // without its reply the message stays queued, as a duplicate beats a loss.
    Fail("the server closed the connection after " + std::string(SmtpStepName(state)));
  }
  return Close(socket);
}

}  // namespace pelorin
