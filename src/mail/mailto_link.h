// Reads the recipients, the subject and the body out of a mailto: link given on the command
// line, as web pages and browsers write them (RFC 6068).
#pragma once

#include <string>

namespace pelorin {

struct MailtoFields {
  // Every recipient: the addresses before "?", then those of "to" and "cc" fields, joined by
  // ", ". One line.
  std::string email;
  // The first "subject" field: one line of at most 1000 bytes.
  std::string subject;
  // The "body" fields, one after the other; lines end with "\n".
  std::string body;
  bool operator==(const MailtoFields&) const = default;
};

// The scheme "mailto:" may be written in any letter case; text before it is ignored, and a
// link without it is read as if it followed. Field names ("subject", "body", "to", "cc") are
// read in any letter case, other fields are ignored. Addresses and values are
// percent-decoded as UTF-8; a value whose escapes give no UTF-8 stays as the link wrote it.
// The fields hold UTF-8 only, without control characters: a line break (and any other
// control character but a tab in the body) in a one-line field becomes a blank.
MailtoFields ParseMailtoLink(const std::string& link);

// A single-line field can hold no line break: CR and LF become blanks.
std::string ToSingleLine(std::string text);

}  // namespace pelorin
