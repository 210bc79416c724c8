#include "desktop/oauth_token_endpoint.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace pelorin::oauth {
namespace {

constexpr int kTransferTimeoutMs = 60 * 1000;
constexpr qint64 kLongestAnswer = 64 * 1024;
// What a provider that names no lifetime is taken to give (RFC 6749 recommends naming it).
constexpr int kAssumedLifetimeSeconds = 3600;

std::string Text(const QJsonObject& json, const char* name) {
  return json.value(QLatin1String(name)).toString().toStdString();
}

TokenEndpointAnswer Failure(std::string words) {
  TokenEndpointAnswer answer;
  answer.failure = std::move(words);
  return answer;
}

TokenEndpointAnswer Read(const QNetworkReply& reply, const QByteArray& body) {
  const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QJsonObject json = QJsonDocument::fromJson(body).object();
  const std::string host = reply.url().host().toStdString();
  if (json.contains(QLatin1String("error"))) {
    TokenEndpointAnswer answer;
    answer.kind = TokenEndpointAnswer::Kind::Refused;
    answer.refusal = {Text(json, "error"), Text(json, "error_description")};
    return answer;
  }
  if (reply.error() != QNetworkReply::NoError && status == 0) {
    return Failure("The sign-in server " + host +
                   " could not be reached: " + reply.errorString().toStdString() + ".");
  }
  const std::string access = Text(json, "access_token");
  if (status != 200 || access.empty()) {
    return Failure("The sign-in server " + host + " gave an answer that is not a token (HTTP " +
                   std::to_string(status) + ").");
  }
  TokenEndpointAnswer answer;
  answer.kind = TokenEndpointAnswer::Kind::Granted;
  answer.accessToken = access;
  answer.refreshToken = Text(json, "refresh_token");
  answer.expiresInSeconds = json.value(QLatin1String("expires_in")).toInt(kAssumedLifetimeSeconds);
  return answer;
}

}  // namespace

void PostToTokenEndpoint(QNetworkAccessManager& manager, QObject* context, const std::string& url,
                         const Form& form, TokenEndpointDone done) {
  QNetworkRequest request(QUrl(QString::fromStdString(url)));
  request.setHeader(QNetworkRequest::ContentTypeHeader,
                    QByteArrayLiteral("application/x-www-form-urlencoded"));
  request.setRawHeader("Accept", "application/json");
  request.setTransferTimeout(kTransferTimeoutMs);
  // A token request is never sent on to another address.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
  QNetworkReply* reply = manager.post(request, QByteArray::fromStdString(EncodeForm(form)));
  QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received) {
    if (received > kLongestAnswer) reply->abort();
  });
  QObject::connect(reply, &QNetworkReply::finished, context, [reply, done = std::move(done)] {
    reply->deleteLater();
    done(Read(*reply, reply->read(kLongestAnswer)));
  });
}

}  // namespace pelorin::oauth
