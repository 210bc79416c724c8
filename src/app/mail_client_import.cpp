#include "app/mail_client_import.h"

#include "app/globals.h"
#include "os/kernel.h"
#include "os/registry_class.h"
#include "setup/linux_mail_import.h"

namespace pelorin {
namespace {

constexpr const char* kProgramKey = "\\Software\\Pelorin 32";
constexpr const char* kInternetMailKey = "\\Software\\Microsoft\\Internet Mail and News\\Mail";
constexpr const char* kNetscapeKey = "\\Software\\Netscape\\Netscape Navigator";
constexpr const char* kNetscapeUserKey = "\\Software\\Netscape\\Netscape Navigator\\User";
constexpr const char* kNetscapeServicesKey = "\\Software\\Netscape\\Netscape Navigator\\Services";

void ImportFromInternetMail(os::Registry& registry) {
  if (!registry.OpenKey(kInternetMailKey, false)) return;
  // Without a sender name the client was never set up: nothing of it is taken.
  if (registry.ReadString("Sender Name").empty()) return;
  if (SenderAddress.empty()) SenderAddress = registry.ReadString("Sender Email");
  if (SmtpServer.empty()) SmtpServer = registry.ReadString("Default SMTP Server");
}

void ImportFromNetscape(os::Registry& registry) {
  if (!registry.OpenKey(kNetscapeKey, false)) return;
  if (registry.OpenKey(kNetscapeUserKey, false) && SenderAddress.empty()) {
    SenderAddress = registry.ReadString("User_Addr");
  }
  if (registry.OpenKey(kNetscapeServicesKey, false) && SmtpServer.empty()) {
    SmtpServer = registry.ReadString("SMTP_Server");
  }
}

// A port, a security and a user name belong to their server: they come only with it.
MailSetup ImportFromDesktopMailPrograms() {
  if (!SenderAddress.empty() && !SmtpServer.empty()) return {};
  const MailSetup found = FindLinuxMailSetup(MailSetupPlaces::FromEnvironment());
  MailSetup taken;
  if (SenderAddress.empty()) SenderAddress = taken.address = found.address;
  if (SmtpServer.empty() && !found.server.empty()) {
    taken.server = found.server;
    taken.port = found.port;
    taken.security = found.security;
    taken.user = found.user;
    SmtpServer = found.server;
    if (!found.port.empty()) SmtpPort = found.port;
  }
  return taken;
}

}  // namespace

void RecordProgramPath() {
  os::Registry registry;
  if (registry.OpenKey(kProgramKey, true)) {
    registry.WriteString("Command Line", os::GetModuleFileName());
  }
}

MailSetup ImportMailClientDefaults() {
  SmtpServer.clear();
  SenderAddress.clear();
  DialEntry.clear();
  UseDialup = false;
  os::Registry registry;
  ImportFromInternetMail(registry);
  ImportFromNetscape(registry);
  return ImportFromDesktopMailPrograms();
}

}  // namespace pelorin
