// Keeping commands to one line: a text that goes into a command must not carry the bytes that
// would end it early (CR, LF) or cut it short (NUL).
#pragma once

#include <string>
#include <string_view>

namespace pelorin {

bool HasLineBreakOrNul(std::string_view text);

// `text` without its CR, LF and NUL bytes.
std::string WithoutLineBreaksOrNul(std::string_view text);

// `text` with CR, LF and NUL written as <CR>, <LF> and <NUL>, for showing it in a message.
std::string WithLineBreaksShown(std::string_view text);

}  // namespace pelorin
