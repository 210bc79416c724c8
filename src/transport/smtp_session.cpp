#include "transport/smtp_session.h"

#include <QByteArray>
#include <algorithm>
#include <optional>
#include <utility>

#include "transport/mime_transfer.h"
#include "transport/recipients.h"
#include "transport/shared_data.h"
#include "transport/smtp_address.h"
#include "transport/smtp_command_text.h"
#include "transport/smtp_data.h"
#include "transport/smtp_reply.h"
#include "transport/smtp_session_rules.h"
#include "transport/tls_channel.h"

namespace pelorin {
namespace {

using namespace smtp_rules;

std::string Base64(std::string_view text) {
  return QByteArray(text.data(), static_cast<qsizetype>(text.size())).toBase64().toStdString();
}

std::string JoinedMethods(const std::vector<std::string>& methods) {
  std::string joined;
  for (const std::string& method : methods) joined += (joined.empty() ? "" : ", ") + method;
  return joined;
}

constexpr const char* kNoStartTls =
    "The server does not offer STARTTLS, so the mail cannot be sent securely. Nothing was "
    "sent; the messages stay queued.";
constexpr const char* kSignInInPlainText =
    "A user name is set, but the connection to the server is not encrypted, and a password is "
    "never sent in plain text. Choose STARTTLS or SSL/TLS in the advanced settings; the "
    "messages stay queued.";

std::string NoKnownSignIn(const EhloExtensions& extensions) {
  if (extensions.authMethods.empty()) {
    return "The server does not offer to sign in (no AUTH in its reply to EHLO), but a user "
           "name is set. The messages stay queued.";
  }
  return "The server offers no sign-in method this program knows (PLAIN, LOGIN); it offers " +
         JoinedMethods(extensions.authMethods) + ". The messages stay queued.";
}

std::string NotSmtpProblem(std::string_view line) {
  return "The server's answer is not SMTP, so the conversation ends here: \"" +
         WithLineBreaksShown(line) + "\"";
}

}  // namespace

// --- Starting ---

void SmtpSession::Prepare(SmtpSocket& socket, const std::string& server, const std::string& port,
                          SmtpOptions options) {
  options_ = std::move(options);
  extensions_ = {};
  secured_ = options_.security == SmtpSecurity::Tls;  // the socket secures it before the greeting
  // OpenSSL loads while the connection is being made, instead of after the server's answer.
  if (options_.security != SmtpSecurity::None) PreloadTlsModule();
  signedIn_ = false;
  authMethod_.clear();
  pipelining_ = false;
  pending_.clear();
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
  // This text came before anything this call sends: only commands sent so far can have
  // their replies in it.
  const std::size_t owed = RepliesOwed();
  replyBuffer_ += text;
  if (state_ == SmtpState::Idle || halted_) {
    // Nothing asked for it: text without a conversation, or while a halt is being shown,
    // answers no command of ours and is dropped once it is a whole line.
    if (replyBuffer_.find('\n') != std::string::npos || replyBuffer_.size() > kSmtpReplyLimit) {
      replyBuffer_.clear();
    }
    return {};
  }
  if (pipelining_) return TakePipelinedReplies(socket, owed);
  if (SmtpReplyCompleteAfter(replyBuffer_, waiting)) {
    return Answer(socket, std::exchange(replyBuffer_, {}));
  }
  if (replyBuffer_.size() <= kSmtpReplyLimit) return {};
  replyBuffer_.clear();
  return SmtpError(socket, OverflowProblem());
}

SmtpTurn SmtpSession::Answer(SmtpSocket& socket, const std::string& reply) {
  waitedPast_ = false;
  if (const std::optional<std::string_view> odd = FirstNonSmtpLine(reply)) {
    return EndUnexpectedly(NotSmtpProblem(*odd), "the server's answer is not SMTP");
  }
  const SmtpTurn turn = AnswerInState(socket, SmtpReplyCode(reply), reply);
  if (!waitedPast_) ++steps_;
  return turn;
}

SmtpTurn SmtpSession::AnswerInState(SmtpSocket& socket, int code, const std::string& reply) {
  switch (state_) {
    case SmtpState::Greeting:
      return AnswerGreeting(socket, code, reply);
    case SmtpState::Helo:
      return AnswerHelo(socket, code, reply);
    case SmtpState::MailFrom:
      if (!pending_.empty()) return AnswerPipelined(socket, code, reply);
      return AnswerMailFrom(socket, code, reply);
    case SmtpState::RcptTo:
      if (!pending_.empty()) return AnswerPipelined(socket, code, reply);
      return AnswerRcptTo(socket, code, reply);
    case SmtpState::Data:
      if (!pending_.empty()) return AnswerPipelined(socket, code, reply);
      return AnswerData(socket, code, reply);
    case SmtpState::MessageData:
      if (!pending_.empty()) return AnswerPipelined(socket, code, reply);
      return AnswerMessageData(socket, code, reply);
    case SmtpState::Quit:
      return AnswerQuit(socket, code, reply);
    case SmtpState::Ehlo:
      return AnswerEhlo(socket, code, reply);
    case SmtpState::StartTls:
      return AnswerStartTls(socket, code, reply);
    case SmtpState::Auth:
    case SmtpState::AuthUserName:
    case SmtpState::AuthPassword:
      return AnswerAuth(socket, code, reply);
    case SmtpState::Handshake:  // nothing is read while the socket shakes hands
    case SmtpState::Idle:
      break;
  }
  return WaitPast();
}

// A reply that answers no command: the conversation waits on in the same step.
SmtpTurn SmtpSession::WaitPast() {
  waitedPast_ = true;
  return {};
}

// How many replies the server still owes: one per command sent and not yet answered.
std::size_t SmtpSession::RepliesOwed() const {
  if (!pending_.empty()) return pending_.size();
  const SmtpState state = state_;
  return state == SmtpState::Idle || state == SmtpState::Handshake ? 0 : 1;
}

// More replies than commands: whatever they meant, the replies can no longer be matched to
// the commands, and reading them as the answers to later ones would misreport the messages.
SmtpTurn SmtpSession::AnswerOutOfTurn(const std::string& reply) {
  return EndUnexpectedly(reply +
                             "\r\nThe server answered out of turn (more replies than commands "
                             "sent), so the conversation ends here. The messages stay queued.",
                         "the server answered out of turn");
}

// --- Answering replies, one function for each state ---
// Before a message's transaction every 4xx and 5xx is a refusal that keeps the messages
// queued; a reply outside those ranges is waited past, as the server may add more.

SmtpTurn SmtpSession::AnswerGreeting(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 220) return Greet(socket);
  if (IsTransientOrPermanentFailure(code)) return Refuse(reply, false);
  return WaitPast();
}

