// Percent-decoding of URI text: "%" and two hexadecimal digits stand for one byte.
#pragma once

#include <string>
#include <string_view>

namespace pelorin {

// Every "%XX" (hexadecimal digits in either case) becomes its byte; a "%" that is not
// followed by two hexadecimal digits stays as typed, and so does everything else ("+"
// included: in a mailto: link it is a plus, not a blank).
std::string PercentDecode(std::string_view text);

}  // namespace pelorin
