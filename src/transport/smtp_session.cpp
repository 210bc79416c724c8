#include "transport/smtp_session.h"

#include <QByteArray>
#include <algorithm>
#include <optional>
#include <utility>

#include "transport/sasl_oauth.h"
#include "transport/shared_data.h"
#include "transport/sign_in_advice.h"
#include "transport/smtp_command_text.h"
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

constexpr const char* kTokenInPlainText =
    "OAuth2 sign-in is chosen, but the connection to the server is not encrypted, and a "
    "sign-in token is never sent in plain text. Choose STARTTLS or SSL/TLS in the advanced "
    "settings; the messages stay queued.";

std::string NoTokenSignIn(const EhloExtensions& extensions) {
  const std::string offered =
      extensions.authMethods.empty() ? "no sign-in at all" : JoinedMethods(extensions.authMethods);
  return "OAuth2 sign-in is chosen, but the server offers neither OAUTHBEARER nor XOAUTH2; it "
         "offers " +
         offered + ". The messages stay queued.";
}

// The challenge's text: the first line after "334 ".
std::string ChallengeText(const std::string& reply) {
  const std::string line = reply.substr(0, reply.find_first_of("\r\n"));
  return line.size() > 4 ? line.substr(4) : std::string();
}

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
  tokenError_.clear();
  server_ = server;
  port_ = port.empty() ? "25" : port;
  pipelining_ = false;
  transferFor_.reset();
  socket.SetIPAddr(server);
  socket.SetPort(port.empty() ? "25" : port);
  replyBuffer_.clear();
  outcome_ = {};
  halt_ = {};
  halted_ = false;
  lostWhileHalted_ = false;
  awaited_ = {SmtpState::Greeting};
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
  awaited_.clear();
  state_ = SmtpState::Idle;
}

// --- Taking in received text ---

SmtpTurn SmtpSession::SmtpHandleReply(SmtpSocket& socket, std::string_view text) {
  const std::size_t waiting = replyBuffer_.size();
  // This text came before anything this call sends: only commands sent so far can have
  // their replies in it.
  const std::size_t owed = awaited_.size();
  replyBuffer_ += text;
  if (state_ == SmtpState::Idle || halted_) {
    // Nothing asked for it: text without a conversation, or while a halt is being shown,
    // answers no command of ours and is dropped once it is a whole line.
    if (replyBuffer_.find('\n') != std::string::npos || replyBuffer_.size() > kSmtpReplyLimit) {
      replyBuffer_.clear();
    }
    return {};
  }
  return TakeReplies(socket, waiting, owed);
}

// Answers every complete reply that waits, one by one, until one stops the conversation; at
// most `owed` of them can answer a command.
SmtpTurn SmtpSession::TakeReplies(SmtpSocket& socket, std::size_t knownIncomplete,
                                  std::size_t owed) {
  SmtpTurn turn;
  while (const std::size_t length = NextReplyLength(knownIncomplete)) {
    const std::string reply = replyBuffer_.substr(0, length);
    replyBuffer_.erase(0, length);
    knownIncomplete = 0;
    if (pipelining_ && owed == 0) return AnswerOutOfTurn(reply);
    turn = Answer(socket, reply);
    if (!waitedPast_ && owed > 0) --owed;
    if (turn.kind != SmtpTurn::Kind::Going || halted_ || state_ == SmtpState::Idle) return turn;
  }
  if (replyBuffer_.size() <= kSmtpReplyLimit) return turn;
  replyBuffer_.clear();
  return SmtpError(socket, OverflowProblem());
}

// Lock-step, the whole of the text received is the one reply awaited once its last line ends
// a reply, as the plain conversation always read it; pipelined, the replies are cut apart.
std::size_t SmtpSession::NextReplyLength(std::size_t knownIncomplete) const {
  if (pipelining_) return SmtpFirstReplyLength(replyBuffer_);
  return SmtpReplyCompleteAfter(replyBuffer_, knownIncomplete) ? replyBuffer_.size() : 0;
}

SmtpTurn SmtpSession::Answer(SmtpSocket& socket, const std::string& reply) {
  waitedPast_ = false;
  if (const std::optional<std::string_view> odd = FirstNonSmtpLine(reply)) {
    return EndUnexpectedly(NotSmtpProblem(*odd), "the server's answer is not SMTP");
  }
  const SmtpTurn turn = AnswerAwaited(socket, SmtpReplyCode(reply), reply);
  if (!waitedPast_) ++steps_;
  return turn;
}

