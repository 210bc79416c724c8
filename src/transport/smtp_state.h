// Where an SMTP conversation stands, with the name of each step for messages that say where
// a conversation stopped ("the server stopped answering after RCPT TO").
#pragma once

#include <array>
#include <string_view>

namespace pelorin {

enum class SmtpState : int {
  Idle = 0,         // no conversation under way
  Greeting = 1,     // connecting; waiting for the server's greeting
  Helo = 2,         // HELO sent
  MailFrom = 3,     // MAIL FROM sent
  RcptTo = 4,       // RCPT TO sent
  Data = 5,         // DATA sent
  MessageData = 6,  // message data and end-of-data mark sent
  Quit = 7,         // QUIT sent
  // Only when the connection is to be secured or signed in to:
  Ehlo = 8,           // EHLO sent
  StartTls = 9,       // STARTTLS sent
  Handshake = 10,     // the TLS handshake after STARTTLS is under way
  Auth = 11,          // AUTH sent
  AuthUserName = 12,  // AUTH LOGIN: the user name sent
  AuthPassword = 13,  // AUTH LOGIN: the password sent
};

// What was last sent in each state, as a message names it after "after ".
inline constexpr std::array<std::string_view, 14> kSmtpStepNames = {
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
};

constexpr std::string_view SmtpStepName(SmtpState state) {
  return kSmtpStepNames[static_cast<std::size_t>(state)];
}

// A conversation is under way and has not yet asked to end.
constexpr bool SmtpCarriesMessages(SmtpState state) {
  return state != SmtpState::Idle && state != SmtpState::Quit;
}

}  // namespace pelorin
