// Where an SMTP conversation stands: the reply it awaits (pipelined, the oldest one), with the
// name of each step for messages that say where a conversation stopped ("the server stopped
// answering after RCPT TO").
#pragma once

#include <array>
#include <string_view>

namespace pelorin {

enum class SmtpState : int {
  Idle = 0,         // no conversation under way
  Greeting = 1,     // connecting; the server's greeting
  Helo = 2,         // the reply to HELO
  MailFrom = 3,     // the reply to MAIL FROM
  RcptTo = 4,       // the reply to RCPT TO
  Data = 5,         // the reply to DATA
  MessageData = 6,  // the reply to the message data and its end-of-data mark
  Quit = 7,         // the reply to QUIT
  // Only when the connection is to be secured or signed in to:
  Ehlo = 8,             // the reply to EHLO
  StartTls = 9,         // the reply to STARTTLS
  Handshake = 10,       // none: the TLS handshake after STARTTLS is under way
  Auth = 11,            // the reply to AUTH
  AuthUserName = 12,    // AUTH LOGIN: the reply to the user name
  AuthPassword = 13,    // AUTH LOGIN: the reply to the password
  AuthTokenError = 14,  // OAuth2: the final reply after the token was refused in a challenge
};

// What each state awaits the reply to, as a message names it after "after ".
inline constexpr std::array<std::string_view, 15> kSmtpStepNames = {
    "the end of the conversation",
    "connecting",
    "HELO",
    "MAIL FROM",
    "RCPT TO",
    "DATA",
    "the message data",
    "QUIT",
    "EHLO",
    "STARTTLS",
    "the TLS handshake",
    "AUTH",
    "the user name",
    "the password",
    "the answer to the refused sign-in token",
};

constexpr std::string_view SmtpStepName(SmtpState state) {
  return kSmtpStepNames[static_cast<std::size_t>(state)];
}

// A conversation is under way and has not yet asked to end.
constexpr bool SmtpCarriesMessages(SmtpState state) {
  return state != SmtpState::Idle && state != SmtpState::Quit;
}

}  // namespace pelorin
