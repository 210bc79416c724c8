#include "desktop/mimeapps_list.h"

#include <vector>

namespace os {
namespace {

constexpr std::string_view kDefaultsHeading = "[Default Applications]";
constexpr std::string_view kBlanks = " \t\r\n";

std::string_view Trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(kBlanks) - start + 1);
}

// The lines with their line ends, so that the untouched ones are written back byte for byte.
std::vector<std::string_view> LinesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

bool IsHeading(std::string_view line) {
  return Trimmed(line).starts_with('[');
}

bool IsDefaultsHeading(std::string_view line) {
  return Trimmed(line) == kDefaultsHeading;
}

// The key of a "key=value" line, or nothing.
std::optional<std::string_view> KeyOf(std::string_view line) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return Trimmed(line.substr(0, equals));
}

std::string AssociationLine(std::string_view mimeType, std::string_view desktopId) {
  return std::string(mimeType) + "=" + std::string(desktopId) + ";\n";
}

std::string WithSectionAdded(std::string_view text, std::string_view association) {
  std::string result(text);
  if (!result.empty() && !result.ends_with('\n')) result += '\n';
  if (!result.empty()) result += '\n';
  result += std::string(kDefaultsHeading) + "\n";
  result += association;
  return result;
}

}  // namespace

std::string WithDefaultApplication(std::string_view text, std::string_view mimeType,
                                   std::string_view desktopId) {
  const std::string association = AssociationLine(mimeType, desktopId);
  std::string result;
  bool inDefaults = false;
  bool sectionFound = false;
  for (std::string_view line : LinesOf(text)) {
    if (IsHeading(line)) inDefaults = false;
    if (inDefaults && KeyOf(line) == mimeType) continue;
    result += line;
    if (IsDefaultsHeading(line) && !sectionFound) {
      if (!line.ends_with('\n')) result += '\n';
      result += association;
      inDefaults = sectionFound = true;
    } else if (IsDefaultsHeading(line)) {
      inDefaults = true;  // a repeated heading continues the same section
    }
  }
  return sectionFound ? result : WithSectionAdded(text, association);
}

std::optional<std::string> DefaultApplication(std::string_view text, std::string_view mimeType) {
  bool inDefaults = false;
  for (std::string_view line : LinesOf(text)) {
    if (IsHeading(line)) {
      inDefaults = IsDefaultsHeading(line);
      continue;
    }
    if (!inDefaults || KeyOf(line) != mimeType) continue;
    const std::string_view value = Trimmed(line.substr(line.find('=') + 1));
    const std::string_view first = Trimmed(value.substr(0, value.find(';')));
    if (!first.empty()) return std::string(first);
  }
  return std::nullopt;
}

}  // namespace os