// The reply answers the oldest command awaited. A halt names that command's step; once it is
// answered, the state moves on to the next reply awaited.
SmtpTurn SmtpSession::AnswerAwaited(SmtpSocket& socket, int code, const std::string& reply) {
  if (awaited_.empty()) return WaitPast();  // nothing is read while the socket shakes hands
  const SmtpState step = awaited_.front();
  if (pipelining_ && ContradictsCommand(step, code)) return AnswerOutOfTurn(reply);
  awaited_.pop_front();
  const SmtpTurn turn = AnswerStep(socket, step, code, reply);
  if (waitedPast_) {
    awaited_.push_front(step);  // it answered nothing: the same reply is still awaited
  } else if (turn.kind == SmtpTurn::Kind::Going && !halted_ && !awaited_.empty()) {
    state_ = awaited_.front();
  }
  return turn;
}

SmtpTurn SmtpSession::AnswerStep(SmtpSocket& socket, SmtpState step, int code,
                                 const std::string& reply) {
  switch (step) {
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
    case SmtpState::Ehlo:
      return AnswerEhlo(socket, code, reply);
    case SmtpState::StartTls:
      return AnswerStartTls(socket, code, reply);
    case SmtpState::Auth:
    case SmtpState::AuthUserName:
    case SmtpState::AuthPassword:
    case SmtpState::AuthTokenError:
      return AnswerAuth(socket, code, reply);
    case SmtpState::Handshake:  // never awaited: no command asks for it
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

// More replies than commands: whatever they meant, the replies can no longer be matched to
// the commands, and reading them as the answers to later ones would misreport the messages.
SmtpTurn SmtpSession::AnswerOutOfTurn(const std::string& reply) {
  return EndUnexpectedly(reply +
                             "\r\nThe server answered out of turn (more replies than commands "
                             "sent), so the conversation ends here. The messages stay queued.",
                         "the server answered out of turn");
}

// Pipelined, a QUIT behind a message's commands still awaited could be read as message data.
bool SmtpSession::MessageCommandsInFlight() const {
  return pipelining_ && std::any_of(awaited_.begin(), awaited_.end(), IsMessageStep);
}

// --- Before the messages, and after them: one function for each command ---
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
    transferFor_.reset();  // 8BITMIME may have come or gone
    return AfterExtensions(socket);
  }
  if (!IsTransientOrPermanentFailure(code)) return WaitPast();
  // A server that knows no EHLO still takes HELO, when nothing needs an extension.
  const bool needsExtensions = options_.security == SmtpSecurity::StartTls || options_.SignsIn();
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
  if (options_.SignsIn() && !signedIn_) return SignIn(socket);
  return BeginMessage(socket);
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

// PLAIN, else LOGIN, or with a token OAUTHBEARER, else XOAUTH2; never over a connection that
// is not encrypted.
SmtpTurn SmtpSession::SignIn(SmtpSocket& socket) {
  if (!secured_ && SignsInWithToken()) {
    return Halt(SmtpHalt::Kind::Refusal, kTokenInPlainText, false,
                "a sign-in token is never sent in plain text");
  }
  if (!secured_) {
    return Halt(SmtpHalt::Kind::Refusal, kSignInInPlainText, false,
                "a password is never sent in plain text");
  }
  if (SignsInWithToken()) return SignInWithToken(socket);
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

bool SmtpSession::SignsInWithToken() const {
  return !options_.accessToken.empty();
}

SmtpTurn SmtpSession::SignInWithToken(SmtpSocket& socket) {
  authMethod_ = ChooseTokenAuthMethod(extensions_);
  if (authMethod_.empty()) {
    return Halt(SmtpHalt::Kind::Refusal, NoTokenSignIn(extensions_), false,
                "the server offers neither OAUTHBEARER nor XOAUTH2");
  }
  const std::string& user = options_.userName.empty() ? SenderAddress : options_.userName;
  const std::string& token = options_.accessToken;
  const std::string response = authMethod_ == "OAUTHBEARER"
                                   ? sasl::OAuthBearerInitialResponse(user, server_, port_, token)
                                   : sasl::XOAuth2InitialResponse(user, token);
  SendCommand(socket, SmtpState::Auth, "AUTH " + authMethod_ + " " + response);
  return {};
}

SmtpTurn SmtpSession::AnswerAuth(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 235) {
    signedIn_ = true;
    return BeginMessage(socket);
  }
  if (code == 334) return AnswerChallenge(socket, reply);
  if (!IsTransientOrPermanentFailure(code)) return WaitPast();
  if (SignsInWithToken()) return RefuseToken(reply);
  return RefuseSignIn(reply);
}

// The challenges a method answers are bounded: PLAIN gives everything with its command, LOGIN
// answers two (the user name, then the password), a token one (the error that refuses it,
// answered so that the server gives its final reply, RFC 7628). A server that asks for more
// would keep the send waiting for ever, a challenge at a time.
SmtpTurn SmtpSession::AnswerChallenge(SmtpSocket& socket, const std::string& reply) {
  if (SignsInWithToken() && state_ == SmtpState::Auth) {
    tokenError_ = sasl::TokenErrorWords(sasl::ParseTokenError(ChallengeText(reply)));
    SendCommand(socket, SmtpState::AuthTokenError,
                std::string(sasl::ErrorChallengeAnswer(authMethod_)));
    return {};
  }
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

// A provider that takes no password at all says so in its own words: the advice follows them.
SmtpTurn SmtpSession::RefuseSignIn(const std::string& reply) {
  const std::string advice = PasswordRefusalAdvice(reply);
  if (SmtpReplyCode(reply) == 535) {
    outcome_.signInRefused = true;
    return Halt(SmtpHalt::Kind::Refusal,
                reply +
                    "\r\nThe server refused the user name or the password. The messages "
                    "stay queued; the password is asked for again at the next send." +
                    (advice.empty() ? "" : "\r\n" + advice),
                false, "the server refused the user name or password");
  }
  if (!advice.empty()) {
    return Halt(SmtpHalt::Kind::Refusal, reply + "\r\n" + advice, false, kRefusedByServer);
  }
  return Refuse(reply, false);
}

// 535, or any permanent refusal once the server's challenge has said why (RFC 7628), is the
// token's; a passing trouble (4xx) is the server's.
SmtpTurn SmtpSession::RefuseToken(const std::string& reply) {
  const int code = SmtpReplyCode(reply);
  if (code != 535 && !(code >= 500 && state_ == SmtpState::AuthTokenError)) {
    return Refuse(reply, false);
  }
  outcome_.tokenRefused = true;
  const std::string shownWhy = tokenError_.empty() ? "" : " (" + tokenError_ + ")";
  return Halt(
      SmtpHalt::Kind::Refusal,
      reply + "\r\nThe server refused the OAuth2 sign-in token" + shownWhy +
          ". The messages stay queued.",
      false,
      "the server refused the sign-in token" + (tokenError_.empty() ? "" : ": " + tokenError_));
}

SmtpTurn SmtpSession::AnswerHelo(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 250) return BeginMessage(socket);
  if (IsTransientOrPermanentFailure(code)) return Refuse(reply, false);
  return WaitPast();
}

SmtpTurn SmtpSession::AnswerQuit(SmtpSocket& socket, int code, const std::string& reply) {
  if (code == 221) return Close(socket);
  return EndUnexpectedly(reply, "the server did not answer QUIT as expected");
}

// --- Sending: every command awaits its reply ---

void SmtpSession::AppendCommand(std::string& text, SmtpState step, const std::string& command) {
  text += command + LineEnd;
  Await(step);
}

void SmtpSession::SendCommand(SmtpSocket& socket, SmtpState step, const std::string& command) {
  Await(step);
  SendText(socket, command + LineEnd);
}

// The state is in place before the text goes: a send that fails reports it from within.
void SmtpSession::Await(SmtpState step) {
  if (awaited_.empty()) state_ = step;
  awaited_.push_back(step);
}

void SmtpSession::SendText(SmtpSocket& socket, std::string text) {
  ++steps_;
  socket.SetText(std::move(text));
}

SmtpTurn SmtpSession::SendQuit(SmtpSocket& socket) {
  SendCommand(socket, SmtpState::Quit, "QUIT");
  return {};
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
  awaited_.clear();
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
  if (lostWhileHalted_ || MessageCommandsInFlight()) return Close(socket);
  if (halt_.kind == SmtpHalt::Kind::Refusal) return SendQuit(socket);
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
