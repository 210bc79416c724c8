#include "transport/sasl_oauth.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace pelorin::sasl {
namespace {

constexpr char kSeparator = '\x01';

std::string Base64(const std::string& text) {
  return QByteArray(text.data(), static_cast<qsizetype>(text.size())).toBase64().toStdString();
}

// RFC 5801's saslname: a comma or an equals sign in the user would end the header field.
std::string SaslName(std::string_view user) {
  std::string name;
  for (const char c : user) {
    if (c == ',') {
      name += "=2C";
    } else if (c == '=') {
      name += "=3D";
    } else {
      name += c;
    }
  }
  return name;
}

std::string Field(const QJsonObject& object, const char* key) {
  const QJsonValue value = object.value(QLatin1String(key));
  if (value.isDouble()) return std::to_string(value.toInt());
  return value.toString().toStdString();
}

}  // namespace

std::string XOAuth2InitialResponse(std::string_view user, std::string_view token) {
  std::string text = "user=";
  text.append(user) += kSeparator;
  text.append("auth=Bearer ").append(token) += kSeparator;
  text += kSeparator;
  return Base64(text);
}

std::string OAuthBearerInitialResponse(std::string_view user, std::string_view host,
                                       std::string_view port, std::string_view token) {
  std::string text = "n,a=" + SaslName(user) + "," + kSeparator;
  text.append("host=").append(host) += kSeparator;
  text.append("port=").append(port) += kSeparator;
  text.append("auth=Bearer ").append(token) += kSeparator;
  text += kSeparator;
  return Base64(text);
}

std::string_view ErrorChallengeAnswer(std::string_view mechanism) {
  return mechanism == "OAUTHBEARER" ? "AQ==" : "";
}

TokenError ParseTokenError(std::string_view challenge) {
  const QByteArray json = QByteArray::fromBase64(
      QByteArray(challenge.data(), static_cast<qsizetype>(challenge.size())).trimmed());
  const QJsonObject object = QJsonDocument::fromJson(json).object();
  return {Field(object, "status"), Field(object, "schemes"), Field(object, "scope")};
}

std::string TokenErrorWords(const TokenError& error) {
  std::string words;
  if (error.status == "invalid_token" || error.status == "401") {
    words = "the token has expired or was revoked";
  } else if (error.status == "insufficient_scope" || error.status == "403") {
    words = "the token does not allow sending mail";
  } else if (error.status == "invalid_request" || error.status == "400") {
    words = "the server could not read the sign-in";
  } else if (!error.status.empty()) {
    words = "the server answered \"" + error.status + "\"";
  }
  if (!words.empty() && !error.scope.empty()) words += " (it asks for \"" + error.scope + "\")";
  return words;
}

}  // namespace pelorin::sasl
