// What the SMTP session's files share: how reply codes count, and the texts for addresses that
// cannot go into a command. Internal to the session.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "transport/shared_data.h"
#include "transport/smtp_command_text.h"
#include "transport/smtp_reply.h"
#include "transport/smtp_state.h"

namespace pelorin::smtp_rules {

inline constexpr const char* kRefusedByServer = "the server refused it";

inline bool IsTransientOrPermanentFailure(int code) {
  return code >= 400 && code <= 599;
}

// A refusal 500 to 599 of a message's recipient, DATA or data: it can never go as it stands.
inline bool DropsMessage(int code) {
  return code >= 500 && code <= 599;
}

// A step of a message's transaction: the replies to MAIL FROM, RCPT TO, DATA and the data.
inline bool IsMessageStep(SmtpState step) {
  return step == SmtpState::MailFrom || step == SmtpState::RcptTo || step == SmtpState::Data ||
         step == SmtpState::MessageData;
}

// Pipelined, only DATA is answered with 354, and DATA never with a success: a reply that
// contradicts the command it would answer was meant for another one (a reply too many came
// before it).
inline bool ContradictsCommand(SmtpState step, int code) {
  if (!IsMessageStep(step)) return false;
  if (step == SmtpState::Data) return code >= 200 && code <= 299;
  return code >= 300 && code <= 399;
}

// Looks at 64 bytes at a time without a branch (the compiler can use vector registers): a
// large message is looked through whole before its MAIL FROM.
inline bool IsEightBit(std::string_view text) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  constexpr std::size_t kWords = 8;
  std::size_t at = 0;
  for (std::uint64_t words[kWords]; at + sizeof words <= text.size(); at += sizeof words) {
    std::memcpy(words, text.data() + at, sizeof words);
    std::uint64_t any = 0;
    for (const std::uint64_t word : words) any |= word;
    if ((any & kHighBits) != 0) return true;
  }
  return std::any_of(text.begin() + at, text.end(), [](char c) { return (c & 0x80) != 0; });
}

inline std::string SenderProblem() {
  return "The sender address \"" + WithLineBreaksShown(SenderAddress) +
         "\" contains a line break or NUL character, so it cannot be sent to the server. "
         "Correct it in the settings; the messages stay queued.";
}

inline std::string RecipientProblem(const std::string& recipient) {
  return "The recipient address \"" + WithLineBreaksShown(recipient) +
         "\" contains a line break or NUL character, so the message to it cannot be sent. "
         "It is taken out of the outbox.";
}

// An address whose domain has no ASCII form, or whose local part is not ASCII while the server
// does not take such addresses (no SMTPUTF8).
inline std::string AddressProblem(const std::string& address, bool domainProblem) {
  if (domainProblem) {
    return "The domain of the address \"" + address +
           "\" cannot be written in ASCII (IDNA), so it cannot be given to the server.";
  }
  return "The address \"" + address +
         "\" has characters beyond ASCII before its @, and the server does not take such "
         "addresses (it does not announce SMTPUTF8).";
}

inline std::string InMebibytes(std::uint64_t bytes) {
  const std::uint64_t tenths = (bytes * 10 + (1u << 19)) >> 20;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MiB";
}

// RFC 1870: the server said how large a message it takes, so a larger one is not offered.
inline std::string TooLargeProblem(std::uint64_t limit, std::size_t size) {
  return "The server takes messages of at most " + std::to_string(limit) + " bytes (" +
         InMebibytes(limit) + "); this one comes to " + std::to_string(size) + " bytes (" +
         InMebibytes(size) + "), so it is not sent.";
}

inline std::string OverflowProblem() {
  return "The server sent more than " + std::to_string(kSmtpReplyLimit) +
         " bytes without ending its reply";
}

}  // namespace pelorin::smtp_rules
