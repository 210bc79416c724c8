// The desktop's list of default applications (mimeapps.list, an INI-like file): reading and
// replacing the default application of one type while every other line stays as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace os {

// The text with `desktopId` as the only default application for `mimeType`: the type's lines
// in [Default Applications] are replaced by one line right below the section's heading; the
// section is added at the end when the text has none.
std::string WithDefaultApplication(std::string_view text, std::string_view mimeType,
                                   std::string_view desktopId);

// The first desktop file named for `mimeType` in [Default Applications], or nothing.
std::optional<std::string> DefaultApplication(std::string_view text, std::string_view mimeType);

}  // namespace os
