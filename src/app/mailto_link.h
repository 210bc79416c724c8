// Reads the address and the subject out of a mailto: link given on the command line.
#pragma once

#include <string>

namespace pelorin {

struct MailtoFields {
  std::string email;
  std::string subject;
  bool operator==(const MailtoFields&) const = default;
};

// The address is the text between "mailto:" (any letter case, as a URI scheme is) and the
// first "?Subject=" (exact case) or the end; the subject is what follows "?Subject=", at most
// 1000 bytes. Nothing is decoded. A CR or LF becomes a blank: these fields are single lines.
MailtoFields ParseMailtoLink(const std::string& link);

// A single-line field can hold no line break: CR and LF become blanks.
std::string ToSingleLine(std::string text);

}  // namespace pelorin
