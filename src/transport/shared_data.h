// Data that the SMTP session shares with the windows above it: the line terminator, the
// envelope sender and the outbox. One definition serves every layer.
#pragma once

#include <string>
#include <vector>

namespace pelorin {

// CR LF: ends every protocol line and every line of a composed message.
extern const std::string LineEnd;

// The user's own address, sender of every message.
extern std::string SenderAddress;

// The outbox: complete message texts and their one recipient each, oldest first.
extern std::vector<std::string> OutboxBodies;
extern std::vector<std::string> OutboxRecipients;

}  // namespace pelorin
