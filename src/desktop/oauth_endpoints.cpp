#include "desktop/oauth_endpoints.h"

#include <QUrl>

namespace pelorin::oauth {
namespace {

#ifndef PELORIN_OAUTH_MICROSOFT_CLIENT_ID
#define PELORIN_OAUTH_MICROSOFT_CLIENT_ID ""
#endif
#ifndef PELORIN_OAUTH_GOOGLE_CLIENT_ID
#define PELORIN_OAUTH_GOOGLE_CLIENT_ID ""
#endif
#ifndef PELORIN_OAUTH_GOOGLE_CLIENT_SECRET
#define PELORIN_OAUTH_GOOGLE_CLIENT_SECRET ""
#endif

Endpoints BuiltIn(const Client& client) {
  switch (client.provider) {
    case Provider::Microsoft: {
      const std::string tenant = client.tenant.empty() ? "common" : client.tenant;
      const std::string base =
          "https://login.microsoftonline.com/" +
          QUrl::toPercentEncoding(QString::fromStdString(tenant)).toStdString() + "/oauth2/v2.0/";
      return {base + "authorize",
              base + "token",
              "https://outlook.office.com/SMTP.Send offline_access",
              PELORIN_OAUTH_MICROSOFT_CLIENT_ID,
              "",
              ""};
    }
    case Provider::Google:
      // Without prompt=consent Google gives a refresh token only at the first consent.
      return {"https://accounts.google.com/o/oauth2/v2/auth",
              "https://oauth2.googleapis.com/token",
              "https://mail.google.com/",
              PELORIN_OAUTH_GOOGLE_CLIENT_ID,
              PELORIN_OAUTH_GOOGLE_CLIENT_SECRET,
              "&access_type=offline&prompt=consent"};
    case Provider::Custom:
      break;
  }
  return {};
}

void Replace(std::string& value, const std::string& given) {
  if (!given.empty()) value = given;
}

}  // namespace

std::string ProviderName(Provider provider) {
  switch (provider) {
    case Provider::Microsoft:
      return "Microsoft";
    case Provider::Google:
      return "Google";
    case Provider::Custom:
      break;
  }
  return "the sign-in server";
}

bool IsSafeEndpoint(const std::string& url) {
  const QUrl address(QString::fromStdString(url), QUrl::StrictMode);
  if (!address.isValid() || address.host().isEmpty()) return false;
  if (address.scheme() == QLatin1String("https")) return true;
  const QString host = address.host();
  return address.scheme() == QLatin1String("http") &&
         (host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") ||
          host == QLatin1String("::1"));
}

std::optional<Endpoints> ResolveEndpoints(const Client& client, std::string* failure) {
  Endpoints endpoints = BuiltIn(client);
  Replace(endpoints.authorization, client.authorizationEndpoint);
  Replace(endpoints.token, client.tokenEndpoint);
  Replace(endpoints.scope, client.scope);
  Replace(endpoints.clientId, client.clientId);
  Replace(endpoints.clientSecret, client.clientSecret);
  if (endpoints.authorization.empty() || endpoints.token.empty() || endpoints.scope.empty()) {
    *failure =
        "OAuth2 sign-in with another provider needs its authorization endpoint, its token "
        "endpoint and the scope: set all three.";
    return std::nullopt;
  }
  if (endpoints.clientId.empty()) {
    *failure = "No OAuth client ID is set for " + ProviderName(client.provider) +
               ": enter the one registered for this program in the Advanced settings.";
    return std::nullopt;
  }
  for (const std::string* url : {&endpoints.authorization, &endpoints.token}) {
    if (!IsSafeEndpoint(*url)) {
      *failure = "The sign-in address \"" + *url +
                 "\" is not a secure one: it must start with https:// (plain http only to "
                 "this machine).";
      return std::nullopt;
    }
  }
  return endpoints;
}

}  // namespace pelorin::oauth
