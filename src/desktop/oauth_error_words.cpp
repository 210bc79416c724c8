#include "desktop/oauth_error_words.h"

#include <array>

#include "desktop/oauth_endpoints.h"

namespace pelorin::oauth {
namespace {

enum class Cause { ConsentRefused, WrongTenant, UnknownClient, SignInAgain, Unavailable, Other };

struct CauseSign {
  const char* text;  // an error code, or a code Microsoft puts into the description
  Cause cause;
};

// Microsoft's own codes go first: it names a wrong tenant "invalid_request" and an unknown
// client sometimes "unauthorized_client".
constexpr std::array kSigns = {
    CauseSign{"AADSTS90002", Cause::WrongTenant},
    CauseSign{"AADSTS50020", Cause::WrongTenant},
    CauseSign{"AADSTS90072", Cause::WrongTenant},
    CauseSign{"AADSTS700016", Cause::UnknownClient},
    CauseSign{"AADSTS65004", Cause::ConsentRefused},
    CauseSign{"access_denied", Cause::ConsentRefused},
    CauseSign{"consent_required", Cause::ConsentRefused},
    CauseSign{"invalid_client", Cause::UnknownClient},
    CauseSign{"unauthorized_client", Cause::UnknownClient},
    CauseSign{"invalid_grant", Cause::SignInAgain},
    CauseSign{"server_error", Cause::Unavailable},
    CauseSign{"temporarily_unavailable", Cause::Unavailable},
};

Cause CauseOf(const ProviderRefusal& refusal) {
  for (const CauseSign& sign : kSigns) {
    if (refusal.description.find(sign.text) != std::string::npos || refusal.error == sign.text) {
      return sign.cause;
    }
  }
  return Cause::Other;
}

// The provider's own words, on one line and not without end, so that a long page of text
// does not fill the box.
std::string Quoted(const ProviderRefusal& refusal) {
  std::string said = refusal.description.empty() ? refusal.error : refusal.description;
  said = said.substr(0, said.find_first_of("\r\n"));
  if (said.size() > 200) said = said.substr(0, 200) + "...";
  return said.empty() ? "" : " (" + said + ")";
}

std::string Words(Cause cause, const Client& client) {
  const std::string provider = ProviderName(client.provider);
  const std::string account = client.account.empty() ? "the account" : client.account;
  switch (cause) {
    case Cause::ConsentRefused:
      return "The sign-in was not allowed: consent to let this program send mail as " + account +
             " was not given at " + provider + ".";
    case Cause::WrongTenant:
      return "Microsoft does not know the tenant \"" +
             (client.tenant.empty() ? std::string("common") : client.tenant) + "\", or " + account +
             " does not belong to it: check the tenant in the Advanced settings.";
    case Cause::UnknownClient:
      return provider + " does not know " +
             (client.clientId.empty() ? "this program's built-in OAuth client ID"
                                      : "the OAuth client ID \"" + client.clientId + "\"") +
             ", or does not allow it to sign in this way: check the OAuth client ID in the "
             "Advanced settings.";
    case Cause::SignInAgain:
      return "The sign-in of " + account + " with " + provider +
             " is no longer valid (it was revoked or has expired): sign in again.";
    case Cause::Unavailable:
      return provider + " cannot sign in now: try again later.";
    case Cause::Other:
      break;
  }
  return provider + " refused the sign-in.";
}

}  // namespace

bool MeansSignInAgain(const ProviderRefusal& refusal) {
  return CauseOf(refusal) == Cause::SignInAgain;
}

std::string RefusalWords(const Client& client, const ProviderRefusal& refusal) {
  return Words(CauseOf(refusal), client) + Quoted(refusal);
}

}  // namespace pelorin::oauth
