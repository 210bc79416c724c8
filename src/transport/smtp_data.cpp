#include "transport/smtp_data.h"

namespace pelorin {
namespace {

const std::string kCrLf = "\r\n";

// Length of the line end at `at`: 2 for CR LF, 1 for a bare CR or LF, 0 for none.
std::size_t LineEndLength(std::string_view text, std::size_t at) {
  if (text[at] == '\n') return 1;
  if (text[at] != '\r') return 0;
  return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
}

std::string DataLine(std::string_view content) {
  std::string line;
  line.reserve(content.size() + 3);
  if (!content.empty() && content.front() == '.') line += '.';
  line += content;
  line += kCrLf;
  return line;
}

}  // namespace

const std::string kSmtpEndOfData = "\r\n.\r\n";

std::vector<std::string> SmtpDataLines(std::string_view body) {
  std::vector<std::string> lines;
  std::size_t lineStart = 0;
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t endLength = LineEndLength(body, at);
    if (endLength == 0) {
      ++at;
      continue;
    }
    lines.push_back(DataLine(body.substr(lineStart, at - lineStart)));
    at += endLength;
    lineStart = at;
  }
  return lines;
}

}  // namespace pelorin
