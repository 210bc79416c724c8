// Sends with OAuth2 through the send workflow to aiosmtpd over TLS, which takes only the
// current token; a fake token source answers as the provider would: the token asked for first,
// a renewed one, a sign-in. A refused token is renewed once, then signed in anew once, and
// never more: at most one browser per Send.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "app/send_workflow.h"
#include "desktop/oauth_token_source.h"
#include "os/msgbox.h"
#include "support/event_loop.h"
#include "support/scripted_tokens.h"
#include "tls/tls_test_server.h"
#include "transport/shared_data.h"

namespace {

using pelorin::oauth::TokenAnswer;
using pelorin::oauth::TokenResult;
using testing_support::Granted;
using testing_support::kSignInNeeded;
using testing_support::ScriptedTokens;
using testing_support::TestServer;
using testing_support::TokenScript;

const std::string kCurrent = "tok-current";
const std::string kStale = "tok-stale";

class OAuthSendTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_support::SuiteCertificates::Make(); }
  static void TearDownTestSuite() { testing_support::SuiteCertificates::Drop(); }
  void SetUp() override {
    pelorin::SenderAddress = "me@example.org";
    QFile token(out_.path() + "/token");
    ASSERT_TRUE(token.open(QIODevice::WriteOnly));
    token.write(kCurrent.c_str());
  }
  void TearDown() override { pelorin::oauth::UseTokenSourceMaker({}); }

  // aiosmtpd over TLS, announcing `mechanisms`.
  std::unique_ptr<TestServer> Serve(const QString& mechanisms) {
    const QString certificates = testing_support::SuiteCertificates::Dir().path();
    auto server = std::make_unique<TestServer>(
        QStringList{"oauth", "tls", certificates + "/good.pem", certificates + "/good.key",
                    out_.path(), mechanisms, out_.path() + "/token"},
        out_.path());
    EXPECT_FALSE(server->Port().empty()) << "the test server did not start";
    return server;
  }

  // One Send of one message through a new workflow; the report it ended with.
  pelorin::SendReport Send(const std::string& port, TokenScript& script) {
    testing_support::UseScriptedTokens(script);
    pelorin::SendWorkflow workflow(nullptr, nullptr);
    EXPECT_EQ(workflow.Queue().Append("bo@example.org", "Subject: hi\r\n\r\nhello\r\n", {}), "");
    pelorin::SendSettings settings;
    settings.server = "localhost";
    settings.port = port;
    settings.smtp.security = pelorin::SmtpSecurity::Tls;
    settings.smtp.userName = "ann@example.org";
    settings.oauth = pelorin::oauth::Client{};
    settings.oauth->account = "ann@example.org";
    std::optional<pelorin::SendReport> ended;
    QObject::connect(&workflow, &pelorin::SendWorkflow::SendEnded,
                     [&ended](const pelorin::SendReport& report) { ended = report; });
    workflow.Send(settings);
    EXPECT_TRUE(testing_support::RunEventsUntil([&ended] { return ended.has_value(); }))
        << "the send did not end; phase " << pelorin::kSendPhaseNames[int(workflow.Phase())];
    return ended.value_or(pelorin::SendReport{});
  }

  std::string AuthLog() const { return testing_support::ReadAll(out_.path() + "/auth.log"); }

  QTemporaryDir out_;
  os::BoxRecorder boxes_;
};

TEST_F(OAuthSendTest, TheCurrentTokenSendsWithTheMechanismAnnouncedOAuthBearerFirst) {
  for (const QString mechanisms : {"XOAUTH2,OAUTHBEARER", "XOAUTH2"}) {
    SCOPED_TRACE(mechanisms.toStdString());
    QFile::remove(out_.path() + "/auth.log");
    QFile::remove(out_.path() + "/1.eml");
    const auto server = Serve(mechanisms);
    TokenScript script{{Granted(kCurrent)}, {}, {}, {}, 0};
    const pelorin::SendReport report = Send(server->Port(), script);
    EXPECT_EQ(report.accepted.size(), 1u);
    EXPECT_EQ(server->Delivered().size(), 1u);
    const std::string mechanism = mechanisms.contains("OAUTHBEARER") ? "OAUTHBEARER" : "XOAUTH2";
    EXPECT_EQ(AuthLog(), mechanism + " ann@example.org " + kCurrent + "\n");
    EXPECT_EQ(script.asked, (std::vector<std::string>{"token"}));
    EXPECT_EQ(script.clients.at(0).account, "ann@example.org");
  }
  EXPECT_TRUE(boxes_.Texts().empty());
}

TEST_F(OAuthSendTest, ARefusedTokenIsRenewedOnceThenSignedInOnceAndNeverMore) {
  struct Row {
    const char* name;
    std::vector<TokenAnswer> tokens, signIns;
    std::vector<std::string> asked;
    bool sent;
  };
  const TokenAnswer stale = Granted(kStale), current = Granted(kCurrent);
  const auto server = Serve("OAUTHBEARER");
  for (const Row& row : {
           Row{"renewed", {stale, current}, {}, {"token", "renew"}, true},
           Row{"signed in after renewing",
               {stale, stale},
               {current},
               {"token", "renew", "sign-in"},
               true},
           Row{"renewing wants a sign-in",
               {stale, kSignInNeeded},
               {current},
               {"token", "renew", "sign-in"},
               true},
           Row{"a sign-in first", {kSignInNeeded}, {current}, {"token", "sign-in"}, true},
           Row{"refused whatever comes", {stale}, {stale}, {"token", "renew", "sign-in"}, false},
           Row{"refused after the first sign-in",
               {kSignInNeeded, stale},
               {stale},
               {"token", "sign-in", "renew"},
               false},
       }) {
    SCOPED_TRACE(row.name);
    boxes_.Clear();
    TokenScript script{row.tokens, row.signIns, {}, {}, 0};
    const pelorin::SendReport report = Send(server->Port(), script);
    EXPECT_EQ(script.asked, row.asked);
    EXPECT_EQ(script.made, 1);
    EXPECT_EQ(report.accepted.size(), row.sent ? 1u : 0u);
    EXPECT_EQ(report.tokenRefused, !row.sent);
    EXPECT_EQ(report.stillQueued, row.sent ? 0u : 1u);
    // Only the last refusal is the user's business.
    EXPECT_EQ(boxes_.Texts().size(), row.sent ? 0u : 1u);
    if (!row.sent) {
      EXPECT_NE(boxes_.Texts()[0].find("the token has expired or was revoked"), std::string::npos)
          << boxes_.Texts()[0];
    }
  }
}

TEST_F(OAuthSendTest, NoTokenNoConnectionAndTheProvidersWordsStand) {
  const TokenAnswer failed{TokenResult::Failed, {}, "the provider cannot be reached"};
  const TokenAnswer refused{TokenResult::Failed, {}, "you refused the consent"};
  struct Row {
    std::vector<TokenAnswer> tokens, signIns;
    std::string failure;
  };
  const auto server = Serve("OAUTHBEARER");
  for (const Row& row : {Row{{failed}, {}, "the provider cannot be reached"},
                         Row{{kSignInNeeded}, {refused}, "you refused the consent"}}) {
    TokenScript script{row.tokens, row.signIns, {}, {}, 0};
    const pelorin::SendReport report = Send(server->Port(), script);
    EXPECT_EQ(report.failure, row.failure);
    EXPECT_EQ(report.stillQueued, 1u);
  }
  EXPECT_FALSE(QFile::exists(out_.path() + "/auth.log")) << "a connection was made";
}

}  // namespace
