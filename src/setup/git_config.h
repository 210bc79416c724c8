// The user's address from the text of a git configuration file (~/.gitconfig and
// $XDG_CONFIG_HOME/git/config).
#pragma once

#include <string>
#include <string_view>

namespace pelorin {

// The last "email" of a [user] section, read as git reads it: section and key names in any
// case, "#" and ";" comments, quoted parts with their escapes, a backslash at a line's end
// going on in the next line. Empty when there is none. Included files are not followed.
std::string ReadGitUserEmail(std::string_view text);

}  // namespace pelorin
