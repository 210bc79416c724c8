// Arbitrary bytes as a message body and as typed header text. The 7-bit form is 7-bit, keeps
// its lines within 76 characters and decodes back to the body; a header field is 7-bit, keeps
// within 998 bytes a line, within 78 where it has a blank to fold at, and reads back as the
// text; encoded words never split a UTF-8 character.
#include <QByteArray>
#include <QStringDecoder>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mail/mime_header.h"
#include "transport/mime_transfer.h"

namespace {

const std::string kHeader =
    "Subject: s\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
    "Content-Transfer-Encoding: 8bit\r\n\r\n";
const std::string kSevenBitHeader =
    "Subject: s\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n";

void Check(bool holds) {
  if (!holds) std::abort();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

bool IsSevenBit(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 128; });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DecodedQuotedPrintable(const std::string& text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      decoded += text[i];
    } else if (text.compare(i, 3, "=\r\n") == 0) {
      i += 2;
    } else {
      Check(i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0);
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    }
  }
  return decoded;
}

void CheckSevenBitForm(const std::string& body) {
  const std::string form = pelorin::SevenBitForm(kHeader + body);
  Check(form.compare(0, kSevenBitHeader.size(), kSevenBitHeader) == 0);
  const std::string encoded = form.substr(kSevenBitHeader.size());
  Check(IsSevenBit(encoded));
  for (const std::string& line : Lines(encoded)) {
    Check(line.size() <= 76);
    Check(line.find_first_of("\r\n") == std::string::npos);
    Check(line.empty() || (line.back() != ' ' && line.back() != '\t'));
  }
  Check(DecodedQuotedPrintable(encoded) == body);
}

bool IsUtf8(const std::string& text) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  const QString decoded = utf8.decode(QByteArray::fromStdString(text));
  return !utf8.hasError();
}

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The text of encoded words, or an empty result when `text` is not made of them alone.
std::string DecodedWords(const std::string& text, std::vector<std::string>* pieces) {
  std::string decoded;
  std::size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    Check(text.compare(at, 10, "=?UTF-8?B?") == 0);
    const std::size_t end = text.find("?=", at + 10);
    Check(end != std::string::npos && end + 2 - at <= 75);
    const std::string piece =
        QByteArray::fromBase64(QByteArray::fromStdString(text.substr(at + 10, end - at - 10)))
            .toStdString();
    if (pieces) pieces->push_back(piece);
    decoded += piece;
    at = end + 2;
  }
  return decoded;
}

// The field's lines: 7-bit, within 998, within 78 unless nothing could fold them; unfolded,
// the value after `start`.
std::string CheckedFieldValue(const std::string& field, const std::string& start) {
  Check(field.size() >= 2 && field.compare(field.size() - 2, 2, "\r\n") == 0);
  Check(IsSevenBit(field));
  std::string unfolded;
  const std::vector<std::string> lines = Lines(field.substr(0, field.size() - 2));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    Check(line.size() <= pelorin::kMaxMessageLineBytes);
    Check(line.find_first_of("\r\n") == std::string::npos);
    Check(i == 0 || line[0] == ' ' || line[0] == '\t');
    Check(line.find_first_not_of(" \t") != std::string::npos);
    if (line.size() > pelorin::kFoldedLineLimit) {
      const std::size_t word = line.find_first_not_of(" \t", i == 0 ? start.size() : 0);
      const std::size_t blank = line.find_first_of(" \t", word);
      Check(blank == std::string::npos ||
            line.find_first_not_of(" \t", blank) == std::string::npos);
    }
    unfolded += line;
  }
  Check(unfolded.compare(0, start.size(), start) == 0);
  return unfolded.substr(start.size());
}

// A value reads back as the text: as it is, or as encoded words that hold whole characters.
void CheckReadsAs(const std::string& value, const std::string& text) {
  if (value == text) return;
  std::vector<std::string> pieces;
  Check(DecodedWords(value, &pieces) == text);
  if (!IsUtf8(text)) return;
  for (const std::string& piece : pieces) Check(!piece.empty() && !IsContinuationByte(piece[0]));
}

void CheckHeaderFields(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  CheckReadsAs(CheckedFieldValue(pelorin::UnstructuredField("Subject", text), "Subject: "), text);
  const std::string to = CheckedFieldValue(pelorin::AddressField("To", text, "a@b"), "To: ");
  const std::string address = " <a@b>";
  Check(to.size() >= address.size() &&
        to.compare(to.size() - address.size(), address.size(), address) == 0);
  CheckReadsAs(to.substr(0, to.size() - address.size()), text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckSevenBitForm(input);
  CheckHeaderFields(input);
  return 0;
}
