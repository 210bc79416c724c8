// Data that the SMTP session shares with the windows above it: the line terminator and the
// envelope sender. One definition serves every layer.
#pragma once

#include <string>

namespace pelorin {

// CR LF: ends every protocol line and every line of a composed message.
extern const std::string LineEnd;

// The user's own address, sender of every message.
extern std::string SenderAddress;

}  // namespace pelorin
