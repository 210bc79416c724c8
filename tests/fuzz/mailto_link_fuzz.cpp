// Arbitrary links: the fields are UTF-8 without control characters (the body keeps its line
// breaks and tabs), the subject stays within its limit; and any UTF-8 text, percent-encoded
// as the subject and the body of a link, comes back as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/mailto_link.h"
#include "mail/utf8_text.h"

namespace {

bool IsControl(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == '\x7F';
}

bool IsOneLineField(const std::string& field) {
  for (char c : field) {
    if (IsControl(c)) return false;
  }
  return pelorin::IsValidUtf8(field);
}

bool IsBodyField(const std::string& body) {
  for (char c : body) {
    if (IsControl(c) && c != '\n' && c != '\t') return false;
  }
  return pelorin::IsValidUtf8(body);
}

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "violated: %s\n", what);
  std::abort();
}

std::string PercentEncoded(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    encoded += '%';
    encoded += kHex[byte >> 4];
    encoded += kHex[byte & 15];
  }
  return encoded;
}

// What the subject field should show of `text`: control characters as blanks, cut to 1000
// bytes between characters.
std::string ExpectedSubject(std::string text) {
  for (char& c : text) {
    if (IsControl(c)) c = ' ';
  }
  return std::string(pelorin::Utf8Prefix(text, 1000));
}

// What the body should show of `text`: CR LF, CR and LF as "\n", other control characters
// but the tab as blanks.
std::string ExpectedBody(std::string_view text) {
  std::string body;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    const char c = text[i];
    body += c == '\r' ? '\n' : (c == '\n' || c == '\t' || !IsControl(c)) ? c : ' ';
  }
  return body;
}

void CheckArbitraryLink(const std::string& link) {
  const pelorin::MailtoFields fields = pelorin::ParseMailtoLink(link);
  Require(IsOneLineField(fields.email), "address is one line of UTF-8");
  Require(IsOneLineField(fields.subject), "subject is one line of UTF-8");
  Require(fields.subject.size() <= 1000, "subject within 1000 bytes");
  Require(IsBodyField(fields.body), "body is UTF-8 with line breaks and tabs only");
}

void CheckEncodedText(const std::string& text) {
  if (!pelorin::IsValidUtf8(text)) return;
  const std::string encoded = PercentEncoded(text);
  const pelorin::MailtoFields fields =
      pelorin::ParseMailtoLink("mailto:a@example.org?subject=" + encoded + "&body=" + encoded);
  Require(fields.email == "a@example.org", "address of the encoded link");
  Require(fields.subject == ExpectedSubject(text), "subject comes back");
  Require(fields.body == ExpectedBody(text), "body comes back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckArbitraryLink(input);
  CheckEncodedText(input);
  return 0;
}
