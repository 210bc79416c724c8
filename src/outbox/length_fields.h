// Named fields as files of this program keep them: the name, a blank, the length in bytes and
// a line end, then the bytes themselves and a line end. Lengths rather than separators, so that
// any text (line breaks, NUL bytes) comes back exactly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pelorin {

// Room to reserve for a field beside its name and value.
inline constexpr std::size_t kLengthFieldOverhead = 24;

void AppendLengthField(std::string& bytes, std::string_view name, std::string_view value);

// Reads the field `name` from the front of `rest` into `value`; false with `why` set when the
// bytes there are not that field, whole.
bool TakeLengthField(std::string_view& rest, std::string_view name, std::string& value,
                     std::string& why);

}  // namespace pelorin
