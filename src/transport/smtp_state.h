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
};

// What was last sent in each state, as a message names it after "after ".
inline constexpr std::array<std::string_view, 8> kSmtpStepNames = {
    "the end of the conversation",
    "connecting",
    "HELO",
    "MAIL FROM",
    "RCPT TO",
    "DATA",
    "the message data",
    "QUIT",
};

constexpr std::string_view SmtpStepName(SmtpState state) {
  return kSmtpStepNames[static_cast<std::size_t>(state)];
}

// A conversation is under way and has not yet asked to end.
constexpr bool SmtpCarriesMessages(SmtpState state) {
  return state >= SmtpState::Greeting && state <= SmtpState::MessageData;
}

}  // namespace pelorin
