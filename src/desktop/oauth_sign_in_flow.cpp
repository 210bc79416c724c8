#include "desktop/oauth_sign_in_flow.h"

#include <QMetaObject>
#include <cstdlib>

#include "desktop/oauth_browser.h"
#include "desktop/oauth_error_words.h"

namespace pelorin::oauth {
namespace {

constexpr int kPatienceMinutes = 5;

// The browser's wait, shorter for the tests that see it end.
int PatienceMs() {
  const char* seconds = std::getenv("PELORIN_OAUTH_WAIT_SECONDS");
  if (seconds != nullptr && std::atoi(seconds) > 0) return std::atoi(seconds) * 1000;
  return kPatienceMinutes * 60 * 1000;
}

std::string Param(const QUrlQuery& query, const char* name) {
  return query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded).toStdString();
}

}  // namespace

SignInFlow::SignInFlow(QNetworkAccessManager& manager, Client client, Endpoints endpoints,
                       Ended ended)
    : manager_(manager),
      client_(std::move(client)),
      endpoints_(std::move(endpoints)),
      ended_(std::move(ended)),
      context_(std::make_unique<QObject>()),
      listener_([this](const QUrlQuery& answer) { return Arrive(answer); }) {}

void SignInFlow::Start() {
  std::string failure;
  if (!listener_.Open(&failure)) return Fail(failure);
  const std::string url =
      AuthorizationUrl(endpoints_, listener_.RedirectUri(), secrets_, client_.account);
  if (!OpenBrowser(url, context_.get(), &failure, [this](const std::string& failed) {
        if (!answered_) Fail(failed);
      })) {
    return Fail(failure);
  }
  patience_.setSingleShot(true);
  QObject::connect(&patience_, &QTimer::timeout, context_.get(), [this] {
    Fail("No answer came from the browser within " + std::to_string(PatienceMs() / 1000) +
         " seconds, so the sign-in was given up. Sign in again to try once more.");
  });
  patience_.start(PatienceMs());
}

std::string SignInFlow::Arrive(const QUrlQuery& answer) {
  if (answered_) return "This sign-in is over. You can close this window.";
  if (Param(answer, "state") != secrets_.state) {
    Fail(
        "The browser brought an answer that does not belong to this sign-in (its state does "
        "not match), so it was refused. Sign in again.");
    return "This answer does not belong to this sign-in and was refused.";
  }
  if (answer.hasQueryItem(QStringLiteral("error"))) {
    const std::string words =
        RefusalWords(client_, {Param(answer, "error"), Param(answer, "error_description")});
    Fail(words);
    return words;
  }
  answered_ = true;
  patience_.stop();
  const std::string code = Param(answer, "code");
  QMetaObject::invokeMethod(
      context_.get(), [this, code] { Exchange(code); }, Qt::QueuedConnection);
  return "Pelorin 32 has the answer of the sign-in. You can close this window and go back to "
         "Pelorin 32.";
}

void SignInFlow::Exchange(const std::string& code) {
  PostToTokenEndpoint(
      manager_, context_.get(), endpoints_.token,
      CodeExchangeForm(endpoints_, code, listener_.RedirectUri(), secrets_.verifier),
      [this](const TokenEndpointAnswer& answer) {
        if (answer.kind == TokenEndpointAnswer::Kind::Refused) {
          return Fail(RefusalWords(client_, answer.refusal));
        }
        if (answer.kind == TokenEndpointAnswer::Kind::Granted && answer.refreshToken.empty()) {
          return Fail(ProviderName(client_.provider) +
                      " gave no refresh token, so the sign-in could not be kept. "
                      "Sign in again.");
        }
        End(answer);
      });
}

// Ends from the event loop: a failure may be found while the listener answers the browser.
void SignInFlow::Fail(const std::string& failure) {
  TokenEndpointAnswer answer;
  answer.failure = failure;
  End(answer);
}

void SignInFlow::End(const TokenEndpointAnswer& answer) {
  if (over_) return;
  over_ = true;
  answered_ = true;
  patience_.stop();
  QMetaObject::invokeMethod(
      context_.get(),
      [this, answer] {
        const Ended ended = ended_;  // the flow may go in it
        ended(answer);
      },
      Qt::QueuedConnection);
}

}  // namespace pelorin::oauth
