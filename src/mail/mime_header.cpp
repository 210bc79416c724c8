#include "mail/mime_header.h"

#include <QByteArray>
#include <algorithm>

#include "transport/mime_transfer.h"
#include "transport/shared_data.h"

namespace pelorin {
namespace {

constexpr std::string_view kWordStart = "=?UTF-8?B?";
constexpr std::string_view kWordEnd = "?=";
constexpr std::size_t kLongestEncodedWord = 75;
// Room for two base64 groups at least, so that every word carries a whole character.
constexpr std::size_t kShortestEncodedWord = kWordStart.size() + kWordEnd.size() + 8;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Bytes of text that an encoded word of at most `length` characters carries: base64 turns
// every 3 bytes into 4 characters.
std::size_t BytesFitting(std::size_t length) {
  return (length - kWordStart.size() - kWordEnd.size()) / 4 * 3;
}

// The end of the next word's text: as far as `bytes` allow, moved back to the start of a
// character. Bytes that are no UTF-8 are cut anywhere rather than not at all.
std::size_t WordEnd(std::string_view text, std::size_t start, std::size_t bytes) {
  std::size_t end = start + bytes;
  if (end >= text.size()) return text.size();
  while (end > start && IsContinuationByte(text[end])) --end;
  return end == start ? start + bytes : end;
}

std::string EncodedWord(std::string_view bytes) {
  const QByteArray base64 =
      QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toBase64();
  return std::string(kWordStart) + base64.toStdString() + std::string(kWordEnd);
}

// The pieces at which plain text may be folded: each a run of blanks and the word after it.
// Blanks at the end stay with the last word, so that no line holds blanks alone.
std::vector<std::string_view> PlainPieces(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = at;
    while (at < text.size() && IsBlank(text[at])) ++at;
    while (at < text.size() && !IsBlank(text[at])) ++at;
    pieces.push_back(text.substr(start, at - start));
  }
  if (pieces.size() > 1 && IsBlank(pieces.back().back())) {
    const std::size_t lastStart = pieces[pieces.size() - 2].data() - text.data();
    pieces.pop_back();
    pieces.back() = text.substr(lastStart);
  }
  return pieces;
}

// What a field's text is to a reader: free text, or a name before an address, where quotes,
// brackets, commas and the like have a meaning of their own (a "." stands in a name only by
// an obsolete rule that strict readers flag).
enum class TextKind { Unstructured, Phrase };

bool IsUnsafe(char c, TextKind kind) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 127 || (byte < 32 && c != '\t')) return true;
  return kind == TextKind::Phrase &&
         std::string_view("()<>[]:;@\\,.\"").find(c) != std::string_view::npos;
}

// Text that a reader would not show as typed when written plainly: a byte beyond ASCII, a
// control character, a special character in a name, something that reads as an encoded word,
// or a word too long for a line.
bool NeedsEncoding(std::string_view start, std::string_view text, TextKind kind) {
  const bool unsafe =
      std::any_of(text.begin(), text.end(), [kind](char c) { return IsUnsafe(c, kind); });
  if (unsafe || text.find("=?") != std::string_view::npos) return true;
  const std::vector<std::string_view> pieces = PlainPieces(text);
  if (!pieces.empty() && start.size() + pieces.front().size() > kMaxMessageLineBytes) return true;
  return std::any_of(pieces.begin(), pieces.end(),
                     [](std::string_view piece) { return piece.size() > kMaxMessageLineBytes; });
}

// Lines of one header field, started with its name, a new line begun before a piece that would
// carry the current one past the limit. The first piece always joins the name.
class FoldedField {
 public:
  explicit FoldedField(std::string_view start) : line_(start) {}

  void Add(std::string_view piece, bool encoded = false) {
    const bool encodedLine = encoded || lineEncoded_;
    const std::size_t limit = encodedLine ? kEncodedWordLineLimit : kFoldedLineLimit;
    if (!first_ && line_.size() + piece.size() > limit) {
      text_ += line_ + LineEnd;
      line_.clear();
      lineEncoded_ = false;
    }
    line_ += piece;
    lineEncoded_ = lineEncoded_ || encoded;
    first_ = false;
  }

  void AddText(std::string_view text, TextKind kind) {
    if (!NeedsEncoding(line_, text, kind)) {
      for (const std::string_view piece : PlainPieces(text)) Add(piece);
      return;
    }
    const std::size_t room =
        line_.size() < kEncodedWordLineLimit ? kEncodedWordLineLimit - line_.size() : 0;
    bool firstWord = true;
    for (const std::string& word : EncodedWords(text, room)) {
      Add(firstWord ? word : " " + word, true);
      firstWord = false;
    }
  }

  std::string Lines() const { return text_ + line_ + LineEnd; }

 private:
  std::string text_;
  std::string line_;
  bool first_ = true;
  bool lineEncoded_ = false;  // the current line holds an encoded word
};

std::string FieldStart(std::string_view name) {
  return std::string(name) + ": ";
}

}  // namespace

std::vector<std::string> EncodedWords(std::string_view text, std::size_t firstLength) {
  std::vector<std::string> words;
  std::size_t length = std::clamp(firstLength, kShortestEncodedWord, kLongestEncodedWord);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = WordEnd(text, start, BytesFitting(length));
    words.push_back(EncodedWord(text.substr(start, end - start)));
    start = end;
    length = kLongestEncodedWord;
  }
  return words;
}

std::string UnstructuredField(std::string_view name, std::string_view text) {
  FoldedField field(FieldStart(name));
  field.AddText(text, TextKind::Unstructured);
  return field.Lines();
}

std::string AddressField(std::string_view name, std::string_view displayName,
                         std::string_view address) {
  return AddressListField(name, displayName, {std::string(address)});
}

std::string AddressListField(std::string_view name, std::string_view displayName,
                             const std::vector<std::string>& addresses) {
  FoldedField field(FieldStart(name));
  field.AddText(displayName, TextKind::Phrase);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    field.Add((i == 0 ? " <" : ", <") + addresses[i] + ">");
  }
  return field.Lines();
}

}  // namespace pelorin
