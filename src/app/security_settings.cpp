#include "app/security_settings.h"

#include "app/mailto_link.h"
#include "os/registry_class.h"

namespace pelorin {
namespace {

constexpr const char* kSecurity = "Security";
constexpr const char* kUserName = "User Name";
constexpr const char* kTrustedCertificate = "Trusted Certificate";

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
  SecuritySettings settings;
  os::Registry registry(os::KEY_READ);
  if (!registry.OpenKey(kProgramKey, false)) return settings;
  try {
    settings.security = SecurityFromText(registry.ReadString(kSecurity));
    settings.userName = ToSingleLine(registry.ReadString(kUserName));
    settings.trustedCertificate = registry.ReadString(kTrustedCertificate);
  } catch (const os::RegistryError&) {
    return {};  // a value of another type: as if none were set
  }
  return settings;
}

bool WriteSecuritySettings(const SecuritySettings& settings) {
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, true)) return false;
  registry.WriteString(kSecurity, SecurityText(settings.security));
  registry.WriteString(kUserName, settings.userName);
  registry.WriteString(kTrustedCertificate, settings.trustedCertificate);
  return true;
}

void WriteTrustedCertificate(const std::string& fingerprint) {
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, true)) return;
  registry.WriteString(kTrustedCertificate, fingerprint);
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
