// OAuth2 sign-in against a local authorization server, with a browser in place of xdg-open that
// follows the authorization address and the redirect, and the refresh token in a real keyring
// (GNOME Keyring in a private D-Bus session, made by run_in_keyring_session.sh). No token may
// be found in a file or in a process's arguments.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <memory>

#include "desktop/keyring.h"
#include "desktop/qt_token_source.h"
#include "support/event_loop.h"
#include "support/files_holding.h"
#include "support/read_file.h"
#include "support/scoped_environment.h"

namespace pelorin::oauth {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing_support::RunEventsUntil;

constexpr int kWaitMs = 30000;
constexpr const char* kClientId = "pelorin-test-client";

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

class OAuthSignInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Environment("PELORIN_TEST_KEYRING"), "keyring")
        << "run this test through tests/app/run_in_keyring_session.sh (CTest does)";
    ASSERT_TRUE(scratch_.isValid());
    server_.setProgram(QStringLiteral("python3"));
    server_.setArguments({PELORIN_OAUTH_SERVER, QString::fromLatin1(kClientId)});
    server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server_.start();
    ASSERT_TRUE(server_.waitForStarted()) << "python3 is not installed";
    const std::string port = Line();
    ASSERT_FALSE(port.empty()) << "the authorization server did not start";
    const std::string base = "http://127.0.0.1:" + port;
    client_ = {Provider::Custom,
               "",
               kClientId,
               "",
               base + "/authorize",
               base + "/token",
               "smtp",
               "ann@example.org",
               "smtp.example.org"};
    UseBrowser("exec python3 '" PELORIN_FAKE_BROWSER "' \"$@\"");
    environment_.Set("DISPLAY", ":97");  // only looked at, never opened
    environment_.Set("PATH", Bin() + ":" + Environment("PATH"));
    environment_.Set("PELORIN_FAKE_BROWSER_LOG", BrowserLog());
    ASSERT_NE(Keyring([this](keyring::Done done) { keyring::Remove(Key(), done); }).outcome,
              keyring::Outcome::Failed);
  }

  void TearDown() override {
    for (const std::string& token : tokens_) {
      for (const std::string& directory :
           {Environment("PELORIN_KEYRING_SCRATCH"), scratch_.path().toStdString()}) {
        EXPECT_THAT(testing_support::FilesHolding(directory, token), IsEmpty()) << token;
      }
      EXPECT_THAT(testing_support::ArgumentsHolding(token), IsEmpty());
    }
    server_.closeWriteChannel();
    server_.waitForFinished();
  }

  std::string Bin() const { return scratch_.filePath(QStringLiteral("bin")).toStdString(); }
  std::string BrowserLog() const {
    return scratch_.filePath(QStringLiteral("browser.log")).toStdString();
  }
  std::string Key() const { return RefreshTokenKey(client_); }

  // xdg-open, as a shell script with this body.
  void UseBrowser(const std::string& body) {
    std::filesystem::create_directories(Bin());
    const std::string opener = Bin() + "/xdg-open";
    std::ofstream(opener) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
  }

  std::string Line() {
    while (!server_.canReadLine()) {
      if (!server_.waitForReadyRead(kWaitMs)) return "";
    }
    return server_.readLine().trimmed().toStdString();
  }

  // A command to the server, and its one-line answer.
  std::string Tell(const std::string& command) {
    server_.write(QByteArray::fromStdString(command + "\n"));
    return Line();
  }

  keyring::Answer Keyring(const std::function<void(keyring::Done)>& start) {
    auto answer = std::make_shared<std::optional<keyring::Answer>>();
    start([answer](const keyring::Answer& given) { *answer = given; });
    EXPECT_TRUE(RunEventsUntil([&] { return answer->has_value(); }, kWaitMs));
    return answer->value_or(keyring::Answer{});
  }

  // Each answer comes later, and only once.
  TokenAnswer Await(const std::function<void(TokenSource::Done)>& start) {
    auto answers = std::make_shared<std::vector<TokenAnswer>>();
    start([answers](const TokenAnswer& given) { answers->push_back(given); });
    EXPECT_TRUE(answers->empty()) << "answered at once";
    EXPECT_TRUE(RunEventsUntil([&] { return !answers->empty(); }, kWaitMs));
    EXPECT_EQ(answers->size(), 1u);
    if (answers->empty()) return {};
    if (!answers->front().accessToken.empty()) tokens_.push_back(answers->front().accessToken);
    return answers->front();
  }
  TokenAnswer SignIn() {
    return Await([&](TokenSource::Done done) { source_->SignIn(client_, done); });
  }
  TokenAnswer Token(bool renew) {
    return Await([&](TokenSource::Done done) { source_->Token(client_, renew, done); });
  }

  std::string BrowserRecord() const {
    return testing_support::ReadFileIfThere(BrowserLog()).value_or("");
  }
  // The browser writes down the page once it has it all, which may be after the answer.
  bool BrowserShows(const std::string& text) const {
    return RunEventsUntil([&] { return BrowserRecord().find(text) != std::string::npos; }, kWaitMs);
  }

  QTemporaryDir scratch_;
  QProcess server_;
  testing_support::ScopedEnvironment environment_;
  Client client_;
  std::unique_ptr<TokenSource> source_ = NewQtTokenSource();
  std::vector<std::string> tokens_;  // every token seen, to be found nowhere
};

