#include "transport/mime_transfer.h"

namespace pelorin {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kEightBitLine = "Content-Transfer-Encoding: 8bit\r\n";
constexpr std::string_view kQuotedPrintableLine = "Content-Transfer-Encoding: quoted-printable\r\n";
// Quoted-printable lines hold at most 76 characters, the "=" of a soft break included.
constexpr std::size_t kQuotedPrintableLineLimit = 76;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Calls `take(line)` for each piece of `text` between CR LF pairs, the last piece included.
template <typename Take>
void ForEachLine(std::string_view text, Take take) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(kCrLf, start);
    if (end == std::string_view::npos) {
      take(text.substr(start), true);
      return;
    }
    take(text.substr(start, end - start), false);
    start = end + kCrLf.size();
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// A byte written as itself: printable ASCII but "=", and blanks that do not end the line
// (a transport may strip those).
bool GoesLiterally(char c, bool endsLine) {
  const auto byte = static_cast<unsigned char>(c);
  if (IsBlank(c)) return !endsLine;
  return byte >= 33 && byte <= 126 && c != '=';
}

std::string Encoded(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return {'=', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
}

// One line of text as quoted-printable, broken by soft breaks where it would pass the limit.
// Every piece but the last keeps room for the "=" of a soft break.
void AppendQuotedPrintableLine(std::string& out, std::string_view line) {
  std::size_t column = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const bool last = i + 1 == line.size();
    const std::string piece =
        GoesLiterally(line[i], last) ? std::string(1, line[i]) : Encoded(line[i]);
    const std::size_t limit = last ? kQuotedPrintableLineLimit : kQuotedPrintableLineLimit - 1;
    if (column + piece.size() > limit) {
      out += "=\r\n";
      column = 0;
    }
    out += piece;
    column += piece.size();
  }
}

bool HasOnlyPairedLineEnds(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return true;
}

// Where the header's line that declares 8bit starts, or npos.
std::size_t EightBitLineAt(std::string_view header) {
  if (header.substr(0, kEightBitLine.size()) == kEightBitLine) return 0;
  const std::size_t at = header.find(std::string(kCrLf) + std::string(kEightBitLine));
  return at == std::string_view::npos ? at : at + kCrLf.size();
}

// Whether the message's header declares 8bit, the only case in which SevenBitForm changes it.
bool DeclaresEightBit(std::string_view message) {
  const std::size_t headerEnd = message.find(kHeaderEnd);
  return headerEnd != std::string_view::npos &&
         EightBitLineAt(message.substr(0, headerEnd + kCrLf.size())) != std::string_view::npos;
}

// The boundary that a multipart message's header names, or empty text for any other message.
std::string_view MultipartBoundary(std::string_view header) {
  constexpr std::string_view kType = "\r\nContent-Type: multipart/";
  constexpr std::string_view kBoundary = "boundary=\"";
  const std::size_t type = header.find(kType);
  if (type == std::string_view::npos) return {};
  const std::size_t start = header.find(kBoundary, type);
  if (start == std::string_view::npos) return {};
  const std::size_t end = header.find('"', start + kBoundary.size());
  if (end == std::string_view::npos) return {};
  return header.substr(start + kBoundary.size(), end - start - kBoundary.size());
}

// A multipart message declared 8bit carries its 8-bit text in the first part: that part
// turns into quoted-printable, the whole into 7bit; the files' parts are base64 already.
std::string SevenBitMultipart(std::string_view message, std::size_t headerEnd,
                              std::size_t eightBitLine, std::string_view boundary) {
  const std::string_view header = message.substr(0, headerEnd + kCrLf.size());
  std::string form(header.substr(0, eightBitLine));
  form += "Content-Transfer-Encoding: 7bit\r\n";
  form += header.substr(eightBitLine + kEightBitLine.size());
  form += kCrLf;  // ends the header
  const std::string_view body = message.substr(headerEnd + kHeaderEnd.size());
  const std::string delimiter = "--" + std::string(boundary);
  const std::size_t first = body.find(delimiter + std::string(kCrLf));
  const std::size_t partStart = first == std::string_view::npos
                                    ? std::string_view::npos
                                    : first + delimiter.size() + kCrLf.size();
  const std::size_t partEnd = first == std::string_view::npos
                                  ? std::string_view::npos
                                  : body.find(std::string(kCrLf) + delimiter, partStart);
  if (partEnd == std::string_view::npos) return form + std::string(body);
  form += body.substr(0, partStart);
  form += SevenBitForm(body.substr(partStart, partEnd - partStart));
  form += body.substr(partEnd);
  return form;
}

}  // namespace

bool FitsSevenBit(std::string_view body) {
  for (const char c : body) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0 || byte > 127) return false;
  }
  return HasOnlyPairedLineEnds(body) && LongestLine(body) <= kMaxMessageLineBytes;
}

std::size_t LongestLine(std::string_view text) {
  std::size_t longest = 0;
  ForEachLine(text, [&](std::string_view line, bool) {
    if (line.size() > longest) longest = line.size();
  });
  return longest;
}

std::string QuotedPrintable(std::string_view body) {
  std::string out;
  ForEachLine(body, [&](std::string_view line, bool last) {
    AppendQuotedPrintableLine(out, line);
    if (!last) out += kCrLf;
  });
  return out;
}

std::string SevenBitForm(std::string_view message) {
  const std::size_t headerEnd = message.find(kHeaderEnd);
  if (headerEnd == std::string_view::npos) return std::string(message);
  const std::string_view header = message.substr(0, headerEnd + kCrLf.size());
  const std::size_t line = EightBitLineAt(header);
  if (line == std::string_view::npos) return std::string(message);
  const std::string_view boundary = MultipartBoundary(header);
  if (!boundary.empty()) return SevenBitMultipart(message, headerEnd, line, boundary);
  std::string form(header.substr(0, line));
  form += kQuotedPrintableLine;
  form += header.substr(line + kEightBitLine.size());
  form += kCrLf;  // ends the header
  form += QuotedPrintable(message.substr(headerEnd + kHeaderEnd.size()));
  return form;
}

std::string TransferForm(std::string_view message, bool serverTakes8BitMime) {
  std::optional<std::string> changed = ChangedTransferForm(message, serverTakes8BitMime);
  return changed ? std::move(*changed) : std::string(message);
}

// A message whose header does not declare 8bit goes as it is, so its lines need no counting.
std::optional<std::string> ChangedTransferForm(std::string_view message, bool serverTakes8BitMime) {
  if (!DeclaresEightBit(message)) return std::nullopt;
  if (serverTakes8BitMime && LongestLine(message) <= kMaxMessageLineBytes) return std::nullopt;
  return SevenBitForm(message);
}

}  // namespace pelorin
