#include "transport/smtp_reply.h"

#include <algorithm>

namespace pelorin {
namespace {

// Long enough for any real code; longer digit runs stop growing here instead of overflowing.
constexpr int kCodeCeiling = 1000000;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// `line` without the CR of a CR LF end.
std::string_view WithoutCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Calls `take(line)` for each line of `text` that a LF ends, without its line end; stops
// early when `take` returns false.
template <typename Take>
void ForEachEndedLine(std::string_view text, Take take) {
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string_view::npos;
       end = text.find('\n', start)) {
    if (!take(WithoutCr(text.substr(start, end - start)))) return;
    start = end + 1;
  }
}

bool BeginsWithCode(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  line.remove_prefix(i);
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
    return false;
  }
  return line.size() == 3 || line[3] == ' ' || line[3] == '-';
}

}  // namespace

bool IsSmtpContinuationLine(std::string_view line) {
  return line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
         line[3] == '-';
}

bool SmtpReplyComplete(std::string_view received) {
  const std::size_t lastEnd = received.rfind('\n');
  if (lastEnd == std::string_view::npos) return false;
  const std::string_view endedLines = received.substr(0, lastEnd);
  const std::size_t previousEnd = endedLines.rfind('\n');
  const std::size_t lastLineStart = previousEnd == std::string_view::npos ? 0 : previousEnd + 1;
  return !IsSmtpContinuationLine(WithoutCr(endedLines.substr(lastLineStart)));
}

bool SmtpReplyCompleteAfter(std::string_view received, std::size_t knownIncomplete) {
  if (received.find('\n', knownIncomplete) == std::string_view::npos) return false;
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

std::size_t SmtpFirstReplyLength(std::string_view received) {
  std::size_t start = 0;
  for (std::size_t end = received.find('\n'); end != std::string_view::npos;
       start = end + 1, end = received.find('\n', start)) {
    if (!IsSmtpContinuationLine(WithoutCr(received.substr(start, end - start)))) return end + 1;
  }
  return 0;
}

std::optional<std::string_view> FirstNonSmtpLine(std::string_view reply) {
  std::optional<std::string_view> found;
  ForEachEndedLine(reply, [&](std::string_view line) {
    if (BeginsWithCode(line)) return true;
    found = line;
    return false;
  });
  return found;
}

}  // namespace pelorin
