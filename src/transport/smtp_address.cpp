#include "transport/smtp_address.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <algorithm>

namespace pelorin {
namespace {

bool IsAscii(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
}

}  // namespace

std::optional<std::string> WireAddress(std::string_view address) {
  const std::size_t at = address.rfind('@');
  const std::string_view domain = at == std::string_view::npos ? "" : address.substr(at + 1);
  if (IsAscii(domain)) return std::string(address);
  const QByteArray ace =
      QUrl::toAce(QString::fromUtf8(domain.data(), static_cast<qsizetype>(domain.size())));
  if (ace.isEmpty() || !IsAscii(std::string_view(ace.constData(), ace.size()))) return std::nullopt;
  return std::string(address.substr(0, at + 1)) + ace.toStdString();
}

bool NeedsSmtpUtf8(std::string_view wireAddress) {
  return !IsAscii(wireAddress);
}

}  // namespace pelorin