TEST_F(OAuthSignInTest, SignsInOnceThenServesFromMemoryAndRenewsThroughTheKeyring) {
  const TokenAnswer before = Token(false);
  EXPECT_EQ(before.result, TokenResult::SignInNeeded);
  EXPECT_THAT(before.failure, HasSubstr("ann@example.org"));
  EXPECT_EQ(BrowserRecord(), "") << "Token never opens the browser";

  const TokenAnswer signedIn = SignIn();
  ASSERT_EQ(signedIn.result, TokenResult::Granted) << signedIn.failure;
  EXPECT_EQ(signedIn.accessToken, Tell("last"));
  const keyring::Answer kept = Keyring([this](keyring::Done done) { keyring::Read(Key(), done); });
  ASSERT_EQ(kept.outcome, keyring::Outcome::Done);
  tokens_.push_back(kept.secret);
  EXPECT_EQ(kept.secret.rfind("rt-", 0), 0u);
  ASSERT_TRUE(BrowserShows("You can close this window"));
  EXPECT_THAT(BrowserRecord(), HasSubstr("arguments: ['" + client_.authorizationEndpoint + "?"))
      << "the browser gets the authorization address alone";

  EXPECT_EQ(Token(false).accessToken, signedIn.accessToken);
  EXPECT_EQ(Tell("count"), "authorization_code=1 refresh_token=0") << "from memory";
  const TokenAnswer renewed = Token(true);
  ASSERT_EQ(renewed.result, TokenResult::Granted) << renewed.failure;
  EXPECT_NE(renewed.accessToken, signedIn.accessToken);
  EXPECT_EQ(renewed.accessToken, Tell("last"));

  source_ = NewQtTokenSource();  // as at the next start of the program
  const TokenAnswer afterStart = Token(false);
  EXPECT_EQ(afterStart.accessToken, Tell("last")) << "through the refresh token kept";
  EXPECT_EQ(Tell("count"), "authorization_code=1 refresh_token=2");

  EXPECT_EQ(Await([&](TokenSource::Done done) { source_->Forget(client_, done); }).result,
            TokenResult::Granted);
  EXPECT_EQ(Keyring([this](keyring::Done done) { keyring::Read(Key(), done); }).outcome,
            keyring::Outcome::NotFound);
  EXPECT_EQ(Token(false).result, TokenResult::SignInNeeded);
}

TEST_F(OAuthSignInTest, ATokenAboutToExpireIsRenewed) {
  ASSERT_EQ(Tell("lifetime 50"), "ok");
  const TokenAnswer signedIn = SignIn();
  ASSERT_EQ(signedIn.result, TokenResult::Granted) << signedIn.failure;
  const TokenAnswer next = Token(false);
  EXPECT_EQ(next.result, TokenResult::Granted);
  EXPECT_NE(next.accessToken, signedIn.accessToken) << "less than a minute left";
  EXPECT_EQ(Tell("count"), "authorization_code=1 refresh_token=1");
}

