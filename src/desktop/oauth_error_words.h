// A provider's refusal (its "error" and "error_description", RFC 6749 4.1.2.1 and 5.2) in
// words a user understands, with what to do about it.
#pragma once

#include <string>

#include "desktop/oauth_token_source.h"

namespace pelorin::oauth {

struct ProviderRefusal {
  std::string error;
  std::string description;
};

// Whether the refusal means the kept sign-in is no longer good (revoked, expired, consent
// withdrawn): only a new sign-in mends that.
bool MeansSignInAgain(const ProviderRefusal& refusal);

std::string RefusalWords(const Client& client, const ProviderRefusal& refusal);

}  // namespace pelorin::oauth
