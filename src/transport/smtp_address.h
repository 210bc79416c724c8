// An address as it goes into MAIL FROM or RCPT TO. An internationalised domain goes as its
// ASCII form (IDNA, "xn--..."), which every server takes; a local part that is not ASCII can
// only go to a server that announces SMTPUTF8 (RFC 6531).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelorin {

// `address` with its domain (after the last "@") in ASCII; unchanged when the domain already
// is. None when the domain cannot be written in ASCII.
std::optional<std::string> WireAddress(std::string_view address);

// The address needs SMTPUTF8: a byte above 127 is left after its domain went to ASCII.
bool NeedsSmtpUtf8(std::string_view wireAddress);

}  // namespace pelorin
