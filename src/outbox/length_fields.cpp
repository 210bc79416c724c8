#include "outbox/length_fields.h"

#include <charconv>

namespace pelorin {

void AppendLengthField(std::string& bytes, std::string_view name, std::string_view value) {
  bytes.append(name).append(" ").append(std::to_string(value.size())).append("\n");
  bytes.append(value).append("\n");
}

bool TakeLengthField(std::string_view& rest, std::string_view name, std::string& value,
                     std::string& why) {
  const std::size_t lineEnd = rest.find('\n');
  const std::string_view head = rest.substr(0, lineEnd);
  if (lineEnd == std::string_view::npos || head.substr(0, name.size()) != name ||
      head.size() <= name.size() || head[name.size()] != ' ') {
    why = "the field \"" + std::string(name) + "\" is missing";
    return false;
  }
  const std::string_view digits = head.substr(name.size() + 1);
  std::size_t length = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
  // One spelling for each length, as written: no leading zeros.
  const bool leadingZero = digits.size() > 1 && digits[0] == '0';
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
      leadingZero) {
    why = "the length of \"" + std::string(name) + "\" is not a number";
    return false;
  }
  rest.remove_prefix(lineEnd + 1);
  // Compared without adding to `length`: the largest one would wrap round to 0.
  if (length >= rest.size() || rest[length] != '\n') {
    why = "the field \"" + std::string(name) + "\" is cut short";
    return false;
  }
  value.assign(rest.substr(0, length));
  rest.remove_prefix(length + 1);
  return true;
}

}  // namespace pelorin
