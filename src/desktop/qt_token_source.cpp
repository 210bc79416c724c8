#include "desktop/qt_token_source.h"

#include <QNetworkAccessManager>
#include <chrono>
#include <list>
#include <map>

#include "desktop/keyring.h"
#include "desktop/oauth_endpoints.h"
#include "desktop/oauth_error_words.h"
#include "desktop/oauth_sign_in_flow.h"
#include "desktop/oauth_token_endpoint.h"

namespace pelorin::oauth {
namespace {

using Clock = std::chrono::steady_clock;
// A token is renewed this long before it expires, so that a send started with it still
// signs in with it.
constexpr auto kRenewAhead = std::chrono::minutes(1);

struct KeptToken {
  std::string accessToken;
  Clock::time_point expiry;
};

TokenAnswer Failed(std::string failure) {
  return {TokenResult::Failed, "", std::move(failure)};
}

// Answers the source gives, and everything under way, live in here: a keyring job that ends
// after the source is gone finds it gone and drops its answer.
class Core : public std::enable_shared_from_this<Core> {
 public:
  void Later(TokenSource::Done done, TokenAnswer answer) {
    QMetaObject::invokeMethod(
        context_.get(), [done = std::move(done), answer] { done(answer); }, Qt::QueuedConnection);
  }

  std::optional<std::string> InMemory(const std::string& key) const {
    const auto found = kept_.find(key);
    if (found == kept_.end() || found->second.expiry - Clock::now() <= kRenewAhead) return {};
    return found->second.accessToken;
  }

  void Keep(const std::string& key, const TokenEndpointAnswer& granted) {
    kept_[key] = {granted.accessToken,
                  Clock::now() + std::chrono::seconds(granted.expiresInSeconds)};
  }

  void Refresh(const Client& client, const Endpoints& endpoints, const std::string& key,
               TokenSource::Done done) {
    const std::weak_ptr<Core> weak = weak_from_this();
    keyring::Read(RefreshTokenKey(client), [=](const keyring::Answer& read) {
      const auto core = weak.lock();
      if (core == nullptr) return;
      if (read.outcome == keyring::Outcome::NotFound) {
        return done({TokenResult::SignInNeeded, "",
                     (client.account.empty() ? std::string("This account") : client.account) +
                         " is not signed in with " + ProviderName(client.provider) +
                         " yet: sign in first."});
      }
      if (read.outcome == keyring::Outcome::Failed) {
        return done(
            Failed("The sign-in kept in the desktop's keyring cannot be read: " + read.error));
      }
      core->Post(client, endpoints, key, read.secret, done);
    });
  }

  void SignIn(const Client& client, const Endpoints& endpoints, const std::string& key,
              TokenSource::Done done) {
    flows_.emplace_back();
    const auto flow = std::prev(flows_.end());
    *flow = std::make_unique<SignInFlow>(
        Manager(), client, endpoints,
        [this, flow, client, key, done](const TokenEndpointAnswer& answer) {
          // Not while the flow is still answering.
          QMetaObject::invokeMethod(
              context_.get(), [this, flow] { flows_.erase(flow); }, Qt::QueuedConnection);
          if (answer.kind != TokenEndpointAnswer::Kind::Granted)
            return done(Failed(answer.failure));
          Store(client, key, answer, true, done);
        });
    (*flow)->Start();
  }

  // Every token kept for the account at the server, whatever client it was given to.
  void DropAll(const Client& client) {
    const std::string prefix = RefreshTokenKey(client) + '\n';
    std::erase_if(kept_, [&](const auto& kept) { return kept.first.starts_with(prefix); });
  }

 private:
  // The refresh token goes to the keyring before the answer: a sign-in granted but lost at the
  // next start would send the user through the browser again without a word. A renewed one
  // that cannot be kept leaves the one before, which the provider still takes for a while.
  void Store(const Client& client, const std::string& key, const TokenEndpointAnswer& answer,
             bool mustKeep, TokenSource::Done done) {
    const std::weak_ptr<Core> weak = weak_from_this();
    keyring::Write(RefreshTokenKey(client), answer.refreshToken, [=](const keyring::Answer& wrote) {
      const auto core = weak.lock();
      if (core == nullptr) return;
      if (wrote.outcome != keyring::Outcome::Done && mustKeep) {
        return done(Failed("Signed in, but the desktop's keyring could not keep the sign-in: " +
                           wrote.error));
      }
      core->Keep(key, answer);
      done({TokenResult::Granted, answer.accessToken, ""});
    });
  }

