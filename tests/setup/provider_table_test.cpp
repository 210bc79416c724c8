// The built-in table of providers as data: every row is complete and consistent, and every
// domain and exchanger it names leads back to its own row.
#include "setup/provider_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace pelorin::setup {
namespace {

bool IsLowerCase(std::string_view text) {
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') return false;
  }
  return true;
}

TEST(ProviderTableTest, EveryRowIsCompleteAndItsPortFitsItsSecurity) {
  ASSERT_FALSE(ProviderTable().empty());
  for (const ProviderRow& row : ProviderTable()) {
    SCOPED_TRACE(std::string(row.provider));
    EXPECT_FALSE(row.provider.empty());
    EXPECT_TRUE(IsPlainHostName(row.host)) << row.host;
    EXPECT_TRUE(IsLowerCase(row.host));
    const bool implicitTls = row.port == 465 && row.security == SmtpSecurity::Tls;
    const bool startTls = row.port == 587 && row.security == SmtpSecurity::StartTls;
    EXPECT_TRUE(implicitTls || startTls) << row.port;
    EXPECT_FALSE(row.domains.empty() && row.exchangers.empty()) << "nothing leads to it";
  }
}

TEST(ProviderTableTest, EveryDomainAndExchangerLeadsBackToItsOwnRowAndToNoOther) {
  std::set<std::string> seen;
  for (const ProviderRow& row : ProviderTable()) {
    ForEachWord(row.domains, [&](std::string_view domain) {
      SCOPED_TRACE(std::string(domain));
      EXPECT_TRUE(IsPlainHostName(domain) && IsLowerCase(domain));
      EXPECT_TRUE(seen.insert(std::string(domain)).second) << "listed twice";
      EXPECT_EQ(ProviderForDomain(domain), &row);
      EXPECT_EQ(ProviderForDomain("Mail.EU." + std::string(domain)), &row) << "subdomain";
    });
    ForEachWord(row.exchangers, [&](std::string_view exchanger) {
      SCOPED_TRACE(std::string(exchanger));
      EXPECT_EQ(ProviderForExchanger("mx1." + std::string(exchanger) + "."), &row);
    });
    EXPECT_EQ(ProviderForHost(row.host), &row);
  }
}

TEST(ProviderTableTest, CustomDomainsAtGoogleAndMicrosoftAreKnownByTheirExchangers) {
  const ProviderRow* google = ProviderForExchanger("ASPMX.L.GOOGLE.COM.");
  const ProviderRow* microsoft = ProviderForExchanger("example-org.mail.protection.outlook.com");
  ASSERT_NE(google, nullptr);
  ASSERT_NE(microsoft, nullptr);
  EXPECT_EQ(google->signIn, SignInMethod::OAuth2);
  EXPECT_EQ(microsoft->host, "smtp.office365.com");
  // A suffix counts only at a label boundary.
  EXPECT_EQ(ProviderForExchanger("mx.notgoogle.com"), nullptr);
  EXPECT_EQ(ProviderForDomain("notgmail.com"), nullptr);
}

}  // namespace
}  // namespace pelorin::setup
