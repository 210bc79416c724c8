#include "app/sign_in_settings.h"

#include "app/security_settings.h"
#include "mail/mailto_link.h"
#include "os/registry_class.h"
#include "setup/provider_table.h"

namespace pelorin {
namespace {

constexpr const char* kSignIn = "Sign-in";
constexpr const char* kClientId = "OAuth Client ID";
constexpr const char* kTenant = "OAuth Tenant";
constexpr const char* kClientSecret = "OAuth Client Secret";
constexpr const char* kAuthorizationEndpoint = "OAuth Authorization Endpoint";
constexpr const char* kTokenEndpoint = "OAuth Token Endpoint";
constexpr const char* kScope = "OAuth Scope";

// Each value on its own: one of another type reads as empty.
std::string ReadValue(os::Registry& registry, const char* name) {
  try {
    return ToSingleLine(registry.ReadString(name));
  } catch (const os::RegistryError&) {
    return {};
  }
}

oauth::Provider ProviderOf(SignInChoice choice) {
  if (choice == SignInChoice::OAuthGoogle) return oauth::Provider::Google;
  if (choice == SignInChoice::OAuthOther) return oauth::Provider::Custom;
  return oauth::Provider::Microsoft;
}

}  // namespace

std::string SignInText(SignInChoice choice) {
  switch (choice) {
    case SignInChoice::OAuthMicrosoft:
      return "oauth2-microsoft";
    case SignInChoice::OAuthGoogle:
      return "oauth2-google";
    case SignInChoice::OAuthOther:
      return "oauth2-other";
    case SignInChoice::None:
    case SignInChoice::Password:
      break;
  }
  return "password";
}

SignInChoice SignInFromText(std::string_view text, const std::string& userName) {
  if (text == "oauth2-microsoft") return SignInChoice::OAuthMicrosoft;
  if (text == "oauth2-google") return SignInChoice::OAuthGoogle;
  if (text == "oauth2-other") return SignInChoice::OAuthOther;
  return userName.empty() ? SignInChoice::None : SignInChoice::Password;
}

SignInSettings ReadSignInSettings(const std::string& userName) {
  return ReadSignInSettingsProposed(userName, {});
}

SignInSettings ReadSignInSettingsProposed(const std::string& userName,
                                          const std::string& proposed) {
  std::string choice = proposed;
  SignInSettings settings;
  os::Registry registry(os::KEY_READ);
  if (registry.OpenKey(kProgramKey, false)) {
    if (std::string stored = ReadValue(registry, kSignIn); !stored.empty()) choice = stored;
    settings.clientId = ReadValue(registry, kClientId);
    settings.tenant = ReadValue(registry, kTenant);
  }
  settings.choice = SignInFromText(choice, userName);
  return settings;
}

bool SignInIsStored() {
  os::Registry registry(os::KEY_READ);
  return registry.OpenKey(kProgramKey, false) && !ReadValue(registry, kSignIn).empty();
}

bool WriteSignInSettings(const SignInSettings& settings) {
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, true)) return false;
  registry.WriteString(kSignIn, SignInText(settings.choice));
  registry.WriteString(kClientId, settings.clientId);
  registry.WriteString(kTenant, settings.tenant);
  return true;
}

void FillEmptySignIn(const std::string& proposed) {
  if (proposed.empty()) return;
  os::Registry registry;
  if (!registry.OpenKey(kProgramKey, true)) return;
  if (ReadValue(registry, kSignIn).empty()) registry.WriteString(kSignIn, proposed);
}

std::optional<oauth::Client> OAuthClientFor(const SignInSettings& settings,
                                            const std::string& account, const std::string& server) {
  if (!UsesOAuth(settings.choice)) return std::nullopt;
  oauth::Client client;
  client.provider = ProviderOf(settings.choice);
  client.tenant = settings.tenant;
  client.clientId = settings.clientId;
  client.account = account;
  client.server = server;
  os::Registry registry(os::KEY_READ);
  if (registry.OpenKey(kProgramKey, false)) {
    client.clientSecret = ReadValue(registry, kClientSecret);
    client.authorizationEndpoint = ReadValue(registry, kAuthorizationEndpoint);
    client.tokenEndpoint = ReadValue(registry, kTokenEndpoint);
    client.scope = ReadValue(registry, kScope);
  }
  return client;
}

// Only the two providers whose endpoints the program knows: another one's would have to be
// given by hand first.
std::string ProposedSignIn(const setup::FoundServer& found) {
  if (found.signIn != setup::SignInMethod::OAuth2) return {};
  const setup::ProviderRow* row = setup::ProviderForHost(found.host);
  if (row == nullptr) return {};
  if (row->host == "smtp.gmail.com") return SignInText(SignInChoice::OAuthGoogle);
  return SignInText(SignInChoice::OAuthMicrosoft);
}

}  // namespace pelorin
