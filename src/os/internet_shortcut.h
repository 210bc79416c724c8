// Internet shortcuts (.url files): INI text whose [InternetShortcut] section names a URL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace os {

// Whether the file name ends in ".url", in any letter case.
bool IsInternetShortcutName(std::string_view fileName);

// The URL= value of the [InternetShortcut] section (section and key in any letter case,
// blanks around the value dropped), or nothing when there is none or it is empty.
std::optional<std::string> InternetShortcutUrl(std::string_view text);

}  // namespace os
