#include "transport/sign_in_advice.h"

#include <QByteArrayView>
#include <array>

namespace pelorin {
namespace {

constexpr const char* kWantsOAuth2 =
    "Your provider no longer takes a password from mail programs: it wants OAuth2. Choose "
    "OAuth2 under \"Sign-in\" in the advanced settings (Properties, Advanced...).";
constexpr const char* kWantsAppPassword =
    "Google takes a password from mail programs only as an app password: turn on 2-Step "
    "Verification, make an app password at https://myaccount.google.com/apppasswords and give "
    "it as the password; or choose \"OAuth2 (Google)\" under \"Sign-in\" in the advanced "
    "settings.";

struct Advice {
  const char* mark;  // found anywhere in the reply, as the provider writes it
  const char* text;
};

constexpr std::array<Advice, 4> kAdvice = {{
    {"5.7.30", kWantsOAuth2},
    {"5.7.139", kWantsOAuth2},
    {"Application-specific password required", kWantsAppPassword},
    {"5.7.9 ", kWantsAppPassword},
}};

}  // namespace

std::string PasswordRefusalAdvice(std::string_view reply) {
  const QByteArrayView text(reply.data(), static_cast<qsizetype>(reply.size()));
  for (const Advice& advice : kAdvice) {
    if (text.indexOf(QByteArrayView(advice.mark)) >= 0) return advice.text;
  }
  return {};
}

}  // namespace pelorin
