// The texts of the authorization code flow with PKCE (RFC 7636, S256): the secrets made for
// one sign-in, the address the browser opens, and the forms posted to the token endpoint.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "desktop/oauth_endpoints.h"

namespace pelorin::oauth {

// `bytes` random bytes from the system's generator, base64url without padding.
std::string RandomUrlSafe(int bytes);

// BASE64URL(SHA256(verifier)), the S256 challenge.
std::string ChallengeS256(const std::string& verifier);

// What one sign-in sends: made fresh for each.
struct SignInSecrets {
  std::string verifier;
  std::string state;
};
SignInSecrets NewSignInSecrets();

using Form = std::vector<std::pair<std::string, std::string>>;

// application/x-www-form-urlencoded, every value percent-encoded (also '+').
std::string EncodeForm(const Form& form);

std::string AuthorizationUrl(const Endpoints& endpoints, const std::string& redirectUri,
                             const SignInSecrets& secrets, const std::string& account);
Form CodeExchangeForm(const Endpoints& endpoints, const std::string& code,
                      const std::string& redirectUri, const std::string& verifier);
Form RefreshForm(const Endpoints& endpoints, const std::string& refreshToken);

}  // namespace pelorin::oauth
