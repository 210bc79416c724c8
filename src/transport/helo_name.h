// The name this side gives in HELO and EHLO. RFC 5321 asks for a fully qualified domain name
// or an address literal; a bare host name ("vm") makes servers refuse the greeting or count
// the mail as spam.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace pelorin {

// `hostName` when it is fully qualified (a dot inside it), else `localAddressLiteral`; the
// host name as it is when no literal is known either.
std::string HeloName(std::string_view hostName, std::string_view localAddressLiteral);

// The address literal of an IPv4 (4 bytes) or IPv6 (16 bytes) address in network byte order:
// "[192.0.2.10]" or "[IPv6:2001:db8::1]"; empty for any other length.
std::string AddressLiteral(std::span<const unsigned char> address);

}  // namespace pelorin
