// One sign-in through the browser: the loopback listener, the browser opened at the
// authorization address, the provider's answer checked against the state, and the code
// exchanged for tokens with the PKCE verifier. Keeping the tokens is for whoever started it.
#pragma once

#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "desktop/oauth_endpoints.h"
#include "desktop/oauth_loopback.h"
#include "desktop/oauth_requests.h"
#include "desktop/oauth_token_endpoint.h"

class QNetworkAccessManager;

namespace pelorin::oauth {

class SignInFlow {
 public:
  // Called once, from the event loop: a Granted answer, or a failure in words. The flow may
  // be destroyed in it.
  using Ended = std::function<void(const TokenEndpointAnswer&)>;

  SignInFlow(QNetworkAccessManager& manager, Client client, Endpoints endpoints, Ended ended);
  SignInFlow(const SignInFlow&) = delete;
  SignInFlow& operator=(const SignInFlow&) = delete;

  void Start();

 private:
  std::string Arrive(const QUrlQuery& answer);
  void Exchange(const std::string& code);
  void Fail(const std::string& failure);
  void End(const TokenEndpointAnswer& answer);

  QNetworkAccessManager& manager_;
  Client client_;
  Endpoints endpoints_;
  Ended ended_;
  SignInSecrets secrets_ = NewSignInSecrets();
  bool answered_ = false;  // the browser brought the provider's answer, or the flow ended
  bool over_ = false;      // its end is on its way to whoever started it
  std::unique_ptr<QObject> context_;  // answers to the flow come while it lives
  LoopbackListener listener_;
  QTimer patience_;
};

}  // namespace pelorin::oauth
