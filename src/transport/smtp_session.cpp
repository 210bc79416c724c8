#include "transport/smtp_session.h"

#include <algorithm>
#include <initializer_list>
#include <mutex>
#include <utility>
#include <vector>

#include "os/msgbox.h"
#include "transport/shared_data.h"
#include "transport/smtp_command_text.h"
#include "transport/smtp_data.h"
#include "transport/smtp_reply.h"

namespace pelorin {

std::atomic<int> SmtpState{0};
std::string ReplyBuffer;

namespace {

enum : int {
  kNoConversation = 0,
  kAwaitingGreeting = 1,
  kHeloSent = 2,
  kMailFromSent = 3,
  kRcptToSent = 4,
  kDataSent = 5,
  kMessageSent = 6,
  kQuitSent = 7,
};

// Guards ReplyBuffer and the outcome: SmtpStartSession runs on the send workflow's worker
// thread, everything else on the user-interface thread. Never held across a box or a socket
// call, since both can enter the session again.
std::mutex g_mutex;
SmtpOutcome g_outcome;

// Tell whether something else took the conversation over while a box was open or a send ran.
std::atomic<unsigned> g_sessionCount{0};  // conversations begun (and resets)
std::atomic<unsigned> g_removalCount{0};  // messages taken out of the outbox

// Where the conversation stood before a box or a send. A message box keeps events flowing and
// a failed send reports through SmtpError at once, so either may run the session again.
struct Moment {
  unsigned session;
  int state;
  unsigned removals;
};

Moment Now() {
  return {g_sessionCount.load(), SmtpState.load(), g_removalCount.load()};
}

bool StillAt(const Moment& moment) {
  return g_sessionCount == moment.session && SmtpState == moment.state;
}

// Entry 0 of the outbox is still the message that was current at `moment`, and no other
// transaction has started with it since.
bool HeadMessageUntouchedSince(const Moment& moment) {
  return g_sessionCount == moment.session && g_removalCount == moment.removals &&
         (SmtpState == moment.state || SmtpState == kNoConversation);
}

template <typename Change>
void UpdateOutcome(Change change) {
  std::lock_guard lock(g_mutex);
  change(g_outcome);
}

void BeginAfresh(int state) {
  std::lock_guard lock(g_mutex);
  ++g_sessionCount;
  SmtpState = state;
  ReplyBuffer.clear();
  g_outcome = {};
}

// --- The outbox ---

bool MessageQueued() {
  return !OutboxBodies.empty() && !OutboxRecipients.empty();
}

void RemoveHeadMessage() {
  OutboxBodies.erase(OutboxBodies.begin());
  OutboxRecipients.erase(OutboxRecipients.begin());
  ++g_removalCount;
}

void AcceptHeadMessage() {
  if (!MessageQueued()) return;
  RemoveHeadMessage();
  UpdateOutcome([](SmtpOutcome& outcome) { ++outcome.accepted; });
}

void DropHeadMessage() {
  if (!MessageQueued()) return;
  RemoveHeadMessage();
  UpdateOutcome([](SmtpOutcome& outcome) { ++outcome.dropped; });
}

// --- What the user is told about problems found here rather than by the server ---

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

// --- Ending a conversation ---

// A refusal 500 to 599 of a message's recipient, DATA or data: it can never go as it stands.
enum class Refusal { KeepsMessage, DropsMessage };

Refusal RefusalOfMessage(int code) {
  return code >= 500 && code <= 599 ? Refusal::DropsMessage : Refusal::KeepsMessage;
}

// The state goes first, so that an error raised by the send finds it in place.
void SendCommand(SmtpSocket& socket, int nextState, const std::string& command) {
  SmtpState = nextState;
  socket.SetText(command + LineEnd);
}

// Shows the refusal, then asks the server to end; its 221 ends the conversation.
void Fail(SmtpSocket& socket, const std::string& shown, Refusal refusal) {
  const Moment before = Now();
  UpdateOutcome([](SmtpOutcome& outcome) { outcome.failed = true; });
  os::ShowMessage(shown);
  if (refusal == Refusal::DropsMessage && HeadMessageUntouchedSince(before)) DropHeadMessage();
  if (!StillAt(before)) return;  // whatever ran while the box was open has dealt with it
  SendCommand(socket, kQuitSent, "QUIT");
}

// Shows what ended the conversation and closes the connection from this side.
void EndUnexpectedly(SmtpSocket& socket, const std::string& shown) {
  const Moment before = Now();
  UpdateOutcome([](SmtpOutcome& outcome) { outcome.failed = true; });
  os::ShowMessage(shown);
  if (!StillAt(before)) return;
  SendCommand(socket, kNoConversation, "QUIT");
  if (g_sessionCount != before.session) return;  // the socket now carries a new conversation
  socket.Disconnect();
}

// --- The commands ---

void SendHelo(SmtpSocket& socket) {
  SendCommand(socket, kHeloSent, "HELO " + WithoutLineBreaksOrNul(socket.LocalHostName()));
}

// MAIL FROM for the message at the head of the outbox, or QUIT when none is left.
void BeginNextMessage(SmtpSocket& socket) {
  if (!MessageQueued()) {
    SendCommand(socket, kQuitSent, "QUIT");
  } else if (HasLineBreakOrNul(SenderAddress)) {
    Fail(socket, SenderProblem(), Refusal::KeepsMessage);
  } else {
    SendCommand(socket, kMailFromSent, "MAIL FROM: <" + SenderAddress + ">");
  }
}

void SendRcptTo(SmtpSocket& socket) {
  if (!MessageQueued()) {
    SendCommand(socket, kQuitSent, "QUIT");
    return;
  }
  const std::string recipient = OutboxRecipients.front();
  if (HasLineBreakOrNul(recipient)) {
    Fail(socket, RecipientProblem(recipient), Refusal::DropsMessage);
  } else {
    SendCommand(socket, kRcptToSent, "RCPT TO: <" + recipient + ">");
  }
}

void SendMessageData(SmtpSocket& socket) {
  std::vector<std::string> blocks =
      SmtpDataBlocks(MessageQueued() ? OutboxBodies.front() : std::string());
  const Moment sending = Now();
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    socket.SetText(blocks[i]);
    if (!StillAt(sending)) return;  // the send failed and the error ended the conversation
  }
  // The end mark goes with the last block, as one text: sent on its own it reached the server
  // as a segment of its own, which now and then held the server's acceptance back.
  SmtpState = kMessageSent;
  socket.SetText(blocks.empty() ? kSmtpEndOfData : blocks.back() + kSmtpEndOfData);
}

// --- Answering replies, one function for each state ---

bool IsOneOf(int code, std::initializer_list<int> codes) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

void AnswerGreeting(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 220) {
    SendHelo(socket);
  } else if (code == 421) {
    Fail(socket, reply, Refusal::KeepsMessage);
  }
}

