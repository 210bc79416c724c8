// The client side of an SMTP conversation: a state machine driven by the server's replies,
// carrying every message of the outbox through one connection and ending with QUIT. Every
// command sent awaits its reply in one queue; lock-step that queue holds one command at a time,
// with PIPELINING (where EHLO announced it) a message's commands go together. The mail
// transaction is written once for both (smtp_session_transaction.cpp).
//
// The session never shows anything. When the server refuses or the conversation must end, it
// stops and reports it (a halt); its owner shows the report and then lets it go on, which
// sends QUIT. Used on the user-interface thread only: the send workflow prepares it there, and
// its worker only connects the socket, before any event of the new connection can arrive.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/ehlo_reply.h"
#include "transport/outbox.h"
#include "transport/smtp_recipient_count.h"
#include "transport/smtp_socket.h"
#include "transport/smtp_state.h"

namespace pelorin {

// Why the session stopped, for its owner to show before it lets the session go on.
struct SmtpHalt {
  enum class Kind {
    Refusal,        // the server refused; QUIT follows and the server ends the conversation
    UnexpectedEnd,  // an error or an odd answer; QUIT follows and this side closes
  };
  Kind kind = Kind::Refusal;
  std::string shown;  // the text for the box: the reply as received, or "500 " and the error
  SmtpState at = SmtpState::Idle;  // the step that was answered
  bool dropsMessage = false;       // the head message is refused for good and leaves the outbox
};

// What the owner must do after a call into the session.
struct SmtpTurn {
  enum class Kind {
    Going,   // nothing: the conversation goes on, or waits for more text
    Halted,  // show `halt`, then call GoOn
    Notice,  // no conversation under way: show `halt.shown`, nothing else
    Over,    // the conversation has ended and the connection is closed
  };
  Kind kind = Kind::Going;
  SmtpHalt halt;
};

// How the connection is secured, and who signs in. With none of it the conversation is the
// plain HELO one; with any of it the session says EHLO and reads the server's extensions.
enum class SmtpSecurity { None, StartTls, Tls };

struct SmtpOptions {
  SmtpSecurity security = SmtpSecurity::None;
  std::string userName;  // empty: no sign-in with a password
  std::string password;
  // OAuth2 (OAUTHBEARER, else XOAUTH2) instead of the password: the access token, for the
  // account `userName` (the sender's address when empty).
  std::string accessToken;
  // EHLO (and the extensions it brings) even without security, for measuring against
  // servers that offer them in plain text.
  bool extended = false;
  bool SignsIn() const { return !userName.empty() || !accessToken.empty(); }
  bool UsesEhlo() const { return extended || security != SmtpSecurity::None || SignsIn(); }
};

// What one conversation came to, counted from its SmtpStartSession.
struct SmtpOutcome {
  std::vector<std::uint64_t> accepted;  // ids of the messages the server accepted
  // Messages refused for good: out of the outbox, still in its store until Outbox::Forget.
  std::vector<OutboxMessage> dropped;
  bool failed = false;  // a refusal, an error, a time-out or a lost connection ended it early
  std::string failure;  // why, in a few words, for the status line; empty when not failed
  bool signInRefused = false;  // the server refused the user name or password
  bool tokenRefused = false;   // the server refused the OAuth2 access token
  // Recipients the server refused for good of messages it took for the others:
  // "<address>: <reply>".
  std::vector<std::string> refusedRecipients;
  // Recipients it refused for now (a reply other than 5xx) of messages it took for the others,
  // alike; each such message stays queued for them alone (Outbox::SetAsideHead).
  std::vector<std::string> deferredRecipients;
};

class SmtpSession {
 public:
  explicit SmtpSession(Outbox& outbox) : outbox_(outbox) {}

  // The reply awaited (while halted: the one that halted the conversation).
  SmtpState State() const { return state_; }
  bool IsHalted() const { return halted_; }
  const SmtpOutcome& Outcome() const { return outcome_; }

  // Begins a conversation with `server` on `port` ("25" when empty) and connects; whatever was
  // under way is forgotten. SConnect's ConversionError passes through.
  void SmtpStartSession(SmtpSocket& socket, const std::string& server, const std::string& port);
  // The first half of SmtpStartSession: sets the server and the state, does not connect.
  void Prepare(SmtpSocket& socket, const std::string& server, const std::string& port,
               SmtpOptions options = {});
  // The TLS handshake after STARTTLS has succeeded: EHLO again, over the secured connection.
  SmtpTurn TlsEstablished(SmtpSocket& socket);
  // Ends the conversation at once without asking the server (its connection cannot be
  // trusted, say); the owner has told the user why.
  SmtpTurn Abort(SmtpSocket& socket, const std::string& why);
  // What the server announced after the latest EHLO.
  const EhloExtensions& Extensions() const { return extensions_; }
  // The latest conversation sent its commands in groups (RFC 2920).
  bool Pipelined() const { return pipelining_; }
  // Grows whenever the conversation moves on: a command sent or a final reply taken. A reply
  // waited past ("100 wait") leaves it, so that its owner can bound a step as a whole.
  std::uint64_t Steps() const { return steps_; }