  void Post(const Client& client, const Endpoints& endpoints, const std::string& key,
            const std::string& refreshToken, TokenSource::Done done) {
    PostToTokenEndpoint(
        Manager(), context_.get(), endpoints.token, RefreshForm(endpoints, refreshToken),
        [=, this](const TokenEndpointAnswer& answer) {
          if (answer.kind == TokenEndpointAnswer::Kind::Failed) return done(Failed(answer.failure));
          if (answer.kind == TokenEndpointAnswer::Kind::Refused) {
            const TokenResult result =
                MeansSignInAgain(answer.refusal) ? TokenResult::SignInNeeded : TokenResult::Failed;
            return done({result, "", RefusalWords(client, answer.refusal)});
          }
          // A provider that turns its refresh tokens over gives a new one with each.
          if (!answer.refreshToken.empty() && answer.refreshToken != refreshToken) {
            return Store(client, key, answer, false, done);
          }
          Keep(key, answer);
          done({TokenResult::Granted, answer.accessToken, ""});
        });
  }

  // Made at the first request, since it loads the TLS backend.
  QNetworkAccessManager& Manager() {
    if (manager_ == nullptr) manager_ = new QNetworkAccessManager(context_.get());
    return *manager_;
  }

  std::unique_ptr<QObject> context_ = std::make_unique<QObject>();
  QNetworkAccessManager* manager_ = nullptr;
  std::map<std::string, KeptToken> kept_;
  std::list<std::unique_ptr<SignInFlow>> flows_;
};

// Tokens in memory are told apart by everything that makes them: the account and server, and
// the client and token endpoint they were given to.
std::string MemoryKey(const Client& client, const Endpoints& endpoints) {
  return RefreshTokenKey(client) + '\n' + endpoints.token + '\n' + endpoints.clientId;
}

class QtTokenSource final : public TokenSource {
 public:
  void Token(const Client& client, bool renew, Done done) override {
    std::string failure;
    const std::optional<Endpoints> endpoints = ResolveEndpoints(client, &failure);
    if (!endpoints) return core_->Later(std::move(done), Failed(failure));
    const std::string key = MemoryKey(client, *endpoints);
    if (const auto token = core_->InMemory(key); token && !renew) {
      return core_->Later(std::move(done), {TokenResult::Granted, *token, ""});
    }
    core_->Refresh(client, *endpoints, key, std::move(done));
  }

  void SignIn(const Client& client, Done done) override {
    std::string failure;
    const std::optional<Endpoints> endpoints = ResolveEndpoints(client, &failure);
    if (!endpoints) return core_->Later(std::move(done), Failed(failure));
    core_->SignIn(client, *endpoints, MemoryKey(client, *endpoints), std::move(done));
  }

  void Forget(const Client& client, Done done) override {
    core_->DropAll(client);
    const std::weak_ptr<Core> weak = core_;
    keyring::Remove(RefreshTokenKey(client), [weak, done](const keyring::Answer& removed) {
      if (weak.expired()) return;
      if (removed.outcome == keyring::Outcome::Failed) {
        return done(Failed("The sign-in kept in the desktop's keyring cannot be removed: " +
                           removed.error));
      }
      done({TokenResult::Granted, "", ""});
    });
  }

 private:
  std::shared_ptr<Core> core_ = std::make_shared<Core>();
};

}  // namespace

std::string RefreshTokenKey(const Client& client) {
  return keyring::KeyFor(client.server, client.account) + " OAuth2 refresh token";
}

std::unique_ptr<TokenSource> NewQtTokenSource() {
  return std::make_unique<QtTokenSource>();
}

}  // namespace pelorin::oauth
