// What the SMTP session's two halves (lock-step and pipelined) share: how reply codes count,
// and the texts for addresses that cannot go into a command. Internal to the session.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "transport/shared_data.h"
#include "transport/smtp_command_text.h"

namespace pelorin::smtp_rules {

inline constexpr const char* kRefusedByServer = "the server refused it";

inline bool IsTransientOrPermanentFailure(int code) {
  return code >= 400 && code <= 599;
}

// A refusal 500 to 599 of a message's recipient, DATA or data: it can never go as it stands.
inline bool DropsMessage(int code) {
  return code >= 500 && code <= 599;
}

inline bool IsEightBit(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
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

}  // namespace pelorin::smtp_rules
