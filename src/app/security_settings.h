// The settings for today's mail providers, kept under the program's own registry key
// "\Software\Pelorin 32" so that tessaly32.cfg keeps its format byte for byte: how the
// connection is secured ("Security": "none", "starttls" or "tls"), who signs in ("User Name",
// empty for nobody) and the certificate the user chose to trust ("Trusted Certificate", its
// SHA-256 fingerprint, with the server and port it was trusted for in "Trusted Certificate
// Server" and "Trusted Certificate Port"). The password is never kept here: it lives in the
// desktop's keyring.
#pragma once

#include <string>
#include <string_view>

#include "setup/mail_setup.h"
#include "transport/smtp_session.h"

namespace pelorin {

inline constexpr const char* kProgramKey = "\\Software\\Pelorin 32";

struct SecuritySettings {
  SmtpSecurity security = SmtpSecurity::None;
  std::string userName;
  bool operator==(const SecuritySettings&) const = default;
};

// "none" for anything unknown or missing.
SmtpSecurity SecurityFromText(std::string_view text);
std::string SecurityText(SmtpSecurity security);

// Missing values read as their defaults; a key that does not open gives the defaults.
SecuritySettings ReadSecuritySettings();
// The same, with what another mail program's settings gave where the stored values are empty.
SecuritySettings ReadSecuritySettingsFilledFrom(const MailSetup& found);
// True when a security is stored, chosen by the user or given by an import; a value of another
// type counts as one, as it cannot be told apart from a choice.
bool SecurityIsStored();
// False when the program's key does not open for writing (its hive file cannot be written);
// raises os::RegistryError when a value cannot be written.
bool WriteSecuritySettings(const SecuritySettings& settings);

// The fingerprint trusted for exactly this server and port, else empty. One stored without its
// server (as before pins were kept per server) cannot be told apart from one for another
// server, so it counts as none: the user is asked again.
std::string ReadTrustedCertificate(const std::string& server, const std::string& port);
// Raises os::RegistryError when a value cannot be written.
void WriteTrustedCertificate(const std::string& server, const std::string& port,
                             const std::string& fingerprint);
// The settings now name this server and port: a pin for another (or for one not known) goes.
// Raises os::RegistryError as above.
void DropTrustedCertificateUnlessFor(const std::string& server, const std::string& port);
// What another mail program's settings gave on the first run fills the security and the user
// name where they are still empty (the key created when missing); never a password. Raises
// os::RegistryError as the others do.
void FillEmptySecuritySettings(const MailSetup& found);

}  // namespace pelorin
