#include "setup/linux_mail_import.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "mail/utf8_text.h"
#include "setup/evolution_sources.h"
#include "setup/git_config.h"
#include "setup/msmtprc.h"
#include "setup/thunderbird_prefs.h"
#include "setup/thunderbird_profiles.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;

// Larger than any settings file these programs write: something else stands there.
constexpr std::uintmax_t kMaxFileSize = 16 * 1024 * 1024;

std::optional<std::string> ReadTextFile(const fs::path& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error) || fs::file_size(path, error) > kMaxFileSize || error) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) return std::nullopt;
  return text;
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

fs::path ConfigDirectory(const MailSetupPlaces& places) {
  const fs::path xdg(places.xdgConfigHome);
  return xdg.is_absolute() ? xdg : fs::path(places.home) / ".config";
}

bool IsOneLineOfUtf8(const std::string& text) {
  return IsValidUtf8(text) && std::none_of(text.begin(), text.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || c == '\x7F';
         });
}

bool IsPortNumber(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What no field may hold is dropped; a server without a name takes its details with it.
MailSetup Checked(MailSetup setup) {
  for (std::string* field : {&setup.address, &setup.server, &setup.user}) {
    if (!IsOneLineOfUtf8(*field)) field->clear();
  }
  if (!IsPortNumber(setup.port)) setup.port.clear();
  if (setup.server.empty()) {
    setup.port.clear();
    setup.security.clear();
    setup.user.clear();
  }
  return setup;
}

MailSetup FromThunderbird(const fs::path& home) {
  const fs::path directory = home / ".thunderbird";
  const auto ini = ReadTextFile(directory / "profiles.ini");
  if (!ini) return {};
  const auto profile = DefaultThunderbirdProfile(*ini);
  if (!profile) return {};
  const fs::path profileDir =
      profile->relative ? directory / profile->path : fs::path(profile->path);
  const auto prefs = ReadTextFile(profileDir / "prefs.js");
  return prefs ? ReadThunderbirdPrefs(*prefs) : MailSetup{};
}

MailSetup FromEvolution(const fs::path& configDirectory) {
  std::vector<SourceFile> files;
  std::error_code error;
  for (fs::directory_iterator it(configDirectory / "evolution" / "sources", error), end;
       !error && it != end; it.increment(error)) {
    if (it->path().extension() != ".source") continue;
    if (auto text = ReadTextFile(it->path())) {
      files.push_back({it->path().stem().string(), std::move(*text)});
    }
  }
  return ReadEvolutionSources(std::move(files));
}

MailSetup FromMsmtp(const fs::path& home) {
  const auto text = ReadTextFile(home / ".msmtprc");
  return text ? ReadMsmtprc(*text) : MailSetup{};
}

// ~/.gitconfig wins over the other file, as it does for git.
MailSetup FromGit(const fs::path& home, const fs::path& configDirectory) {
  MailSetup setup;
  for (const fs::path& file : {home / ".gitconfig", configDirectory / "git" / "config"}) {
    if (const auto text = ReadTextFile(file)) setup.address = ReadGitUserEmail(*text);
    setup = Checked(setup);
    if (setup.Found()) break;
  }
  return setup;
}

}  // namespace

MailSetupPlaces MailSetupPlaces::FromEnvironment() {
  return {EnvironmentValue("HOME"), EnvironmentValue("XDG_CONFIG_HOME")};
}

MailSetup FindLinuxMailSetup(const MailSetupPlaces& places) {
  if (places.home.empty()) return {};
  const fs::path home(places.home);
  const fs::path config = ConfigDirectory(places);
  if (MailSetup setup = Checked(FromThunderbird(home)); setup.Found()) return setup;
  if (MailSetup setup = Checked(FromEvolution(config)); setup.Found()) return setup;
  if (MailSetup setup = Checked(FromMsmtp(home)); setup.Found()) return setup;
  return FromGit(home, config);
}

}  // namespace pelorin
