// One request to the token endpoint: a form posted over verified TLS (plain http only to this
// machine), its JSON answer read into a grant or the provider's refusal.
#pragma once

#include <functional>
#include <string>

#include "desktop/oauth_error_words.h"
#include "desktop/oauth_requests.h"

class QNetworkAccessManager;
class QObject;

namespace pelorin::oauth {

struct TokenEndpointAnswer {
  enum class Kind { Granted, Refused, Failed } kind = Kind::Failed;
  std::string accessToken;
  std::string refreshToken;  // may be empty: the provider kept the one it gave before
  int expiresInSeconds = 0;
  ProviderRefusal refusal;  // Refused
  std::string failure;      // Failed: why, in words
};

using TokenEndpointDone = std::function<void(const TokenEndpointAnswer&)>;

// Answered on the manager's thread; not at all once `context` is gone.
void PostToTokenEndpoint(QNetworkAccessManager& manager, QObject* context, const std::string& url,
                         const Form& form, TokenEndpointDone done);

}  // namespace pelorin::oauth