TEST_F(OAuthSignInTest, ARevokedSignInAsksForASignInAgainWithoutOpeningTheBrowser) {
  ASSERT_EQ(SignIn().result, TokenResult::Granted);
  ASSERT_TRUE(BrowserShows("You can close this window"));
  ASSERT_EQ(Tell("revoke"), "ok");
  const TokenAnswer revoked = Token(true);
  EXPECT_EQ(revoked.result, TokenResult::SignInNeeded);
  EXPECT_THAT(revoked.failure, HasSubstr("sign in again"));
  EXPECT_THAT(revoked.failure, HasSubstr("Token has been revoked."));
  const std::string record = BrowserRecord();
  EXPECT_EQ(record.find("arguments:"), record.rfind("arguments:")) << "opened once";
}

// While a network reply, the loopback listener or a keyring job is still in its signal.
TEST_F(OAuthSignInTest, ASourceMayGoInItsOwnAnswer) {
  const std::function<void(TokenSource::Done)> asks[] = {
      [&](TokenSource::Done done) { source_->SignIn(client_, done); },
      [&](TokenSource::Done done) { source_->Token(client_, true, done); },
      [&](TokenSource::Done done) { source_->Forget(client_, done); },
  };
  for (const auto& ask : asks) {
    bool answered = false;
    source_ = NewQtTokenSource();
    ask([&](const TokenAnswer&) {
      answered = true;
      source_.reset();
    });
    ASSERT_TRUE(RunEventsUntil([&] { return answered; }, kWaitMs));
  }
}

// What the provider answers instead of a code: the flow fails in words and keeps nothing.
TEST_F(OAuthSignInTest, RefusedAndForeignAnswersEndTheSignIn) {
  const struct {
    const char* command;
    const char* words;
  } cases[] = {
      {"refuse", "consent to let this program send mail as ann@example.org was not given"},
      {"wrong-state", "does not belong to this sign-in"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_EQ(Tell(c.command), "ok");
    const TokenAnswer answer = SignIn();
    EXPECT_EQ(answer.result, TokenResult::Failed);
    EXPECT_THAT(answer.failure, HasSubstr(c.words));
    EXPECT_TRUE(BrowserShows(c.words)) << "the page says so too";
    EXPECT_EQ(Keyring([this](keyring::Done done) { keyring::Read(Key(), done); }).outcome,
              keyring::Outcome::NotFound);
  }
  EXPECT_EQ(Tell("count"), "authorization_code=0 refresh_token=0");
}

TEST_F(OAuthSignInTest, WithoutABrowserOrItsAnswerTheSignInFailsInWords) {
  const struct {
    const char* what;
    const char* browser;  // the body of xdg-open; null: none on PATH
    const char* display;
    const char* words;
  } cases[] = {
      {"no display", "true", "", "no desktop display"},
      {"no browser", nullptr, ":97", "xdg-open is not installed"},
      {"browser fails", "exit 3", ":97", "ended with status 3"},
      {"no answer", "true", ":97", "No answer came from the browser within 1 seconds"},
  };
  environment_.Set("PELORIN_OAUTH_WAIT_SECONDS", "1");
  environment_.Unset("BROWSER");
  environment_.Unset("WAYLAND_DISPLAY");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    environment_.Set("DISPLAY", c.display);
    std::filesystem::remove(Bin() + "/xdg-open");
    if (c.browser != nullptr) UseBrowser(c.browser);
    environment_.Set("PATH", c.browser != nullptr ? Bin() + ":/usr/bin:/bin" : Bin());
    const TokenAnswer answer = SignIn();
    EXPECT_EQ(answer.result, TokenResult::Failed);
    EXPECT_THAT(answer.failure, HasSubstr(c.words));
  }
}

}  // namespace
}  // namespace pelorin::oauth
