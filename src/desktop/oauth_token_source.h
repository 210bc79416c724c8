// OAuth2 access tokens for signing in to the mail server (XOAUTH2, OAUTHBEARER). Behind this
// interface so that the program loads what the flow needs (Qt's network module, the loopback
// listener) only when a send or the settings first ask for a token, and so that tests can
// answer in its place.
//
// Used on one thread with a running event loop. Each question is answered exactly once, later,
// on that thread. Answers not given yet when the object is destroyed are dropped.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace pelorin::oauth {

enum class Provider { Microsoft, Google, Custom };

// The client and account a token is for, as the settings hold them.
struct Client {
  Provider provider = Provider::Microsoft;
  std::string tenant;        // Microsoft's tenant; empty stands for "common"
  std::string clientId;      // empty: the build's default, if it has one
  std::string clientSecret;  // Google's installed-app secret (not a secret); may be empty
  // Given by hand: each one set replaces the provider's; Custom needs all three.
  std::string authorizationEndpoint;
  std::string tokenEndpoint;
  std::string scope;
  std::string account;  // the e-mail address signing in: the login hint and, with the
  std::string server;   // SMTP server, what the refresh token is kept under in the keyring
};

enum class TokenResult { Granted, SignInNeeded, Failed };

struct TokenAnswer {
  TokenResult result = TokenResult::Failed;
  std::string accessToken;  // Granted: good for at least a minute more
  std::string failure;      // otherwise why, in words a user understands
};

class TokenSource {
 public:
  using Done = std::function<void(const TokenAnswer&)>;
  virtual ~TokenSource() = default;
  // A token without asking the user: the one in memory while it has more than a minute to go
  // (unless `renew`), else a new one from the refresh token in the keyring. SignInNeeded when
  // there is none or the provider no longer takes it (revoked, expired, consent withdrawn).
  // Never opens the browser.
  virtual void Token(const Client& client, bool renew, Done done) = 0;
  // Opens the user's browser at the provider's sign-in page and waits, a few minutes at most,
  // for the redirect to the loopback listener; keeps the refresh token in the keyring.
  virtual void SignIn(const Client& client, Done done) = 0;
  // Drops the client's tokens, in memory and in the keyring (Granted when done).
  virtual void Forget(const Client& client, Done done) = 0;
};

// Makes the source that asks the provider, loading the module that holds it (beside the
// program) on first use; none, with the reason in `failure`, when it cannot be loaded. Tests
// put their own maker in place with UseTokenSourceMaker; an empty maker puts the module's back.
using TokenSourceMaker = std::function<std::unique_ptr<TokenSource>(std::string* failure)>;
std::unique_ptr<TokenSource> MakeTokenSource(std::string* failure);
void UseTokenSourceMaker(TokenSourceMaker maker);

// The module's file name and the entry it exports: a function without arguments that returns
// a new TokenSource, owned by the caller.
inline constexpr const char* kOAuthModuleFile = "libpelorin32-oauth.so";
inline constexpr const char* kOAuthModuleEntry = "pelorin32_new_token_source";

}  // namespace pelorin::oauth
