#include "app/mailto_link.h"

#include <algorithm>
#include <cctype>

namespace pelorin {
namespace {

constexpr std::string_view kScheme = "mailto:";
constexpr std::string_view kSubjectKey = "?Subject=";
constexpr std::size_t kMaxSubjectLength = 1000;

std::size_t FindSchemeIgnoringCase(const std::string& link) {
  const auto sameLetter = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  const auto it = std::search(link.begin(), link.end(), kScheme.begin(), kScheme.end(), sameLetter);
  return it == link.end() ? std::string::npos : static_cast<std::size_t>(it - link.begin());
}

// Cutting a UTF-8 text inside a character would leave half of it behind.
std::size_t CharacterBoundaryAtOrBefore(const std::string& text, std::size_t length) {
  if (length >= text.size()) return text.size();
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return length;
}

}  // namespace

std::string ToSingleLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

MailtoFields ParseMailtoLink(const std::string& link) {
  const std::size_t scheme = FindSchemeIgnoringCase(link);
  // Without any scheme the whole text is taken as the address.
  const std::size_t emailStart = scheme == std::string::npos ? 0 : scheme + kScheme.size();
  const std::size_t subjectKey = link.find(kSubjectKey);
  const std::size_t emailEnd = subjectKey == std::string::npos ? link.size() : subjectKey;

  MailtoFields fields;
  if (emailEnd > emailStart) fields.email = link.substr(emailStart, emailEnd - emailStart);
  if (subjectKey != std::string::npos) {
    const std::string rest = link.substr(subjectKey + kSubjectKey.size());
    fields.subject = rest.substr(0, CharacterBoundaryAtOrBefore(rest, kMaxSubjectLength));
  }
  fields.email = ToSingleLine(fields.email);
  fields.subject = ToSingleLine(fields.subject);
  return fields;
}

}  // namespace pelorin
