#include "os/regedit4.h"

#include <cctype>
#include <charconv>

namespace os {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kNewLine = "\r\n";
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Reads a quoted text at the start of `text` (which begins with the opening quote) and
// removes it from `text`. Only \\ and \" are escapes; any other backslash stands for itself.
std::optional<std::string> TakeQuoted(std::string_view& text) {
  std::string result;
  std::size_t i = 1;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      text.remove_prefix(i + 1);
      return result;
    }
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      result += text[i + 1];
      i += 2;
      continue;
    }
    result += c;
    ++i;
  }
  return std::nullopt;
}

std::string Quote(std::string_view text) {
  std::string result = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') result += '\\';
    result += c;
  }
  return result + "\"";
}

// Letters fold by ASCII alone, whatever locale the process runs in.
char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EndsContinued(std::string_view line) {
  return TrimRight(line).ends_with('\\');
}

class Parser {
 public:
  explicit Parser(std::vector<std::string_view> lines) : lines_(std::move(lines)) {}

  RegDocument Run() {
    for (next_ = 1; next_ < lines_.size();) ReadLine(lines_[next_++]);
    return std::move(document_);
  }

 private:
  void ReadLine(std::string_view line) {
    const std::string_view trimmed = TrimRight(TrimLeft(line));
    if (trimmed.starts_with('[') && trimmed.ends_with(']')) {
      document_.sections.push_back({std::string(trimmed.substr(1, trimmed.size() - 2)), {}});
    } else if (trimmed.starts_with('"') || trimmed.starts_with('@')) {
      ReadValue(trimmed);
    }
  }

  void ReadValue(std::string_view line) {
    RegValue value;
    if (line.starts_with('@')) {
      line.remove_prefix(1);
    } else {
      auto name = TakeQuoted(line);
      if (!name) return;
      value.name = std::move(*name);
    }
    line = TrimLeft(line);
    if (!line.starts_with('=')) return;
    line = TrimLeft(line.substr(1));
    if (line.starts_with('"')) {
      auto data = TakeQuoted(line);
      if (!data) return;
      value.data = std::move(*data);
    } else {
      value.isString = false;
      value.data = TakeRawData(line);
    }
    if (!document_.sections.empty()) document_.sections.back().values.push_back(value);
  }

  // Raw data, with its continuation lines joined back as they were written.
  std::string TakeRawData(std::string_view first) {
    std::string data(first);
    std::string_view last = first;
    while (EndsContinued(last) && next_ < lines_.size()) {
      last = lines_[next_++];
      data += kNewLine;
      data += last;
    }
    return data;
  }

  std::vector<std::string_view> lines_;
  std::size_t next_ = 0;
  RegDocument document_;
};

std::optional<std::uint8_t> HexByte(std::string_view digits) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(digits.begin(), digits.end(), value, 16);
  if (error != std::errc() || end != digits.end() || digits.empty() || value > 0xFF) {
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

// "01,02,ff" with blanks, line breaks and continuation backslashes between the bytes.
std::optional<std::vector<std::uint8_t>> DecodeHexList(std::string_view list) {
  std::vector<std::uint8_t> bytes;
  std::string cleaned;
  for (const char c : list) {
    if (!std::isspace(static_cast<unsigned char>(c)) && c != '\\') cleaned += c;
  }
  std::string_view rest = cleaned;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const auto byte = HexByte(rest.substr(0, comma));
    if (!byte) return std::nullopt;
    bytes.push_back(*byte);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return bytes;
}

std::optional<std::uint32_t> DecodeDword(std::string_view digits) {
  digits = TrimRight(digits);
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(digits.begin(), digits.end(), value, 16);
  if (error != std::errc() || end != digits.end() || digits.empty() || digits.size() > 8) {
    return std::nullopt;
  }
  return value;
}

RawData DecodeDwordData(std::string_view digits) {
  const auto value = DecodeDword(digits);
  if (!value) return {};
  RawData data{kRegDword, {}};
  for (int shift = 0; shift < 32; shift += 8) {
    data.bytes.push_back(static_cast<std::uint8_t>(*value >> shift));
  }
  return data;
}

RawData DecodeHexData(std::uint32_t type, std::string_view list) {
  auto bytes = DecodeHexList(list);
  if (!bytes) return {};
  return {type, std::move(*bytes)};
}

// "hex(N):..." with N in hexadecimal, as regedit writes the other kinds.
RawData DecodeTypedHexData(std::string_view written) {
  const std::size_t close = written.find("):");
  if (close == std::string_view::npos) return {};
  const auto type = DecodeDword(written.substr(4, close - 4));
  if (!type) return {};
  return DecodeHexData(*type, written.substr(close + 2));
}

}  // namespace

std::optional<RegDocument> ParseRegedit4(std::string_view text) {
  const std::vector<std::string_view> lines = SplitLines(text);
  if (lines.empty()) return RegDocument{};
  if (TrimRight(lines.front()) != kHeader) return std::nullopt;
  return Parser(lines).Run();
}

std::string FormatRegedit4(const RegDocument& document) {
  std::string text(kHeader);
  text += kNewLine;
  for (const RegSection& section : document.sections) {
    text += kNewLine;
    text += "[" + section.path + "]";
    text += kNewLine;
    for (const RegValue& value : section.values) {
      text += value.name.empty() ? std::string("@") : Quote(value.name);
      text += "=";
      text += value.isString ? Quote(value.data) : value.data;
      text += kNewLine;
    }
  }
  return text + std::string(kNewLine);
}

RawData DecodeRawData(std::string_view written) {
  if (written.starts_with("dword:")) return DecodeDwordData(written.substr(6));
  if (written.starts_with("hex:")) return DecodeHexData(kRegBinary, written.substr(4));
  if (written.starts_with("hex(")) return DecodeTypedHexData(written);
  return {};
}

bool RegNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace os
