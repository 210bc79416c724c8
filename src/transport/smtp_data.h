// A message body as it goes out after DATA: each line with its CR LF, a line that begins with
// a dot protected by one more dot, then the end-of-data mark.
#pragma once

#include <cstddef>
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

// Everything that goes after the server's 354, as one text: the bytes of SmtpDataLines, then
// kSmtpEndOfData. One text is handed to the socket at once: one send per line cost a system
// call and, with Nagle's algorithm off, a TCP segment per line, and the end mark sent on its
// own reached the server as a segment of its own, which now and then held its acceptance back.
// A body that already goes as it is (every line ended by CR LF, none beginning with a dot) is
// copied in one piece.
std::string SmtpDataText(std::string_view body);

// How much of `body`, at most `limit` bytes, goes on the wire exactly as it stands: whole
// lines, each ended by CR LF and none beginning with a dot. Those bytes followed by
// SmtpDataText of the rest are SmtpDataText(body), so a large message can go out mostly from
// where it lies instead of being copied first.
std::size_t SmtpDataUnchangedLength(std::string_view body, std::size_t limit);

}  // namespace pelorin
