// The recipients that one E-mail field names: addresses separated by commas or semicolons,
// each trimmed of blanks. A field without separators is one recipient, exactly as typed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

// Never empty: an empty field is one empty recipient, as it always was.
std::vector<std::string> SplitRecipients(std::string_view field);

// What in `address` keeps it from going between the angle brackets of RCPT TO, MAIL FROM or a
// header line, in a few words ("a blank", "\">\""), or empty text when nothing does: "<" and
// ">" would end it there and a blank would add parameters after it, as a control character
// (CR, LF, NUL and DEL among them) would break the line. Bytes above 127 are left to the
// conversation, which knows what the server takes.
std::string AddressFault(std::string_view address);

}  // namespace pelorin
