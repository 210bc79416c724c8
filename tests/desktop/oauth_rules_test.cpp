// What a client's settings make of the endpoints, and how a provider's refusal reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "desktop/oauth_endpoints.h"
#include "desktop/oauth_error_words.h"

namespace pelorin::oauth {
namespace {

using ::testing::HasSubstr;

Client Custom() {
  return {Provider::Custom,
          "",
          "id",
          "",
          "https://idp.example.org/auth",
          "https://idp.example.org/token",
          "smtp",
          "ann@example.org",
          "smtp.example.org"};
}

Client Microsoft(const std::string& tenant) {
  Client client;
  client.tenant = tenant;
  client.clientId = "id-1";
  return client;
}

TEST(OAuthEndpointsTest, WhatIsGivenByHandReplacesTheProvidersAndMustBeSafe) {
  const struct {
    const char* what;
    void (*change)(Client&);
    const char* failure;  // null: resolved
  } cases[] = {
      {"complete", [](Client&) {}, nullptr},
      {"no authorization endpoint", [](Client& c) { c.authorizationEndpoint.clear(); },
       "all three"},
      {"no token endpoint", [](Client& c) { c.tokenEndpoint.clear(); }, "all three"},
      {"no scope", [](Client& c) { c.scope.clear(); }, "all three"},
      {"no client ID", [](Client& c) { c.clientId.clear(); }, "No OAuth client ID"},
      {"plain http elsewhere", [](Client& c) { c.tokenEndpoint = "http://idp.example.org/token"; },
       "https://"},
      {"plain http here", [](Client& c) { c.tokenEndpoint = "http://127.0.0.1:8080/t"; }, nullptr},
      {"Microsoft, endpoints replaced", [](Client& c) { c.provider = Provider::Microsoft; },
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Client client = Custom();
    c.change(client);
    std::string failure;
    const auto endpoints = ResolveEndpoints(client, &failure);
    EXPECT_EQ(endpoints.has_value(), c.failure == nullptr) << failure;
    if (c.failure != nullptr) {
      EXPECT_THAT(failure, HasSubstr(c.failure));
    } else if (endpoints) {
      EXPECT_EQ(endpoints->token, client.tokenEndpoint);
    }
  }
  const Client tenant = Microsoft("contoso.example");
  std::string failure;
  const auto microsoft = ResolveEndpoints(tenant, &failure);
  ASSERT_TRUE(microsoft) << failure;
  EXPECT_THAT(microsoft->authorization, HasSubstr("/contoso.example/"));
  EXPECT_THAT(microsoft->token, HasSubstr("/contoso.example/"));
}

TEST(OAuthRefusalTest, EachCauseReadsAsWhatToDo) {
  const struct {
    ProviderRefusal refusal;
    const char* words;
    bool signInAgain;
  } cases[] = {
      {{"invalid_grant", "AADSTS70000: revoked"}, "sign in again", true},
      {{"invalid_request", "AADSTS90002: Tenant 'x' not found."}, "tenant \"contoso\"", false},
      {{"invalid_request", "AADSTS50020: User account does not exist"}, "tenant", false},
      {{"unauthorized_client", "AADSTS700016: Application not found"}, "client ID \"id-1\"", false},
      {{"invalid_client", ""}, "check the OAuth client ID", false},
      {{"access_denied", ""}, "consent", false},
      {{"temporarily_unavailable", ""}, "try again later", false},
      {{"invalid_scope", "Bad\nscope"}, "refused the sign-in. (Bad)", false},
  };
  const Client client = Microsoft("contoso");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refusal.error + " " + c.refusal.description);
    EXPECT_THAT(RefusalWords(client, c.refusal), HasSubstr(c.words));
    EXPECT_EQ(MeansSignInAgain(c.refusal), c.signInAgain);
  }
}

}  // namespace
}  // namespace pelorin::oauth
