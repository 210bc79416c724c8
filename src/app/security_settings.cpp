#include "app/security_settings.h"

#include "mail/mailto_link.h"
#include "os/registry_class.h"

namespace pelorin {
namespace {

constexpr const char* kSecurity = "Security";
constexpr const char* kUserName = "User Name";
constexpr const char* kTrustedCertificate = "Trusted Certificate";
constexpr const char* kTrustedServer = "Trusted Certificate Server";
constexpr const char* kTrustedPort = "Trusted Certificate Port";

}  // namespace

SmtpSecurity SecurityFromText(std::string_view text) {
  if (text == "starttls") return SmtpSecurity::StartTls;
  if (text == "tls") return SmtpSecurity::Tls;
  return SmtpSecurity::None;
}

std::string SecurityText(SmtpSecurity security) {
  switch (security) {
    case SmtpSecurity::StartTls:
      return "starttls";
    case SmtpSecurity::Tls:
      return "tls";
    case SmtpSecurity::None:
      break;
  }
  return "none";
}

SecuritySettings ReadSecuritySettings() {
  return ReadSecuritySettingsFilledFrom({});
}

SecuritySettings ReadSecuritySettingsFilledFrom(const MailSetup& found) {
  std::string security = found.security;
  std::string userName = found.user;
  os::Registry registry(os::KEY_READ);
  if (registry.OpenKey(kProgramKey, false)) {
    try {
      if (std::string stored = registry.ReadString(kSecurity); !stored.empty()) security = stored;
      if (std::string stored = registry.ReadString(kUserName); !stored.empty()) userName = stored;
    } catch (const os::RegistryError&) {
      return {};  // a value of another type: as if none were set
    }
  }
  return {SecurityFromText(security), ToSingleLine(userName)};
}

bool SecurityIsStored() {
  os::Registry registry(os::KEY_READ);
  if (!registry.OpenKey(kProgramKey, false)) return false;
  try {
    return !registry.ReadString(kSecurity).empty();
  } catch (const os::RegistryError&) {
    return true;
  }
}

bool WriteSecuritySettings(const SecuritySettings& settings) {
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, true)) return false;
  registry.WriteString(kSecurity, SecurityText(settings.security));
  registry.WriteString(kUserName, settings.userName);
  return true;
}

std::string ReadTrustedCertificate(const std::string& server, const std::string& port) {
  if (server.empty()) return {};  // as a pin stored without its server has it
  os::Registry registry(os::KEY_READ);
  if (!registry.OpenKey(kProgramKey, false)) return {};
  try {
    if (registry.ReadString(kTrustedServer) != server) return {};
    if (registry.ReadString(kTrustedPort) != port) return {};
    return registry.ReadString(kTrustedCertificate);
  } catch (const os::RegistryError&) {
    return {};
  }
}

void WriteTrustedCertificate(const std::string& server, const std::string& port,
                             const std::string& fingerprint) {
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, true)) return;
  registry.WriteString(kTrustedCertificate, fingerprint);
  registry.WriteString(kTrustedServer, server);
  registry.WriteString(kTrustedPort, port);
}

void DropTrustedCertificateUnlessFor(const std::string& server, const std::string& port) {
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, false)) return;
  if (registry.ReadString(kTrustedCertificate).empty()) return;
  if (registry.ReadString(kTrustedServer) == server && registry.ReadString(kTrustedPort) == port) {
    return;
  }
  WriteTrustedCertificate("", "", "");
}

void FillEmptySecuritySettings(const MailSetup& found) {
  if (found.security.empty() && found.user.empty()) return;
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, true)) return;
  if (!found.security.empty() && registry.ReadString(kSecurity).empty()) {
    registry.WriteString(kSecurity, SecurityText(SecurityFromText(found.security)));
  }
  if (!found.user.empty() && registry.ReadString(kUserName).empty()) {
    registry.WriteString(kUserName, found.user);
  }
}

}  // namespace pelorin
