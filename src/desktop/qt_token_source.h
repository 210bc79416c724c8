// The token source that asks the provider: sign-in through the browser, the refresh token in
// the keyring, the access token in memory with its expiry. Built into the module the program
// loads, and into the tests that sign in against a local authorization server.
#pragma once

#include <memory>
#include <string>

#include "desktop/oauth_token_source.h"

namespace pelorin::oauth {

std::unique_ptr<TokenSource> NewQtTokenSource();

// The keyring key of a client's refresh token, beside its password's.
std::string RefreshTokenKey(const Client& client);

}  // namespace pelorin::oauth
