// The recipients that one E-mail field names: addresses separated by commas or semicolons,
// each trimmed of blanks. A field without separators is one recipient, exactly as typed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

// Never empty: an empty field is one empty recipient, as it always was.
std::vector<std::string> SplitRecipients(std::string_view field);

}  // namespace pelorin
