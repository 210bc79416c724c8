#include "transport/recipients.h"

namespace pelorin {
namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string FaultOf(char c) {
  if (c == '<' || c == '>') return std::string("\"") + c + "\"";
  if (c == ' ') return "a blank";
  if (static_cast<unsigned char>(c) < 0x20 || c == '\x7F') return "a control character";
  return {};
}

}  // namespace

std::vector<std::string> SplitRecipients(std::string_view field) {
  if (field.find_first_of(",;") == std::string_view::npos) return {std::string(field)};
  std::vector<std::string> recipients;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = field.find_first_of(",;", start);
    const std::string_view part = Trimmed(field.substr(start, end - start));
    if (!part.empty()) recipients.emplace_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (recipients.empty()) recipients.emplace_back();
  return recipients;
}

std::string AddressFault(std::string_view address) {
  for (const char c : address) {
    if (std::string fault = FaultOf(c); !fault.empty()) return fault;
  }
  return {};
}

}  // namespace pelorin
