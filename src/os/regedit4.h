// The REGEDIT4 text format, as regedit exports a registry branch: the header line
// "REGEDIT4", a blank line, then one section per key,
//
//   [HKEY_CURRENT_USER\Software\Pelorin 32]
//   "Command Line"="/opt/pelorin32/pelorin32"
//   @="the default value"
//   "Flags"=dword:00000001
//
// String data and value names escape backslash and quote with a backslash. Data of any other
// kind (dword:, hex:, hex(N):, possibly continued over lines ending in "\") is kept as written,
// so that a rewrite gives it back unchanged. Only text is handled here, no files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace os {

struct RegValue {
  std::string name;  // empty for the key's default value ("@")
  bool isString = true;
  // The unescaped text for a string; otherwise the data as written after "=".
  std::string data;
  bool operator==(const RegValue&) const = default;
};

struct RegSection {
  std::string path;  // full key path, beginning with the root's name
  std::vector<RegValue> values;
  bool operator==(const RegSection&) const = default;
};

struct RegDocument {
  std::vector<RegSection> sections;
  bool operator==(const RegDocument&) const = default;
};

// Parses a whole file. Lines may end in CR LF or LF; comment lines (";") and lines that are
// neither sections nor values are dropped. Returns nothing when the text does not begin with
// the "REGEDIT4" header; an empty text is an empty document.
std::optional<RegDocument> ParseRegedit4(std::string_view text);

// The file text, lines ended by CR LF as regedit writes them.
std::string FormatRegedit4(const RegDocument& document);

// The data of a value that is not a string, decoded: its registry type (REG_DWORD,
// REG_BINARY, or N for hex(N):) and bytes. A text that is none of these decodes to type 0
// (REG_NONE) with no bytes.
struct RawData {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> bytes;
};
RawData DecodeRawData(std::string_view written);

// Case-insensitive comparison as the registry compares key and value names.
bool RegNamesEqual(std::string_view a, std::string_view b);

}  // namespace os
