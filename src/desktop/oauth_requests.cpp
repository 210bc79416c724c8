#include "desktop/oauth_requests.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QUrl>

namespace pelorin::oauth {
namespace {

std::string Base64Url(const QByteArray& bytes) {
  return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
      .toStdString();
}

std::string Encoded(const std::string& text) {
  return QUrl::toPercentEncoding(QByteArray::fromStdString(text)).toStdString();
}

// The client secret goes only where one is set: a public client sends none.
void AddClient(Form& form, const Endpoints& endpoints) {
  form.emplace_back("client_id", endpoints.clientId);
  if (!endpoints.clientSecret.empty()) form.emplace_back("client_secret", endpoints.clientSecret);
}

}  // namespace

std::string RandomUrlSafe(int bytes) {
  QByteArray random(bytes, '\0');
  for (char& byte : random) byte = static_cast<char>(QRandomGenerator::system()->bounded(256));
  return Base64Url(random);
}

std::string ChallengeS256(const std::string& verifier) {
  return Base64Url(
      QCryptographicHash::hash(QByteArray::fromStdString(verifier), QCryptographicHash::Sha256));
}

// 32 bytes make a verifier of 43 characters, the shortest RFC 7636 allows.
SignInSecrets NewSignInSecrets() {
  return {RandomUrlSafe(32), RandomUrlSafe(16)};
}

std::string EncodeForm(const Form& form) {
  std::string text;
  for (const auto& [name, value] : form) {
    if (!text.empty()) text += '&';
    text += Encoded(name) + "=" + Encoded(value);
  }
  return text;
}

std::string AuthorizationUrl(const Endpoints& endpoints, const std::string& redirectUri,
                             const SignInSecrets& secrets, const std::string& account) {
  Form form = {
      {"response_type", "code"},        {"client_id", endpoints.clientId},
      {"redirect_uri", redirectUri},    {"scope", endpoints.scope},
      {"state", secrets.state},         {"code_challenge", ChallengeS256(secrets.verifier)},
      {"code_challenge_method", "S256"}};
  if (!account.empty()) form.emplace_back("login_hint", account);
  const char joint = endpoints.authorization.find('?') == std::string::npos ? '?' : '&';
  return endpoints.authorization + joint + EncodeForm(form) + endpoints.authorizationExtras;
}

Form CodeExchangeForm(const Endpoints& endpoints, const std::string& code,
                      const std::string& redirectUri, const std::string& verifier) {
  Form form = {{"grant_type", "authorization_code"},
               {"code", code},
               {"redirect_uri", redirectUri},
               {"code_verifier", verifier}};
  AddClient(form, endpoints);
  return form;
}

Form RefreshForm(const Endpoints& endpoints, const std::string& refreshToken) {
  Form form = {
      {"grant_type", "refresh_token"}, {"refresh_token", refreshToken}, {"scope", endpoints.scope}};
  AddClient(form, endpoints);
  return form;
}

}  // namespace pelorin::oauth
