// How the user signs in to the server, beside the security settings under the program's key
// "\Software\Pelorin 32": "Sign-in" ("password", "oauth2-microsoft", "oauth2-google" or
// "oauth2-other"; missing reads as "password", where an empty user name means nobody signs
// in, as before), and for OAuth2 "OAuth Client ID", "OAuth Tenant" (Microsoft's, empty for
// "common"), and the values given by hand only: "OAuth Client Secret", "OAuth Authorization
// Endpoint", "OAuth Token Endpoint" and "OAuth Scope". Tokens are never kept here.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/oauth_token_source.h"
#include "setup/found_server.h"

namespace pelorin {

// In the order of the advanced settings' "Sign-in" list.
enum class SignInChoice { None, Password, OAuthMicrosoft, OAuthGoogle, OAuthOther };
inline constexpr std::array<std::string_view, 5> kSignInChoiceNames = {
    "None", "Password", "OAuth2 (Microsoft)", "OAuth2 (Google)", "OAuth2 (other)"};

struct SignInSettings {
  SignInChoice choice = SignInChoice::Password;
  std::string clientId;
  std::string tenant;
  bool operator==(const SignInSettings&) const = default;
};

constexpr bool UsesOAuth(SignInChoice choice) {
  return choice >= SignInChoice::OAuthMicrosoft;
}

// The stored text of a choice and back; None and Password are both "password", told apart by
// the user name.
std::string SignInText(SignInChoice choice);
SignInChoice SignInFromText(std::string_view text, const std::string& userName);

// Missing or unreadable values read as their defaults.
SignInSettings ReadSignInSettings(const std::string& userName);
// The sign-in proposed by the first run's import or the look-up (`proposed`, a stored text)
// where none is stored.
SignInSettings ReadSignInSettingsProposed(const std::string& userName, const std::string& proposed);
bool SignInIsStored();
// Raises os::RegistryError when a value cannot be written; false when the key does not open.
bool WriteSignInSettings(const SignInSettings& settings);
// Keeps the proposed sign-in where none is stored yet (the key created when missing).
void FillEmptySignIn(const std::string& proposed);

// The OAuth2 client and account for signing in as `account` to `server`, with the values given
// by hand; none unless `settings` choose OAuth2.
std::optional<oauth::Client> OAuthClientFor(const SignInSettings& settings,
                                            const std::string& account, const std::string& server);

// The sign-in to propose for a server the look-up found, as a stored text, or empty text.
std::string ProposedSignIn(const setup::FoundServer& found);

}  // namespace pelorin
