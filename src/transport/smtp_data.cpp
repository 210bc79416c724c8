#include "transport/smtp_data.h"

#include <algorithm>

namespace pelorin {
namespace {

const std::string kCrLf = "\r\n";

// Length of the line end at `at`: 2 for CR LF, 1 for a bare CR or LF, 0 for none.
std::size_t LineEndLength(std::string_view text, std::size_t at) {
  if (text[at] == '\n') return 1;
  if (text[at] != '\r') return 0;
  return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
}

// Appends one line as it goes out: a leading dot doubled, then CR LF.
void AppendDataLine(std::string& out, std::string_view content) {
  if (!content.empty() && content.front() == '.') out += '.';
  out += content;
  out += kCrLf;
}

// Calls `take(content)` for each line of `body` that ends in a line end, without its end.
template <typename Take>
void ForEachEndedLine(std::string_view body, Take take) {
  std::size_t lineStart = 0;
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t endLength = LineEndLength(body, at);
    if (endLength == 0) {
      ++at;
      continue;
    }
    take(body.substr(lineStart, at - lineStart));
    at += endLength;
    lineStart = at;
  }
}

}  // namespace

const std::string kSmtpEndOfData = "\r\n.\r\n";

std::vector<std::string> SmtpDataLines(std::string_view body) {
  std::vector<std::string> lines;
  ForEachEndedLine(body, [&](std::string_view content) {
    lines.emplace_back();
    AppendDataLine(lines.back(), content);
  });
  return lines;
}

std::vector<std::string> SmtpDataBlocks(std::string_view body, std::size_t blockSize) {
  std::vector<std::string> blocks;
  ForEachEndedLine(body, [&](std::string_view content) {
    if (blocks.empty() || blocks.back().size() >= blockSize) {
      blocks.emplace_back();
      blocks.back().reserve(std::min(blockSize + content.size() + 3, body.size() + 3));
    }
    AppendDataLine(blocks.back(), content);
  });
  return blocks;
}

}  // namespace pelorin
