// The text of one queued message: header lines, two blank lines and the body, every line
// ended by CR LF. Kept apart from the window so that its bytes can be checked directly.
#pragma once

#include <string>
#include <vector>

#include "mail/message_stamp.h"

namespace pelorin {

struct MessageFields {
  std::string subject;
  // The text of the address-book entry picked in the name field; empty when none is picked.
  std::string name;
  std::string email;
  std::string sender;
  // The body's lines as the memo shows them (a wrapped paragraph gives several).
  std::vector<std::string> memoLines;
};

// The lines of the memo as message lines: each one split again at every CR, LF or CR LF, so
// that no bare line break reaches the message text.
std::vector<std::string> BodyLines(const std::vector<std::string>& memoLines);

// Subject, To, From, X-Mailer and X-Advertisment lines, then Date, Message-ID and the MIME
// lines (UTF-8 text, "7bit" or else "8bit"), the blank line that ends the header, a blank first
// body line, then the body lines. A line break in a header field becomes a blank; subject and
// name beyond plain ASCII go as encoded words. All texts are UTF-8.
std::string ComposeMessage(const MessageFields& fields, const MessageStamp& stamp);

// The same, stamped with the time now and a new Message-ID.
std::string ComposeMessage(const MessageFields& fields);

}  // namespace pelorin
