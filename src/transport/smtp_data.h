// A message body as it goes out after DATA: line by line, each line with its CR LF, a line
// that begins with a dot protected by one more dot, then the end-of-data mark.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

// CR LF "." CR LF: after the last line's own line end, an empty line and the line ".".
extern const std::string kSmtpEndOfData;

// The lines to send for `body`, each ending in CR LF, a leading "." doubled. A bare CR or LF
// also ends a line, so that no line the server could see begins with an unprotected dot.
// Text after the last line end is not sent.
std::vector<std::string> SmtpDataLines(std::string_view body);

}  // namespace pelorin