void AnswerHelo(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) {
    BeginNextMessage(socket);
  } else if (IsOneOf(code, {421, 500, 501, 504})) {
    Fail(socket, reply, Refusal::KeepsMessage);
  }
}

void AnswerMailFrom(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) {
    SendRcptTo(socket);
  } else if (IsOneOf(code, {421, 451, 452, 500, 501, 552, 553})) {
    Fail(socket, reply, Refusal::KeepsMessage);
  }
}

void AnswerRcptTo(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250 || code == 251) {
    SendCommand(socket, kDataSent, "DATA");
  } else {
    Fail(socket, reply, RefusalOfMessage(code));
  }
}

void AnswerData(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 354) {
    SendMessageData(socket);
  } else {
    Fail(socket, reply, RefusalOfMessage(code));
  }
}

void AnswerMessageData(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) {
    AcceptHeadMessage();
    BeginNextMessage(socket);
  } else {
    Fail(socket, reply, RefusalOfMessage(code));
  }
}

void AnswerQuit(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 221) {
    SmtpState = kNoConversation;
  } else {
    EndUnexpectedly(socket, reply);
  }
}

void AnswerReply(SmtpSocket& socket, const std::string& reply) {
  const int code = SmtpReplyCode(reply);
  switch (SmtpState.load()) {
    case kAwaitingGreeting:
      return AnswerGreeting(socket, code, reply);
    case kHeloSent:
      return AnswerHelo(socket, code, reply);
    case kMailFromSent:
      return AnswerMailFrom(socket, code, reply);
    case kRcptToSent:
      return AnswerRcptTo(socket, code, reply);
    case kDataSent:
      return AnswerData(socket, code, reply);
    case kMessageSent:
      return AnswerMessageData(socket, code, reply);
    case kQuitSent:
      return AnswerQuit(socket, code, reply);
    default:
      return;  // no conversation under way: the reply is dropped
  }
}

// --- Taking in received text ---

enum class Intake { Waiting, Complete, Overflow };

// Appends `text` to ReplyBuffer. A complete reply is taken out before it is answered, so that
// text arriving while a box is open starts the next reply instead of joining this one.
Intake TakeIn(const std::string& text, std::string& reply) {
  std::lock_guard lock(g_mutex);
  const std::size_t waiting = ReplyBuffer.size();
  ReplyBuffer += text;
  if (SmtpReplyCompleteAfter(ReplyBuffer, waiting)) {
    reply = std::exchange(ReplyBuffer, {});
    return Intake::Complete;
  }
  if (ReplyBuffer.size() <= kSmtpReplyLimit) return Intake::Waiting;
  ReplyBuffer.clear();
  return Intake::Overflow;
}

// The error as a reply of its own, after whatever text waited.
std::string TakeInError(const std::string& message) {
  std::lock_guard lock(g_mutex);
  ReplyBuffer += "500 " + message + LineEnd;
  return std::exchange(ReplyBuffer, {});
}

}  // namespace

void SmtpStartSession(SmtpSocket& socket, const std::string& server, const std::string& port) {
  socket.SetIPAddr(server);
  socket.SetPort(port.empty() ? "25" : port);
  BeginAfresh(kAwaitingGreeting);
  socket.SConnect();
}

void SmtpHandleReply(SmtpSocket& socket, const std::string& text) {
  std::string reply;
  switch (TakeIn(text, reply)) {
    case Intake::Waiting:
      return;
    case Intake::Overflow:
      return SmtpError(socket, OverflowProblem());
    case Intake::Complete:
      return AnswerReply(socket, reply);
  }
}

void SmtpError(SmtpSocket& socket, const std::string& message) {
  if (SmtpState == kNoConversation) {
    os::ShowMessage(message);
    return;
  }
  SmtpState = kQuitSent;
  // Always the unexpected end, even when the text that waited began with "221".
  EndUnexpectedly(socket, TakeInError(message));
}

SmtpOutcome SmtpLastOutcome() {
  std::lock_guard lock(g_mutex);
  return g_outcome;
}

void SmtpResetSession() {
  BeginAfresh(kNoConversation);
}

}  // namespace pelorin