SmtpTurn SmtpSession::Greet(SmtpSocket& socket) {
  const std::string hostName = WithoutLineBreaksOrNul(socket.HeloName());
  if (options_.UsesEhlo()) {
    SendCommand(socket, SmtpState::Ehlo, "EHLO " + hostName);
  } else {
    SendCommand(socket, SmtpState::Helo, "HELO " + hostName);
  }
  return {};
}

SmtpTurn SmtpSession::AnswerEhlo(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) {
    extensions_ = ParseEhloReply(reply);
    pipelining_ = extensions_.Has("PIPELINING");
    return AfterExtensions(socket);
  }
  if (!IsTransientOrPermanentFailure(code)) return WaitPast();
  // A server that knows no EHLO still takes HELO, when nothing needs an extension.
  const bool needsExtensions =
      options_.security == SmtpSecurity::StartTls || !options_.userName.empty();
  if (code >= 500 && !needsExtensions) {
    SendCommand(socket, SmtpState::Helo, "HELO " + WithoutLineBreaksOrNul(socket.HeloName()));
    return {};
  }
  return Refuse(reply, false);
}

// After EHLO: secure the connection, then sign in, then the messages.
SmtpTurn SmtpSession::AfterExtensions(SmtpSocket& socket) {
  if (options_.security == SmtpSecurity::StartTls && !secured_) {
    if (!extensions_.Has("STARTTLS")) {
      return Halt(SmtpHalt::Kind::Refusal, kNoStartTls, false,
                  "the server does not offer STARTTLS");
    }
    SendCommand(socket, SmtpState::StartTls, "STARTTLS");
    return {};
  }
  if (!options_.userName.empty() && !signedIn_) return SignIn(socket);
  return BeginNextMessage(socket);
}

