// The settings for today's mail providers, kept under the program's own registry key
// "\Software\Pelorin 32" so that tessaly32.cfg keeps its format byte for byte: how the
// connection is secured ("Security": "none", "starttls" or "tls"), who signs in ("User Name",
// empty for nobody) and the certificate the user chose to trust ("Trusted Certificate", its
// SHA-256 fingerprint). The password is never kept here: it lives in the desktop's keyring.
#pragma once

#include <string>
#include <string_view>

#include "transport/smtp_session.h"

namespace pelorin {

inline constexpr const char* kProgramKey = "\\Software\\Pelorin 32";

struct SecuritySettings {
  SmtpSecurity security = SmtpSecurity::None;
  std::string userName;
  std::string trustedCertificate;
  bool operator==(const SecuritySettings&) const = default;
};

// "none" for anything unknown or missing.
SmtpSecurity SecurityFromText(std::string_view text);
std::string SecurityText(SmtpSecurity security);

// Missing values read as their defaults; a key that does not open gives the defaults.
SecuritySettings ReadSecuritySettings();
// Raises os::RegistryError when a value cannot be written.
void WriteSecuritySettings(const SecuritySettings& settings);
void WriteTrustedCertificate(const std::string& fingerprint);

}  // namespace pelorin
