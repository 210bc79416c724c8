#include "mail/mailto_link.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "mail/percent_decoding.h"
#include "mail/utf8_text.h"

namespace pelorin {
namespace {

constexpr std::string_view kScheme = "mailto:";
constexpr std::size_t kMaxSubjectLength = 1000;
constexpr std::string_view kRecipientSeparator = ", ";

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// The link after its scheme, which like every URI scheme may be written in any case.
std::string_view AfterScheme(std::string_view link) {
  const auto sameLetter = [](char a, char b) { return LowerAscii(a) == LowerAscii(b); };
  const auto it = std::search(link.begin(), link.end(), kScheme.begin(), kScheme.end(), sameLetter);
  if (it == link.end()) return link;
  return link.substr(static_cast<std::size_t>(it - link.begin()) + kScheme.size());
}

std::vector<std::string_view> SplitAt(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(separator, start)) != std::string_view::npos;
       start = end + 1) {
    parts.push_back(text.substr(start, end - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// A page written in another character set gives escapes that are no UTF-8: the value is then
// shown as the link wrote it rather than as garbage. Raw bytes that are no UTF-8 become
// U+FFFD.
std::string DecodeValue(std::string_view raw) {
  const std::string decoded = PercentDecode(raw);
  return ValidUtf8(IsValidUtf8(decoded) ? std::string_view(decoded) : raw);
}

bool IsControl(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == '\x7F';
}

// One-line fields: line breaks and other control characters become blanks.
std::string OneLine(std::string text) {
  std::replace_if(text.begin(), text.end(), IsControl, ' ');
  return text;
}

// Body lines end with "\n", whether the link wrote CR LF (as it should), LF or CR. Other
// control characters but the tab become blanks.
std::string BodyText(std::string_view text) {
  std::string body;
  body.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '\r' || c == '\n') {
      body += '\n';
      if (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ++at;
    } else {
      body += c == '\t' || !IsControl(c) ? c : ' ';
    }
  }
  return body;
}

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A list of addresses separated by commas; a comma inside an address is written %2C.
void AddRecipients(std::string_view list, std::vector<std::string>& recipients) {
  for (std::string_view raw : SplitAt(list, ',')) {
    const std::string address = OneLine(DecodeValue(raw));
    const std::string_view trimmed = TrimBlanks(address);
    if (!trimmed.empty()) recipients.emplace_back(trimmed);
  }
}

std::string JoinRecipients(const std::vector<std::string>& recipients) {
  std::string joined;
  for (const std::string& recipient : recipients) {
    if (!joined.empty()) joined += kRecipientSeparator;
    joined += recipient;
  }
  return joined;
}

// What the header fields after "?" add to the recipients, the subject and the body.
class HeaderFields {
 public:
  explicit HeaderFields(std::vector<std::string>& recipients) : recipients_(recipients) {}

  void Read(std::string_view field) {
    const std::size_t equals = field.find('=');
    const std::string name = PercentDecode(field.substr(0, equals));
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : field.substr(equals + 1);
    if (SameIgnoringCase(name, "to") || SameIgnoringCase(name, "cc")) {
      AddRecipients(value, recipients_);
    } else if (SameIgnoringCase(name, "subject")) {
      if (!subject_) subject_ = OneLine(DecodeValue(value));
    } else if (SameIgnoringCase(name, "body")) {
      if (!body_.empty()) body_ += '\n';
      body_ += BodyText(DecodeValue(value));
    }
  }

  std::string Subject() const {
    return std::string(Utf8Prefix(subject_.value_or(""), kMaxSubjectLength));
  }
  const std::string& Body() const { return body_; }

 private:
  std::vector<std::string>& recipients_;
  std::optional<std::string> subject_;  // the first subject field wins
  std::string body_;
};

}  // namespace

std::string ToSingleLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

MailtoFields ParseMailtoLink(const std::string& link) {
  const std::string_view uri = AfterScheme(link);
  const std::size_t question = uri.find('?');
  std::vector<std::string> recipients;
  AddRecipients(uri.substr(0, question), recipients);
  HeaderFields fields(recipients);
  if (question != std::string_view::npos) {
    for (std::string_view field : SplitAt(uri.substr(question + 1), '&')) fields.Read(field);
  }
  return {JoinRecipients(recipients), fields.Subject(), fields.Body()};
}

}  // namespace pelorin
