#include "desktop/internet_shortcut.h"

#include <QString>
#include <QUrl>
#include <algorithm>
#include <cctype>

namespace os {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view Trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(kBlanks) - start + 1);
}

bool SameLetters(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string_view NextLine(std::string_view& text) {
  const std::size_t end = text.find_first_of("\r\n");
  const std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return line;
}

}  // namespace

bool IsInternetShortcutName(std::string_view fileName) {
  return fileName.size() >= 4 && SameLetters(fileName.substr(fileName.size() - 4), ".url");
}

std::optional<std::string> InternetShortcutUrl(std::string_view text) {
  bool inShortcut = false;
  while (!text.empty()) {
    const std::string_view line = Trimmed(NextLine(text));
    if (line.starts_with('[')) {
      inShortcut = SameLetters(line, "[InternetShortcut]");
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!inShortcut || equals == std::string_view::npos) continue;
    if (!SameLetters(Trimmed(line.substr(0, equals)), "URL")) continue;
    const std::string_view url = Trimmed(line.substr(equals + 1));
    if (!url.empty()) return std::string(url);
  }
  return std::nullopt;
}

bool IsWebAddress(std::string_view url) {
  const QUrl parsed(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())));
  const QString scheme = parsed.scheme().toLower();
  return parsed.isValid() &&
         (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
         !parsed.host().isEmpty();
}

}  // namespace os
