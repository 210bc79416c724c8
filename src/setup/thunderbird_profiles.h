// Which Thunderbird profile is the default one, read from the text of profiles.ini.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelorin {

struct ProfileLocation {
  std::string path;
  bool relative = true;  // IsRelative=1: relative to the directory that holds profiles.ini
  bool operator==(const ProfileLocation&) const = default;
};

// The profile that an installation uses (the "Default" of the first [Install...] section),
// else the [Profile...] marked Default=1, else the first profile; nothing when the file names
// no profile.
std::optional<ProfileLocation> DefaultThunderbirdProfile(std::string_view profilesIni);

}  // namespace pelorin
