#include "setup/autoconfig_xml.h"

#include <QByteArray>
#include <QXmlStreamReader>
#include <string>
#include <vector>

namespace pelorin::setup {
namespace {

// One <outgoingServer type="smtp"> as written.
struct OutgoingServer {
  std::string hostname;
  std::string port;
  std::string socketType;
  std::vector<std::string> authentication;
};

std::string Text(QXmlStreamReader& reader) {
  return reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
}

OutgoingServer ReadServer(QXmlStreamReader& reader) {
  OutgoingServer server;
  while (reader.readNextStartElement()) {
    const auto name = reader.name();
    if (name == QLatin1String("hostname")) {
      server.hostname = Text(reader);
    } else if (name == QLatin1String("port")) {
      server.port = Text(reader);
    } else if (name == QLatin1String("socketType")) {
      server.socketType = Text(reader);
    } else if (name == QLatin1String("authentication")) {
      server.authentication.push_back(Text(reader));
    } else {
      reader.skipCurrentElement();
    }
  }
  return server;
}

// Every SMTP server of the file, wherever it stands below the root; none when the file is not
// well formed or its root is not clientConfig.
std::vector<OutgoingServer> ReadServers(std::string_view bytes) {
  QXmlStreamReader reader(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
  std::vector<OutgoingServer> servers;
  if (!reader.readNextStartElement() || reader.name() != QLatin1String("clientConfig")) return {};
  while (!reader.atEnd()) {
    reader.readNext();
    if (reader.isStartElement() && reader.name() == QLatin1String("outgoingServer") &&
        reader.attributes().value(QLatin1String("type")) == QLatin1String("smtp")) {
      servers.push_back(ReadServer(reader));
    }
  }
  if (reader.hasError()) return {};
  return servers;
}

std::optional<SmtpSecurity> SecurityOf(const std::string& socketType) {
  if (socketType == "SSL") return SmtpSecurity::Tls;
  if (socketType == "STARTTLS") return SmtpSecurity::StartTls;
  return std::nullopt;  // plain text, or unknown
}

std::optional<int> PortOf(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

SignInMethod SignInOf(const std::vector<std::string>& kinds) {
  for (const std::string& kind : kinds) {
    if (kind == "OAuth2") return SignInMethod::OAuth2;
    if (kind == "password-cleartext" || kind == "password-encrypted") {
      return SignInMethod::Password;
    }
  }
  return SignInMethod::Password;
}

std::string WithDomain(std::string host, std::string_view domain) {
  static constexpr std::string_view kPlaceholder = "%EMAILDOMAIN%";
  for (std::size_t at = host.find(kPlaceholder); at != std::string::npos;
       at = host.find(kPlaceholder, at + domain.size())) {
    host.replace(at, kPlaceholder.size(), domain);
  }
  return host;
}

std::optional<FoundServer> Usable(const OutgoingServer& server, std::string_view domain) {
  const auto security = SecurityOf(server.socketType);
  const auto port = PortOf(server.port);
  const std::string host = WithDomain(server.hostname, domain);
  if (!security || !port || !IsPlainHostName(host)) return std::nullopt;
  return FoundServer{host, *port, *security, SignInOf(server.authentication),
                     FoundBy::AutoconfigFile};
}

}  // namespace

std::optional<FoundServer> ParseAutoconfig(std::string_view bytes, std::string_view domain) {
  for (const OutgoingServer& server : ReadServers(bytes)) {
    if (auto found = Usable(server, domain)) return found;
  }
  return std::nullopt;
}

}  // namespace pelorin::setup
