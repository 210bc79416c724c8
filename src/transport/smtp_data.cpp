#include "transport/smtp_data.h"

#include <algorithm>
#include <cstring>

namespace pelorin {
namespace {

const std::string kCrLf = "\r\n";
constexpr std::size_t kNone = std::string_view::npos;

// Finds the line ends of a text from left to right. The next CR and the next LF are each found
// with memchr and kept until passed, so that a text with few of one kind is not searched again
// for it at every line.
class LineEndFinder {
 public:
  explicit LineEndFinder(std::string_view text)
      : text_(text), nextCr_(Find('\r', 0)), nextLf_(Find('\n', 0)) {}

  // Where the first CR or LF at or after `from` is, or kNone.
  std::size_t NextFrom(std::size_t from) {
    if (nextCr_ < from) nextCr_ = Find('\r', from);
    if (nextLf_ < from) nextLf_ = Find('\n', from);
    return std::min(nextCr_, nextLf_);
  }

 private:
  std::size_t Find(char c, std::size_t from) const {
    if (from >= text_.size()) return kNone;
    const void* at = std::memchr(text_.data() + from, c, text_.size() - from);
    return at == nullptr ? kNone
                         : static_cast<std::size_t>(static_cast<const char*>(at) - text_.data());
  }

  std::string_view text_;
  std::size_t nextCr_;
  std::size_t nextLf_;
};

// Length of the line end at `at`: 2 for CR LF, 1 for a bare CR or LF.
std::size_t LineEndLength(std::string_view text, std::size_t at) {
  if (text[at] == '\n') return 1;
  return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
}

// A line of the body: its content is [start, end), its line end `endLength` bytes from `end`.
struct EndedLine {
  std::size_t start;
  std::size_t end;
  std::size_t endLength;

  std::size_t Next() const { return end + endLength; }
};

// Calls `take(line)` for each line of `body` that ends in a line end.
template <typename Take>
void ForEachEndedLine(std::string_view body, Take take) {
  LineEndFinder ends(body);
  for (std::size_t start = 0;;) {
    const std::size_t end = ends.NextFrom(start);
    if (end == kNone) return;
    const EndedLine line{start, end, LineEndLength(body, end)};
    take(line);
    start = line.Next();
  }
}

bool BeginsWithDot(std::string_view body, const EndedLine& line) {
  return line.end > line.start && body[line.start] == '.';
}

}  // namespace

const std::string kSmtpEndOfData = "\r\n.\r\n";

std::vector<std::string> SmtpDataLines(std::string_view body) {
  std::vector<std::string> lines;
  ForEachEndedLine(body, [&](const EndedLine& line) {
    std::string& out = lines.emplace_back();
    if (BeginsWithDot(body, line)) out += '.';
    out += body.substr(line.start, line.end - line.start);
    out += kCrLf;
  });
  return lines;
}

// The body is copied in runs that go out as they are; a run ends only where a dot must be
// added or a bare CR or LF turned into CR LF.
std::string SmtpDataText(std::string_view body) {
  std::string text;
  text.reserve(body.size() + kSmtpEndOfData.size());
  std::size_t copied = 0;  // the body before this is in `text`
  std::size_t ended = 0;   // the body before this is whole lines
  const auto copyUpTo = [&](std::size_t end) {
    text.append(body.data() + copied, end - copied);
    copied = end;
  };
  ForEachEndedLine(body, [&](const EndedLine& line) {
    if (BeginsWithDot(body, line)) {
      copyUpTo(line.start);
      text += '.';
    }
    if (line.endLength != kCrLf.size()) {
      copyUpTo(line.end);
      text += kCrLf;
      copied = line.Next();
    }
    ended = line.Next();
  });
  copyUpTo(ended);
  text += kSmtpEndOfData;
  return text;
}

std::size_t SmtpDataUnchangedLength(std::string_view body, std::size_t limit) {
  LineEndFinder ends(body);
  std::size_t unchanged = 0;
  for (std::size_t start = 0; start < body.size();) {
    const std::size_t end = ends.NextFrom(start);
    if (end == kNone || body[start] == '.' || LineEndLength(body, end) != kCrLf.size() ||
        end + kCrLf.size() > limit) {
      break;
    }
    start = unchanged = end + kCrLf.size();
  }
  return unchanged;
}

}  // namespace pelorin