  // Takes in one block of received text and answers the reply once it is complete.
  SmtpTurn SmtpHandleReply(SmtpSocket& socket, std::string_view text);
  // Ends the conversation under way after an error, or with none under way asks for the
  // message alone to be shown.
  SmtpTurn SmtpError(SmtpSocket& socket, const std::string& message);
  // The step under way has had no final reply within its time-out, though text kept coming.
  SmtpTurn StepOverdue(SmtpSocket& socket);
  // The peer closed the connection (without an error).
  SmtpTurn ConnectionClosed(SmtpSocket& socket);
  // After a halt has been shown: QUIT, or the end of a connection that was lost meanwhile.
  SmtpTurn GoOn(SmtpSocket& socket);
  // A conversation that never got under way (its connect failed before any event): forgotten.
  void Abandon(const std::string& why);

 private:
  // Taking replies (smtp_session.cpp). Every command sent awaits its reply in `awaited_`, in
  // order; lock-step that queue holds one command at a time, pipelined a message's group.
  SmtpTurn TakeReplies(SmtpSocket& socket, std::size_t knownIncomplete, std::size_t owed);
  std::size_t NextReplyLength(std::size_t knownIncomplete) const;
  SmtpTurn Answer(SmtpSocket& socket, const std::string& reply);
  SmtpTurn AnswerAwaited(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerStep(SmtpSocket& socket, SmtpState step, int code, const std::string& reply);
  SmtpTurn WaitPast();
  SmtpTurn AnswerOutOfTurn(const std::string& reply);
  bool MessageCommandsInFlight() const;

  // Before the messages, and after them (smtp_session.cpp).
  SmtpTurn AnswerGreeting(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn Greet(SmtpSocket& socket);
  SmtpTurn AnswerHelo(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerEhlo(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AfterExtensions(SmtpSocket& socket);
  SmtpTurn AnswerStartTls(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn SignIn(SmtpSocket& socket);
  SmtpTurn SignInWithToken(SmtpSocket& socket);
  bool SignsInWithToken() const;
  SmtpTurn AnswerAuth(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerChallenge(SmtpSocket& socket, const std::string& reply);
  SmtpTurn RefuseSignIn(const std::string& reply);
  SmtpTurn RefuseToken(const std::string& reply);
  SmtpTurn AnswerQuit(SmtpSocket& socket, int code, const std::string& reply);

  // The mail transaction at any depth (smtp_session_transaction.cpp).
  struct Unsendable {  // why a message cannot go to this server
    std::string shown;
    bool dropsMessage;
    std::string why;
  };
  SmtpTurn BeginMessage(SmtpSocket& socket);
  std::optional<Unsendable> UnsendableMessage(const OutboxMessage& message);
  std::optional<Unsendable> UnsendableAddress(const OutboxMessage& message) const;
  std::optional<Unsendable> TooLarge(const OutboxMessage& message);
  void AppendMessageCommands(const OutboxMessage& message, std::string& text);
  std::string MailFromCommand(const OutboxMessage& message);
  bool NeedsSmtpUtf8(const OutboxMessage& message) const;
  std::string_view TransferText(const OutboxMessage& message);
  SmtpTurn AnswerMailFrom(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerRcptTo(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn ContinueMessage(SmtpSocket& socket);
  SmtpTurn SendRcptTo(SmtpSocket& socket);
  SmtpTurn AnswerData(SmtpSocket& socket, int code, const std::string& reply);
  bool MessageTaken() const;
  SmtpTurn RefuseMessage(int code, const std::string& reply);
  void SendMessageData(SmtpSocket& socket);
  std::string StartMessageData(SmtpSocket& socket);
  void SendEmptyData(SmtpSocket& socket);
  SmtpTurn AnswerMessageData(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AcceptHead(SmtpSocket& socket);

  // Sending (smtp_session.cpp).
  void AppendCommand(std::string& text, SmtpState step, const std::string& command);
  void SendCommand(SmtpSocket& socket, SmtpState step, const std::string& command);
  void SendText(SmtpSocket& socket, std::string text);
  void Await(SmtpState step);
  SmtpTurn SendQuit(SmtpSocket& socket);

  SmtpTurn Halt(SmtpHalt::Kind kind, std::string shown, bool dropsMessage, std::string why);
  SmtpTurn Refuse(const std::string& reply, bool dropsMessage);
  SmtpTurn EndUnexpectedly(std::string shown, std::string why);
  SmtpTurn Close(SmtpSocket& socket);
  void Fail(std::string why);

  Outbox& outbox_;
  // The reply awaited: the oldest in `awaited_`; while halted, the one that halted the
  // conversation; Handshake or Idle when none is.
  SmtpState state_ = SmtpState::Idle;
  std::deque<SmtpState> awaited_;  // one per command sent and not yet answered, in order
  std::string replyBuffer_;
  SmtpOutcome outcome_;
  SmtpHalt halt_;
  bool halted_ = false;
  bool lostWhileHalted_ = false;
  SmtpOptions options_;
  EhloExtensions extensions_;
  bool pipelining_ = false;  // a message's commands go together (RFC 2920)
  bool secured_ = false;     // TLS is up, from the first byte or after STARTTLS
  bool signedIn_ = false;
  std::string authMethod_;
  std::string tokenError_;  // what the server's error challenge said of the token, in words
  std::string server_;      // as OAUTHBEARER names them
  std::string port_;
  // The transaction whose replies are being read: its MAIL FROM's refusal, its recipients.
  std::string mailRefusal_;
  SmtpRecipientCount recipients_;
  // The text as it goes on the wire, of the message whose commands were made last, when that
  // differs from its text: a large message is converted once.
  std::optional<std::uint64_t> transferFor_;
  std::optional<std::string> changedTransferText_;
  std::uint64_t steps_ = 0;
  bool waitedPast_ = false;  // the reply just taken answered no command
};

}  // namespace pelorin
