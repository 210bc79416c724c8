#include "transport/smtp_reply.h"

#include <algorithm>

namespace pelorin {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Long enough for any real code; longer digit runs stop growing here instead of overflowing.
constexpr int kCodeCeiling = 1000000;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool IsSmtpContinuationLine(std::string_view line) {
  return line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
         line[3] == '-';
}

bool SmtpReplyComplete(std::string_view received) {
  const std::size_t lastEnd = received.rfind(kLineEnd);
  if (lastEnd == std::string_view::npos) return false;
  const std::string_view endedLines = received.substr(0, lastEnd);
  const std::size_t previousEnd = endedLines.rfind(kLineEnd);
  const std::size_t lastLineStart =
      previousEnd == std::string_view::npos ? 0 : previousEnd + kLineEnd.size();
  return !IsSmtpContinuationLine(endedLines.substr(lastLineStart));
}

bool SmtpReplyCompleteAfter(std::string_view received, std::size_t knownIncomplete) {
  // One byte back: the CR of a line end may have come with the earlier text.
  const std::size_t searchFrom = knownIncomplete == 0 ? 0 : knownIncomplete - 1;
  if (received.find(kLineEnd, searchFrom) == std::string_view::npos) return false;
  return SmtpReplyComplete(received);
}

int SmtpReplyCode(std::string_view reply) {
  std::size_t i = 0;
  while (i < reply.size() && reply[i] == ' ') ++i;
  int code = 0;
  for (; i < reply.size() && IsDigit(reply[i]); ++i) {
    code = std::min(code * 10 + (reply[i] - '0'), kCodeCeiling);
  }
  return code;
}

}  // namespace pelorin
