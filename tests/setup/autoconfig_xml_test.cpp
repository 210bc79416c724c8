// The autoconfig file's reader against sample files, good and bad.
#include "setup/autoconfig_xml.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace pelorin::setup {
namespace {

std::string Server(const std::string& type, const std::string& body) {
  return "<outgoingServer type=\"" + type + "\">" + body + "</outgoingServer>";
}

std::string File(const std::string& servers) {
  return "<?xml version=\"1.0\"?>\n<clientConfig version=\"1.1\"><emailProvider id=\"x\">"
         "<incomingServer type=\"imap\"><hostname>imap.x.org</hostname><port>993</port>"
         "<socketType>SSL</socketType></incomingServer>" +
         servers + "</emailProvider></clientConfig>";
}

const std::string kStartTls = Server("smtp",
                                     "<hostname>smtp.%EMAILDOMAIN%</hostname><port>587</port>"
                                     "<socketType>STARTTLS</socketType>"
                                     "<authentication>password-cleartext</authentication>");

struct Sample {
  const char* what;
  std::string bytes;
  std::optional<FoundServer> expected;
};

FoundServer Found(const char* host, int port, SmtpSecurity security, SignInMethod signIn) {
  return {host, port, security, signIn, FoundBy::AutoconfigFile};
}

TEST(AutoconfigXmlTest, GivesTheFirstSecuredSmtpServerWithItsSignInMethod) {
  using enum SignInMethod;
  const std::vector<Sample> samples = {
      {"STARTTLS with the domain put in", File(kStartTls),
       Found("smtp.example.org", 587, SmtpSecurity::StartTls, Password)},
      {"SSL, OAuth2 listed first",
       File(Server("smtp",
                   "<hostname>smtp.x.org</hostname><port>465</port><socketType>SSL"
                   "</socketType><authentication>OAuth2</authentication>"
                   "<authentication>password-cleartext</authentication>")),
       Found("smtp.x.org", 465, SmtpSecurity::Tls, OAuth2)},
      {"password listed before OAuth2; unknown children skipped",
       File(Server("smtp",
                   "<hostname> smtp.x.org </hostname><port>465</port><socketType>SSL"
                   "</socketType><username>%EMAILADDRESS%</username><authentication>"
                   "password-encrypted</authentication><authentication>OAuth2"
                   "</authentication>")),
       Found("smtp.x.org", 465, SmtpSecurity::Tls, Password)},
      {"no authentication listed",
       File(Server("smtp",
                   "<hostname>s.x.org</hostname><port>25"
                   "</port><socketType>STARTTLS</socketType>")),
       Found("s.x.org", 25, SmtpSecurity::StartTls, Password)},
      {"plain server passed over for the secured one after it",
       File(Server("smtp",
                   "<hostname>plain.x.org</hostname><port>25</port><socketType>plain"
                   "</socketType>") +
            kStartTls),
       Found("smtp.example.org", 587, SmtpSecurity::StartTls, Password)},
      {"only an incoming server", File(""), std::nullopt},
      {"only a plain server",
       File(Server("smtp",
                   "<hostname>p.x.org</hostname><port>25</port>"
                   "<socketType>plain</socketType>")),
       std::nullopt},
      {"not smtp",
       File(Server("exchange",
                   "<hostname>e.x.org</hostname><port>443</port>"
                   "<socketType>SSL</socketType>")),
       std::nullopt},
      {"port out of range",
       File(Server("smtp",
                   "<hostname>s.x.org</hostname><port>70000</port>"
                   "<socketType>SSL</socketType>")),
       std::nullopt},
      {"port not a number",
       File(Server("smtp",
                   "<hostname>s.x.org</hostname><port>-5</port>"
                   "<socketType>SSL</socketType>")),
       std::nullopt},
      {"host name with a blank",
       File(Server("smtp",
                   "<hostname>s x.org</hostname><port>465"
                   "</port><socketType>SSL</socketType>")),
       std::nullopt},
      {"unknown placeholder",
       File(Server("smtp",
                   "<hostname>%EMAILLOCALPART%.x.org</hostname>"
                   "<port>465</port><socketType>SSL</socketType>")),
       std::nullopt},
      {"cut off after the server", File(kStartTls).substr(0, File(kStartTls).size() - 20),
       std::nullopt},
      {"tags that do not match", File(kStartTls + "</emailProvider>"), std::nullopt},
      {"another root element", "<config>" + kStartTls + "</config>", std::nullopt},
      {"not XML at all", "<html><body>Not found", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const Sample& sample : samples) {
    SCOPED_TRACE(sample.what);
    EXPECT_EQ(ParseAutoconfig(sample.bytes, "example.org"), sample.expected);
  }
}

}  // namespace
}  // namespace pelorin::setup
