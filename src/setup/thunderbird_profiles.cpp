#include "setup/thunderbird_profiles.h"

#include "setup/key_file.h"

namespace pelorin {
namespace {

bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

std::optional<ProfileLocation> ProfileOf(const KeyFileGroup& group, const KeyFile& ini) {
  const std::string path = ini.Value(group.name, "Path");
  if (path.empty()) return std::nullopt;
  return ProfileLocation{path, ini.Value(group.name, "IsRelative") == "1"};
}

// Since Thunderbird 68 each installation names its profile by the path as the [Profile...]
// section writes it.
std::optional<ProfileLocation> InstallationDefault(const KeyFile& ini) {
  for (const KeyFileGroup& group : ini.Groups()) {
    if (!StartsWith(group.name, "Install")) continue;
    const std::string path = ini.Value(group.name, "Default");
    if (path.empty()) continue;
    for (const KeyFileGroup& profile : ini.Groups()) {
      if (StartsWith(profile.name, "Profile") && ini.Value(profile.name, "Path") == path) {
        return ProfileOf(profile, ini);
      }
    }
    return ProfileLocation{path, path.front() != '/'};
  }
  return std::nullopt;
}

}  // namespace

std::optional<ProfileLocation> DefaultThunderbirdProfile(std::string_view profilesIni) {
  const KeyFile ini = KeyFile::Parse(profilesIni, ValueEscapes::None);
  if (auto installed = InstallationDefault(ini)) return installed;
  std::optional<ProfileLocation> first;
  for (const KeyFileGroup& group : ini.Groups()) {
    if (!StartsWith(group.name, "Profile")) continue;
    const auto profile = ProfileOf(group, ini);
    if (profile && ini.Value(group.name, "Default") == "1") return profile;
    if (!first) first = profile;
  }
  return first;
}

}  // namespace pelorin