SmtpTurn SmtpSession::AnswerStartTls(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 220) {
    // Whatever came with the 220 was sent before the connection was secured: it is dropped
    // with this reply and never read as an answer (a server, or someone between, could
    // otherwise answer in plain text for the secured conversation).
    replyBuffer_.clear();
    state_ = SmtpState::Handshake;
    socket.StartTls();
    return {};
  }
  if (!IsTransientOrPermanentFailure(code)) return WaitPast();
  return Halt(SmtpHalt::Kind::Refusal,
              reply +
                  "\r\nThe server refused STARTTLS, so the mail cannot be sent securely. "
                  "Nothing was sent; the messages stay queued.",
              false, "the server refused STARTTLS");
}

SmtpTurn SmtpSession::TlsEstablished(SmtpSocket& socket) {
  if (state_ != SmtpState::Handshake) return {};
  secured_ = true;
  extensions_ = {};  // the list sent in plain text is not to be trusted
  pipelining_ = false;
  SendCommand(socket, SmtpState::Ehlo, "EHLO " + WithoutLineBreaksOrNul(socket.HeloName()));
  return {};
}

// PLAIN, else LOGIN; never over a connection that is not encrypted.
SmtpTurn SmtpSession::SignIn(SmtpSocket& socket) {
  if (!secured_) {
    return Halt(SmtpHalt::Kind::Refusal, kSignInInPlainText, false,
                "a password is never sent in plain text");
  }
  authMethod_ = ChooseAuthMethod(extensions_);
  if (authMethod_.empty()) {
    return Halt(SmtpHalt::Kind::Refusal, NoKnownSignIn(extensions_), false,
                "the server offers no sign-in method this program knows");
  }
  if (authMethod_ == "PLAIN") {
    const std::string credentials =
        std::string(1, '\0') + options_.userName + std::string(1, '\0') + options_.password;
    SendCommand(socket, SmtpState::Auth, "AUTH PLAIN " + Base64(credentials));
  } else {
    SendCommand(socket, SmtpState::Auth, "AUTH LOGIN");
  }
  return {};
}

SmtpTurn SmtpSession::AnswerAuth(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 235) {
    signedIn_ = true;
    return BeginNextMessage(socket);
  }
  if (code == 334) return AnswerChallenge(socket, reply);
  if (!IsTransientOrPermanentFailure(code)) return WaitPast();
  return RefuseSignIn(reply);
}

// The challenges a method answers are bounded: PLAIN gives everything with its command, LOGIN
// answers two (the user name, then the password). A server that asks for more would keep the
// send waiting for ever, a challenge at a time.
SmtpTurn SmtpSession::AnswerChallenge(SmtpSocket& socket, const std::string& reply) {
  if (authMethod_ == "LOGIN" && state_ == SmtpState::Auth) {
    SendCommand(socket, SmtpState::AuthUserName, Base64(options_.userName));
    return {};
  }
  if (authMethod_ == "LOGIN" && state_ == SmtpState::AuthUserName) {
    SendCommand(socket, SmtpState::AuthPassword, Base64(options_.password));
    return {};
  }
  return EndUnexpectedly(reply + "\r\nThe server asked for more to sign in than the " +
                             authMethod_ +
                             " method gives, so the conversation ends here. The messages stay "
                             "queued.",
                         "the server kept asking for more to sign in");
}

