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

// Whether `url` is a web page: the scheme http or https (any letter case) and a host. A
// shortcut may name any scheme, and the desktop would start whatever program claims it.
bool IsWebAddress(std::string_view url);

}  // namespace os
