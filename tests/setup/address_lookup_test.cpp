// The look-up from an address against a network that answers from tables: the sources are
// asked in their order until one answers, each step and the whole are bounded, and a look-up
// started again forgets the one before.
#include "setup/address_lookup.h"

#include <gtest/gtest.h>

#include <chrono>

#include "setup/fake_network_lookup.h"
#include "support/event_loop.h"

namespace pelorin::setup {
namespace {

using namespace std::chrono_literals;
using setup_test::FakeAnswers;

const std::string kSubmissions = "_submissions._tcp.example.org";
const std::string kSubmission = "_submission._tcp.example.org";
const std::string kAutoconfig = "https://autoconfig.example.org/mail/config-v1.1.xml";
const std::string kWellKnown = "https://example.org/.well-known/autoconfig/mail/config-v1.1.xml";
const std::string kExchangers = "MX example.org";
const std::vector<std::string> kEveryQuestion = {kSubmissions, kSubmission, kAutoconfig, kWellKnown,
                                                 kExchangers};

const std::string kConfig =
    "<clientConfig><emailProvider><outgoingServer type=\"smtp\"><hostname>smtp.example.org"
    "</hostname><port>465</port><socketType>SSL</socketType></outgoingServer></emailProvider>"
    "</clientConfig>";

struct Case {
  const char* what;
  std::string address;
  FakeAnswers answers;
  std::optional<FoundServer> found;
  std::size_t questions;  // how many of kEveryQuestion were asked
  std::string passedOver = {};
};

FoundServer Server(const char* host, int port, SmtpSecurity security, FoundBy source,
                   SignInMethod signIn = SignInMethod::Password) {
  return {host, port, security, signIn, source};
}

LookupOutcome LookUp(AddressLookup& lookup, const std::string& address) {
  std::optional<LookupOutcome> outcome;
  lookup.Start(address, [&](const LookupOutcome& given) { outcome = given; });
  EXPECT_FALSE(outcome) << "the outcome comes from the event loop";
  EXPECT_TRUE(testing_support::RunEventsUntil([&] { return outcome.has_value(); }, 30000));
  return outcome.value_or(LookupOutcome{});
}

TEST(AddressLookupTest, AsksTheSourcesInTheirOrderUntilOneAnswers) {
  using enum FoundBy;
  constexpr auto kTls = SmtpSecurity::Tls;
  constexpr auto kStartTls = SmtpSecurity::StartTls;
  const std::vector<Case> cases = {
      {"a provider of the table",
       "Someone@GMail.com",
       {},
       Server("smtp.gmail.com", 465, kTls, ProviderTable, SignInMethod::OAuth2),
       0},
      {"implicit TLS by service record",
       "a@example.org",
       {.services = {{kSubmissions,
                      {{"slow.example.org.", 465, 20, 0},
                       {"mail.example.org.", 465, 10, 5},
                       {"other.example.org.", 465, 10, 1}}}}},
       Server("mail.example.org", 465, kTls, ServiceRecord),
       1},
      {"\".\" says no implicit TLS; STARTTLS at the domain itself",
       "a@example.org",
       {.services = {{kSubmissions, {{".", 0, 0, 0}}},
                     {kSubmission, {{"Example.ORG.", 587, 0, 0}}}}},
       Server("Example.ORG", 587, kStartTls, ServiceRecord),
       2},
      {"a target outside the domain is passed over",
       "a@example.org",
       {.services = {{kSubmissions, {{"smtp.office365.com.", 465, 0, 0}}}},
        .documents = {{kAutoconfig, kConfig}}},
       Server("smtp.example.org", 465, kTls, AutoconfigFile),
       3,
       "The DNS service record named smtp.office365.com, outside example.org: it was not used, "
       "as a forged answer could send your password there."},
      {"the autoconfig host",
       "a@example.org",
       {.documents = {{kAutoconfig, kConfig}}},
       Server("smtp.example.org", 465, kTls, AutoconfigFile),
       3},
      {"the well-known file after a bad one",
       "a@example.org",
       {.documents = {{kAutoconfig, "<clientConfig>"}, {kWellKnown, kConfig}}},
       Server("smtp.example.org", 465, kTls, AutoconfigFile),
       4},
      {"a custom domain at Google",
       "a@example.org",
       {.exchangers = {{kExchangers, {"mx.example.org", "alt1.aspmx.l.google.com."}}}},
       Server("smtp.gmail.com", 465, kTls, MailExchanger, SignInMethod::OAuth2),
       5},
      {"nothing anywhere",
       "a@example.org",
       {.exchangers = {{kExchangers, {"mx.example.org"}}}},
       std::nullopt,
       5},
      {"a step that never answers is passed over",
       "a@example.org",
       {.documents = {{kWellKnown, kConfig}}, .silent = {kAutoconfig}},
       Server("smtp.example.org", 465, kTls, AutoconfigFile),
       4},
      {"no domain", "no-at-sign", {}, std::nullopt, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    auto answers = std::make_shared<FakeAnswers>(test.answers);
    AddressLookup lookup(setup_test::FakeMaker(answers), {.step = 200ms, .whole = 600s});
    const LookupOutcome outcome = LookUp(lookup, test.address);
    EXPECT_EQ(outcome.found, test.found);
    EXPECT_EQ(outcome.failure, "");
    EXPECT_EQ(outcome.passedOver, test.passedOver);
    const std::vector<std::string> expected(kEveryQuestion.begin(),
                                            kEveryQuestion.begin() + test.questions);
    EXPECT_EQ(answers->asked, expected);
  }
}

TEST(AddressLookupTest, EndsWhenTheWholeBoundHasPassedOrTheNetworkCannotBeAsked) {
  auto answers = std::make_shared<FakeAnswers>(FakeAnswers{.silent = {kSubmissions}});
  AddressLookup slow(setup_test::FakeMaker(answers), {.step = 600s, .whole = 300ms});
  const LookupOutcome late = LookUp(slow, "a@example.org");
  EXPECT_FALSE(late.found);
  EXPECT_EQ(late.failure, "no answer came within 300 milliseconds");
  EXPECT_EQ(answers->asked, std::vector<std::string>{kSubmissions});

  AddressLookup none([](std::string* failure) {
    *failure = "the module is missing";
    return std::unique_ptr<NetworkLookup>();
  });
  EXPECT_EQ(LookUp(none, "a@gmail.com").found->host, "smtp.gmail.com");
  const LookupOutcome missing = LookUp(none, "a@example.org");
  EXPECT_EQ(missing.domain, "example.org");
  EXPECT_FALSE(missing.found);
  EXPECT_EQ(missing.failure, "the module is missing");
}

TEST(AddressLookupTest, StartedAgainItAnswersOnlyForTheNewAddress) {
  auto answers = std::make_shared<FakeAnswers>(
      FakeAnswers{.services = {{kSubmissions, {{"mail.example.org", 465, 0, 0}}}}});
  AddressLookup lookup(setup_test::FakeMaker(answers));
  int outcomes = 0;
  lookup.Start("a@example.org", [&](const LookupOutcome&) { ++outcomes; });
  const LookupOutcome outcome = LookUp(lookup, "a@yahoo.com");
  EXPECT_EQ(outcome.found->host, "smtp.mail.yahoo.com");
  EXPECT_EQ(outcomes, 0);
}

}  // namespace
}  // namespace pelorin::setup
