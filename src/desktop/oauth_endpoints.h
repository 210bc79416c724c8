// Where a client signs in and what it asks for: the built-in providers' endpoints and scopes,
// replaced by those given by hand, and the client ID with the build's default.
#pragma once

#include <optional>
#include <string>

#include "desktop/oauth_token_source.h"

namespace pelorin::oauth {

struct Endpoints {
  std::string authorization;
  std::string token;
  std::string scope;
  std::string clientId;
  std::string clientSecret;
  // Extra parameters of the authorization request ("&name=value..."), encoded.
  std::string authorizationExtras;
};

// The provider's name as the user knows it.
std::string ProviderName(Provider provider);

// Nothing, with the reason in `failure`, when the client cannot sign in as it is set: no
// client ID, Custom without all three endpoints, an endpoint that is not https.
std::optional<Endpoints> ResolveEndpoints(const Client& client, std::string* failure);

// https, or http to this machine only (a redirect or a test server never leaves it).
bool IsSafeEndpoint(const std::string& url);

}  // namespace pelorin::oauth
