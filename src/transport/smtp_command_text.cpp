#include "transport/smtp_command_text.h"

#include <algorithm>
#include <iterator>

namespace pelorin {
namespace {

bool IsLineBreakOrNul(char c) {
  return c == '\r' || c == '\n' || c == '\0';
}

}  // namespace

bool HasLineBreakOrNul(std::string_view text) {
  return std::any_of(text.begin(), text.end(), IsLineBreakOrNul);
}

std::string WithoutLineBreaksOrNul(std::string_view text) {
  std::string cleaned;
  std::copy_if(text.begin(), text.end(), std::back_inserter(cleaned),
               [](char c) { return !IsLineBreakOrNul(c); });
  return cleaned;
}

std::string WithLineBreaksShown(std::string_view text) {
  std::string shown;
  for (char c : text) {
    if (c == '\r') {
      shown += "<CR>";
    } else if (c == '\n') {
      shown += "<LF>";
    } else if (c == '\0') {
      shown += "<NUL>";
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace pelorin
