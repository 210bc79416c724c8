// Reading the server's replies out of received text: whether a reply is complete, whether it
// is SMTP at all, and what its code is. Pure functions over bytes, so that they can be tested
// without a connection. A line ends at LF, with or without a CR before it: some servers end
// their lines with a bare LF.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace pelorin {

// The most text a reply may take before the server counts as misbehaving.
constexpr std::size_t kSmtpReplyLimit = 65536;

// A line that three digits and a hyphen begin ("250-..."): more lines of its reply follow.
bool IsSmtpContinuationLine(std::string_view line);

// True when `received` holds a complete reply: at least one line end, and the last line that
// a line end ends is not a continuation line.
bool SmtpReplyComplete(std::string_view received);

// The same answer as SmtpReplyComplete, for text whose first `knownIncomplete` bytes were not
// complete on their own: only what follows them is searched for a new line end, so that a
// reply trickling in byte by byte costs no more than its length.
bool SmtpReplyCompleteAfter(std::string_view received, std::size_t knownIncomplete);

// The reply code: after leading blanks (character 32 only), the number that the decimal digits
// up to the first other character make; 0 when there are none.
int SmtpReplyCode(std::string_view reply);

// The length of the first complete reply in `received` (up to and including the line end of
// its last line), 0 when no reply is complete yet: pipelined replies arrive together and are
// answered one by one.
std::size_t SmtpFirstReplyLength(std::string_view received);

// The first ended line of `reply` that does not begin with a three-digit code (after leading
// blanks) followed by a blank, a hyphen or the line end; none when every line does.
std::optional<std::string_view> FirstNonSmtpLine(std::string_view reply);

}  // namespace pelorin
