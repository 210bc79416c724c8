// The SASL messages that sign in with an OAuth2 access token: XOAUTH2 (Google's and
// Microsoft's) and OAUTHBEARER (RFC 7628), and the error a server sends in a 334 challenge
// when it refuses the token. Pure functions over text, so that tests feed them the documents'
// examples.
#pragma once

#include <string>
#include <string_view>

namespace pelorin::sasl {

// The initial responses, base64-encoded as they follow "AUTH XOAUTH2 " / "AUTH OAUTHBEARER ".
std::string XOAuth2InitialResponse(std::string_view user, std::string_view token);
std::string OAuthBearerInitialResponse(std::string_view user, std::string_view host,
                                       std::string_view port, std::string_view token);

// What the client answers to an error challenge so that the server ends the exchange with its
// final reply: OAUTHBEARER a lone ^A ("AQ=="), XOAUTH2 an empty line.
std::string_view ErrorChallengeAnswer(std::string_view mechanism);

// The JSON object a 334 challenge carries once the server has refused the token.
struct TokenError {
  std::string status;  // "invalid_token", "insufficient_scope", or an HTTP code like "401"
  std::string schemes;
  std::string scope;
};

// Reads the challenge's base64 text (after "334 "); fields that are missing stay empty.
TokenError ParseTokenError(std::string_view challenge);

// What the error means, in a few words for the user ("the token has expired or was
// revoked"); empty when the challenge says nothing usable.
std::string TokenErrorWords(const TokenError& error);

}  // namespace pelorin::sasl
