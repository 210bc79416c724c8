// The client side of an SMTP conversation: a state machine driven by the server's replies,
// carrying every message of the outbox through one connection and ending with QUIT.
//
// The session never shows anything. When the server refuses or the conversation must end, it
// stops and reports it (a halt); its owner shows the report and then lets it go on, which
// sends QUIT. Used on the user-interface thread, except SmtpStartSession, which the send
// workflow's worker calls before any event of the new connection can arrive.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/ehlo_reply.h"
#include "transport/outbox.h"
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
  std::string userName;  // empty: no sign-in
  std::string password;
  // EHLO (and the extensions it brings) even without security, for measuring against
  // servers that offer them in plain text.
  bool extended = false;
  bool UsesEhlo() const { return extended || security != SmtpSecurity::None || !userName.empty(); }
};

// What one conversation came to, counted from its SmtpStartSession.
struct SmtpOutcome {
  std::vector<std::uint64_t> accepted;  // ids of the messages the server accepted
  // Messages refused for good: out of the outbox, still in its store until Outbox::Forget.
  std::vector<OutboxMessage> dropped;
  bool failed = false;  // a refusal, an error, a time-out or a lost connection ended it early
  std::string failure;  // why, in a few words, for the status line; empty when not failed
  bool signInRefused = false;  // the server refused the user name or password
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
  SmtpTurn Answer(SmtpSocket& socket, const std::string& reply);
  SmtpTurn AnswerGreeting(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerHelo(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerMailFrom(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerRcptTo(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerData(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerMessageData(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerQuit(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerEhlo(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerStartTls(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerAuth(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerChallenge(SmtpSocket& socket, const std::string& reply);
  SmtpTurn AnswerInState(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn WaitPast();
  SmtpTurn AnswerOutOfTurn(const std::string& reply);
  std::size_t RepliesOwed() const;

  SmtpTurn Greet(SmtpSocket& socket);
  SmtpTurn AfterExtensions(SmtpSocket& socket);
  SmtpTurn SignIn(SmtpSocket& socket);
  SmtpTurn RefuseSignIn(const std::string& reply);
  std::string MailFromCommand(const OutboxMessage& message, std::string_view transferText) const;
  std::optional<SmtpTurn> RefuseUnsendableAddress(const OutboxMessage& message);
  // The box's text when the sender or a recipient of `message` cannot go to this server.
  std::optional<std::string> UnsendableAddress(const OutboxMessage& message,
                                               bool* senderAtFault) const;
  bool NeedsSmtpUtf8(const OutboxMessage& message) const;
  std::string_view HeadTransferText() const;
  std::string StartMessageData(SmtpSocket& socket);

  // Pipelining (smtp_session_pipelined.cpp): a message's MAIL FROM, RCPT TO and DATA go out
  // together, its data with the next message's group, and the replies are matched to the
  // commands in order.
  struct Pending {
    enum class Kind { MailFrom, RcptTo, Data, MessageData, EmptyData };
    Kind kind;
  };
  SmtpTurn TakePipelinedReplies(SmtpSocket& socket, std::size_t owed);
  SmtpTurn BeginPipelinedMessage(SmtpSocket& socket);
  bool AppendGroup(const OutboxMessage& message, std::string& text);
  SmtpTurn AnswerPipelined(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn AnswerPipelinedStep(SmtpSocket& socket, Pending answered, int code,
                               const std::string& reply);
  static SmtpState StateAwaiting(Pending::Kind kind);
  static bool AnswersCommand(Pending::Kind kind, int code);
  SmtpTurn AnswerGroupData(SmtpSocket& socket, int code, const std::string& reply);
  SmtpTurn RefuseGroup(int code, const std::string& reply);
  void SendDataWithNextGroup(SmtpSocket& socket);
  void FollowFront();

  // The size the message goes with when that is beyond what the server announced, else 0.
  std::size_t SizeBeyondLimit(const OutboxMessage& message) const;
  SmtpTurn RefuseTooLarge(std::size_t size);

  SmtpTurn BeginNextMessage(SmtpSocket& socket);
  SmtpTurn SendRcptTo(SmtpSocket& socket);
  SmtpTurn SendNextRcptTo(SmtpSocket& socket);
  void StartRecipients(const OutboxMessage& message);
  void CountRecipientReply(int code, const std::string& reply);
  SmtpTurn AcceptHead(SmtpSocket& socket);
  void SendMessageData(SmtpSocket& socket);
  void SendCommand(SmtpSocket& socket, SmtpState next, const std::string& command);

  SmtpTurn Halt(SmtpHalt::Kind kind, std::string shown, bool dropsMessage, std::string why);
  SmtpTurn Refuse(const std::string& reply, bool dropsMessage);
  SmtpTurn EndUnexpectedly(std::string shown, std::string why);
  SmtpTurn Close(SmtpSocket& socket);
  void Fail(std::string why);

  Outbox& outbox_;
  SmtpState state_ = SmtpState::Idle;
  std::string replyBuffer_;
  SmtpOutcome outcome_;
  SmtpHalt halt_;
  bool halted_ = false;
  bool lostWhileHalted_ = false;
  SmtpOptions options_;
  EhloExtensions extensions_;
  bool secured_ = false;  // TLS is up, from the first byte or after STARTTLS
  bool signedIn_ = false;
  std::string authMethod_;
  // The head message as it goes on the wire when that differs from its text.
  std::optional<std::string> changedTransferText_;
  // The recipients of the message whose RCPT TO replies are being read.
  std::vector<std::string> recipients_;
  std::size_t rcptIndex_ = 0;
  std::size_t rcptAccepted_ = 0;
  bool rcptAllPermanent_ = true;  // every refusal so far was a 5xx
  std::string lastRcptReply_;
  std::vector<std::string> rcptRefusals_;
  std::uint64_t steps_ = 0;
  bool waitedPast_ = false;                // the reply just taken answered no command
  std::vector<std::string> rcptDeferred_;  // addresses refused for now
  std::vector<std::string> rcptDeferrals_;
  bool pipelining_ = false;
  std::deque<Pending> pending_;   // commands sent whose replies have not come yet, in order
  std::string groupMailRefusal_;  // the reply that refused the group's MAIL FROM
};

}  // namespace pelorin