SmtpTurn SmtpSession::RefuseSignIn(const std::string& reply) {
  if (SmtpReplyCode(reply) == 535) {
    outcome_.signInRefused = true;
    return Halt(SmtpHalt::Kind::Refusal,
                reply +
                    "\r\nThe server refused the user name or the password. The messages "
                    "stay queued; the password is asked for again at the next send.",
                false, "the server refused the user name or password");
  }
  return Refuse(reply, false);
}

SmtpTurn SmtpSession::AnswerHelo(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) return BeginNextMessage(socket);
  if (IsTransientOrPermanentFailure(code)) return Refuse(reply, false);
  return WaitPast();
}

SmtpTurn SmtpSession::AnswerMailFrom(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) return SendRcptTo(socket);
  if (IsTransientOrPermanentFailure(code)) return Refuse(reply, false);
  return WaitPast();
}

// One RCPT TO per recipient; the message goes to those the server accepts, and only when it
// refuses every one is the message refused, as a message of one recipient always was.
SmtpTurn SmtpSession::AnswerRcptTo(SmtpSocket& socket, int code, const std::string& reply) {
  CountRecipientReply(code, reply);
  if (++rcptIndex_ < recipients_.size()) return SendNextRcptTo(socket);
  if (rcptAccepted_ == 0) return Refuse(lastRcptReply_, rcptAllPermanent_);
  SendCommand(socket, SmtpState::Data, "DATA");
  return {};
}

void SmtpSession::StartRecipients(const OutboxMessage& message) {
  recipients_ = SplitRecipients(message.recipient);
  rcptIndex_ = 0;
  rcptAccepted_ = 0;
  rcptAllPermanent_ = true;
  lastRcptReply_.clear();
  rcptRefusals_.clear();
  rcptDeferred_.clear();
  rcptDeferrals_.clear();
}

void SmtpSession::CountRecipientReply(int code, const std::string& reply) {
  if (code == 250 || code == 251) {
    ++rcptAccepted_;
    return;
  }
  lastRcptReply_ = reply;
  rcptAllPermanent_ = rcptAllPermanent_ && DropsMessage(code);
  const std::string firstLine = reply.substr(0, reply.find_first_of("\r\n"));
  const std::string& recipient = recipients_[std::min(rcptIndex_, recipients_.size() - 1)];
  if (!DropsMessage(code)) {
    rcptDeferred_.push_back(recipient);
    rcptDeferrals_.push_back(recipient + ": " + firstLine);
    return;
  }
  rcptRefusals_.push_back(recipient + ": " + firstLine);
}

// The server took the head message: it leaves the outbox, or stays for the recipients refused
// for now alone, and any recipient it refused is named to the user.
SmtpTurn SmtpSession::AcceptHead(SmtpSocket& socket) {
  if (!outbox_.Empty()) {
    outcome_.accepted.push_back(outbox_.Head().id);
    if (rcptDeferred_.empty()) {
      outbox_.TakeHead();
    } else {
      outbox_.SetAsideHead(rcptDeferred_);  // still owed to those refused for now
    }
  }
  outcome_.refusedRecipients.insert(outcome_.refusedRecipients.end(), rcptRefusals_.begin(),
                                    rcptRefusals_.end());
  outcome_.deferredRecipients.insert(outcome_.deferredRecipients.end(), rcptDeferrals_.begin(),
                                     rcptDeferrals_.end());
  rcptRefusals_.clear();
  rcptDeferrals_.clear();
  rcptDeferred_.clear();
  return pipelining_ ? BeginPipelinedMessage(socket) : BeginNextMessage(socket);
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
  return AcceptHead(socket);
}

SmtpTurn SmtpSession::AnswerQuit(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 221) return Close(socket);
  return EndUnexpectedly(reply, "the server did not answer QUIT as expected");
}

