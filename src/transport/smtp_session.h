// The client side of an SMTP conversation: a state machine driven by the server's replies,
// carrying every queued message of the outbox through one connection and ending with QUIT.
// Refusals and errors are shown in message boxes.
#pragma once

#include <atomic>
#include <string>

#include "transport/smtp_socket.h"

namespace pelorin {

// Where the conversation stands: 0 none under way, 1 waiting for the greeting, 2 HELO sent,
// 3 MAIL FROM sent, 4 RCPT TO sent, 5 DATA sent, 6 message data sent, 7 QUIT sent.
extern std::atomic<int> SmtpState;

// Received text not yet taken as a reply. The session guards its own use of it; others read
// it only while no session operation runs.
extern std::string ReplyBuffer;

// What one conversation came to, for the caller to read once it has ended.
struct SmtpOutcome {
  int accepted = 0;     // messages whose data the server accepted
  int dropped = 0;      // messages refused for good and taken out of the outbox
  bool failed = false;  // a refusal, an unexpected end or an error ended the conversation
  bool operator==(const SmtpOutcome&) const = default;
};

// Begins a conversation with `server` on `port` ("25" when empty); whatever conversation was
// under way is forgotten.
void SmtpStartSession(SmtpSocket& socket, const std::string& server, const std::string& port);

// Takes in one block of received text and answers the reply once it is complete.
void SmtpHandleReply(SmtpSocket& socket, const std::string& text);

// Ends the conversation under way after an error, showing "500 " and the message; with none
// under way only shows the message.
void SmtpError(SmtpSocket& socket, const std::string& message);

// The outcome of the latest conversation, counted from its SmtpStartSession.
SmtpOutcome SmtpLastOutcome();

// No conversation, nothing received, a clean outcome: the state at program start.
void SmtpResetSession();

}  // namespace pelorin
