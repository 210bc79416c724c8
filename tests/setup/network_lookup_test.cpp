// The look-up over the real network, run by private_network.sh in a namespace where dnsmasq
// serves the test domains and an HTTPS server their autoconfig files: each source is found,
// and an autoconfig file is read only over TLS verified against a trusted authority.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "setup/address_lookup.h"
#include "setup/qt_network_lookup.h"
#include "support/event_loop.h"

namespace pelorin::setup {
namespace {

using namespace std::chrono_literals;

// Bounds far beyond a loaded machine's answer times: every case ends by an answer.
constexpr LookupBounds kPatient{.step = 60s, .whole = 300s};

std::string TestAuthority() {
  const char* file = std::getenv("PELORIN_TEST_CA");
  return file != nullptr ? file : "";
}

LookupOutcome LookUp(const std::string& address, const std::string& authority) {
  AddressLookup lookup(
      [authority](std::string*) { return NewQtNetworkLookup({.extraAuthorityFile = authority}); },
      kPatient);
  std::optional<LookupOutcome> outcome;
  lookup.Start(address, [&](const LookupOutcome& given) { outcome = given; });
  EXPECT_TRUE(testing_support::RunEventsUntil([&] { return outcome.has_value(); }, 600000));
  return outcome.value_or(LookupOutcome{});
}

struct Case {
  const char* address;
  std::optional<FoundServer> found;
};

TEST(NetworkLookupTest, FindsEachSourceOnTheNetwork) {
  ASSERT_NE(TestAuthority(), "") << "run through tests/setup/private_network.sh";
  using enum FoundBy;
  using enum SmtpSecurity;
  using enum SignInMethod;
  const std::vector<Case> cases = {
      {"a@services.test", FoundServer{"mail.services.test", 465, Tls, Password, ServiceRecord}},
      {"a@starttls.test",
       FoundServer{"smtp.starttls.test", 587, StartTls, Password, ServiceRecord}},
      {"a@host.test", FoundServer{"smtp.host.test", 465, Tls, Password, AutoconfigFile}},
      {"a@wellknown.test",
       FoundServer{"smtp.wellknown.test", 587, StartTls, Password, AutoconfigFile}},
      {"a@exchanger.test", FoundServer{"smtp.office365.com", 587, StartTls, OAuth2, MailExchanger}},
      {"a@untrusted.test", std::nullopt},  // its certificate names other hosts
      {"a@nothing.test", std::nullopt},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.address);
    const LookupOutcome outcome = LookUp(test.address, TestAuthority());
    EXPECT_EQ(outcome.found, test.found);
    EXPECT_EQ(outcome.failure, "");
  }
}

TEST(NetworkLookupTest, AnAutoconfigFileIsNotReadFromAServerNoTrustedAuthorityVouchesFor) {
  EXPECT_EQ(LookUp("a@host.test", "").found, std::nullopt);
  EXPECT_EQ(LookUp("a@wellknown.test", "").found, std::nullopt);
}

}  // namespace
}  // namespace pelorin::setup