// --- The commands ---

void SmtpSession::SendCommand(SmtpSocket& socket, SmtpState next, const std::string& command) {
  state_ = next;
  ++steps_;
  socket.SetText(command + LineEnd);
}

// MAIL FROM for the message at the head of the outbox, or QUIT when none is left.
SmtpTurn SmtpSession::BeginNextMessage(SmtpSocket& socket) {
  if (outbox_.Empty()) {
    SendCommand(socket, SmtpState::Quit, "QUIT");
    return {};
  }
  if (HasLineBreakOrNul(SenderAddress))
    return Halt(SmtpHalt::Kind::Refusal, SenderProblem(), false,
                "the sender address holds a line break");
  if (pipelining_) return BeginPipelinedMessage(socket);
  if (std::optional<SmtpTurn> refusal = RefuseUnsendableAddress(outbox_.Head())) return *refusal;
  // As it goes on the wire: 8bit text only to a server that takes it, else quoted-printable.
  changedTransferText_ = ChangedTransferForm(outbox_.Head().text, extensions_.Has("8BITMIME"));
  const std::size_t size = HeadTransferText().size();
  if (extensions_.sizeLimit != 0 && size > extensions_.sizeLimit) return RefuseTooLarge(size);
  SendCommand(socket, SmtpState::MailFrom, MailFromCommand(outbox_.Head(), HeadTransferText()));
  return {};
}

std::size_t SmtpSession::SizeBeyondLimit(const OutboxMessage& message) const {
  if (extensions_.sizeLimit == 0) return 0;
  const std::optional<std::string> changed =
      ChangedTransferForm(message.text, extensions_.Has("8BITMIME"));
  const std::size_t size = changed ? changed->size() : message.text.size();
  return size > extensions_.sizeLimit ? size : 0;
}

SmtpTurn SmtpSession::RefuseTooLarge(std::size_t size) {
  return Halt(SmtpHalt::Kind::Refusal, TooLargeProblem(extensions_.sizeLimit, size), true,
              "the message is larger than the server takes");
}

// Parameters only as the server announced them: BODY=8BITMIME for text with bytes above 127
// (a server greeted with HELO announces nothing), SMTPUTF8 for an address beyond ASCII.
std::string SmtpSession::MailFromCommand(const OutboxMessage& message,
                                         std::string_view transferText) const {
  std::string command = "MAIL FROM: <" + WireAddress(SenderAddress).value_or(SenderAddress) + ">";
  if (extensions_.Has("8BITMIME") && IsEightBit(transferText)) command += " BODY=8BITMIME";
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

// A sender that cannot go keeps the messages queued (the settings can be corrected); a
// recipient that cannot go to this server refuses its message for good.
std::optional<SmtpTurn> SmtpSession::RefuseUnsendableAddress(const OutboxMessage& message) {
  bool senderAtFault = false;
  std::optional<std::string> shown = UnsendableAddress(message, &senderAtFault);
  if (!shown) return std::nullopt;
  if (senderAtFault) {
    return Halt(SmtpHalt::Kind::Refusal,
                *shown + " Correct the sender address in the settings; the messages stay queued.",
                false, "the sender address cannot be given to this server");
  }
  return Halt(SmtpHalt::Kind::Refusal,
              *shown + " The message to it cannot be sent; it is taken out of the outbox.", true,
              "a recipient address cannot be given to this server");
}

// Addresses with line breaks are refused where their command would go, as before.
std::optional<std::string> SmtpSession::UnsendableAddress(const OutboxMessage& message,
                                                          bool* senderAtFault) const {
  const bool takesUtf8 = extensions_.Has("SMTPUTF8");
  const auto problem = [takesUtf8](const std::string& address) -> std::optional<std::string> {
    if (HasLineBreakOrNul(address)) return std::nullopt;
    const std::optional<std::string> wire = WireAddress(address);
    if (!wire) return AddressProblem(address, true);
    if (pelorin::NeedsSmtpUtf8(*wire) && !takesUtf8) return AddressProblem(address, false);
    return std::nullopt;
  };
  *senderAtFault = true;
  if (std::optional<std::string> sender = problem(SenderAddress)) return sender;
  *senderAtFault = false;
  for (const std::string& recipient : SplitRecipients(message.recipient)) {
    if (std::optional<std::string> shown = problem(recipient)) return shown;
  }
  return std::nullopt;
}

SmtpTurn SmtpSession::SendRcptTo(SmtpSocket& socket) {
  if (outbox_.Empty()) {
    SendCommand(socket, SmtpState::Quit, "QUIT");
    return {};
  }
  StartRecipients(outbox_.Head());
  return SendNextRcptTo(socket);
}

SmtpTurn SmtpSession::SendNextRcptTo(SmtpSocket& socket) {
  const std::string& recipient = recipients_[rcptIndex_];
  if (HasLineBreakOrNul(recipient)) {
    return Halt(SmtpHalt::Kind::Refusal, RecipientProblem(recipient), true,
                "the recipient address holds a line break");
  }
  SendCommand(socket, SmtpState::RcptTo,
              "RCPT TO: <" + WireAddress(recipient).value_or(recipient) + ">");
  return {};
}

std::string_view SmtpSession::HeadTransferText() const {
  if (changedTransferText_) return *changedTransferText_;
  return outbox_.Head().text;
}

void SmtpSession::SendMessageData(SmtpSocket& socket) {
  state_ = SmtpState::MessageData;
  socket.SetText(StartMessageData(socket));
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
  std::string_view rest = HeadTransferText();
  while (rest.size() > kInPlacePiece + kWithTheEndMark && !socket.TextWaiting()) {
    const std::size_t piece =
        SmtpDataUnchangedLength(rest, std::min(kInPlacePiece, rest.size() - kWithTheEndMark));
    if (piece == 0) break;
    socket.SetTextView(rest.substr(0, piece));
    rest.remove_prefix(piece);
  }
  return SmtpDataText(rest);
}

// --- Stopping and ending ---

void SmtpSession::Fail(std::string why) {
  if (!outcome_.failed) outcome_.failure = std::move(why);
  outcome_.failed = true;
}

SmtpTurn SmtpSession::Halt(SmtpHalt::Kind kind, std::string shown, bool dropsMessage,
                           std::string why) {
  Fail(std::move(why));
  halt_ = {kind, std::move(shown), state_, dropsMessage};
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
  // Disconnect first: a failure it reports still belongs to this conversation.
  socket.Disconnect();
  pending_.clear();
  state_ = SmtpState::Idle;
  halted_ = false;
  replyBuffer_.clear();
  return {SmtpTurn::Kind::Over, {}};
}

SmtpTurn SmtpSession::Abort(SmtpSocket& socket, const std::string& why) {
  if (state_ == SmtpState::Idle) return {};
  Fail(why);
  return Close(socket);
}

SmtpTurn SmtpSession::GoOn(SmtpSocket& socket) {
  if (!halted_) return {};
  halted_ = false;
  // A part line that came while halted answered nothing: joined to the answer to QUIT, it
  // would end the conversation a second time.
  replyBuffer_.clear();
  // Still stored: its owner forgets it once the text is safe elsewhere.
  if (halt_.dropsMessage && !outbox_.Empty()) {
    outcome_.dropped.push_back(outbox_.TakeHeadStillStored());
  }
  // With commands still in flight a QUIT could be read as message data: the connection is
  // closed instead, which makes the server drop whatever it took of an unfinished message.
  if (lostWhileHalted_ || !pending_.empty()) return Close(socket);
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

SmtpTurn SmtpSession::StepOverdue(SmtpSocket& socket) {
  return SmtpError(socket, "No final reply after " + std::string(SmtpStepName(state_)) +
                               " within the time-out, although the server kept sending");
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
