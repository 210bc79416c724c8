// OAuth2 sign-in through the built program on the test's desktop, in link mode: Send loads the
// sign-in module from beside the program, opens a browser (a script of the test's own as
// xdg-open) at a local authorization server, keeps the refresh token in a real keyring (GNOME
// Keyring on the private bus run_in_keyring_session.sh makes) and sends over SSL/TLS to
// aiosmtpd, which takes only the access token given last. The next start renews through the
// keyring without the browser; a revoked sign-in opens the browser once more. No token may show
// up in a file of the program's or in any process's arguments, then or while it ran.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/maildir.h"
#include "e2e/program_test.h"
#include "support/files_holding.h"
#include "tls/tls_test_server.h"

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr const char* kClientId = "pelorin-e2e-client";
// A run starts Python twice (the browser and its fetch) besides the program: roomy, as the
// machine may be busy with a build.
constexpr int kRunMs = 120000;

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

class OAuthEndToEndTest : public e2e::ProgramTest {
 protected:
  static void SetUpTestSuite() { testing_support::SuiteCertificates::Make(); }
  static void TearDownTestSuite() { testing_support::SuiteCertificates::Drop(); }

  void SetUp() override {
    ASSERT_EQ(Variable("PELORIN_TEST_KEYRING"), "keyring")
        << "run this test through tests/app/run_in_keyring_session.sh (CTest does)";
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    ASSERT_TRUE(servers_.isValid());
    authorization_.setProgram(testing_support::kPython);
    authorization_.setArguments({PELORIN_OAUTH_SERVER, kClientId, InServers("token")});
    authorization_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    authorization_.start();
    const std::string base = "http://127.0.0.1:" + Line();
    ASSERT_NE(base, "http://127.0.0.1:") << "the authorization server did not start";
    smtp_.emplace(
        QStringList{"oauth", "tls", testing_support::SuiteCertificates::Dir().filePath("good.pem"),
                    testing_support::SuiteCertificates::Dir().filePath("good.key"), servers_.path(),
                    "XOAUTH2,OAUTHBEARER", InServers("token")},
        servers_.path());
    ASSERT_FALSE(smtp_->Port().empty()) << "the mail server did not start";
    ASSERT_NO_FATAL_FAILURE(Configure(smtp_->Port(), account_));
    // As installed: the modules TLS and the sign-in need, beside the program.
    for (const char* module : {PELORIN_TLS_MODULE, PELORIN_OAUTH_MODULE}) {
      std::filesystem::copy_file(
          module, program_->PathOf(std::filesystem::path(module).filename().string()));
    }
    ASSERT_TRUE(program_->WriteFile("hkcu.reg",
                                    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n"
                                    "\"Security\"=\"tls\"\r\n\"Sign-in\"=\"oauth2-other\"\r\n"
                                    "\"OAuth Client ID\"=\"" +
                                        std::string(kClientId) +
                                        "\"\r\n\"OAuth Authorization Endpoint\"=\"" + base +
                                        "/authorize\"\r\n\"OAuth Token Endpoint\"=\"" + base +
                                        "/token\"\r\n\"OAuth Scope\"=\"smtp\"\r\n\r\n"));
    std::filesystem::create_directories(InServers("bin").toStdString());
    const std::string opener = InServers("bin/xdg-open").toStdString();
    std::ofstream(opener) << "#!/bin/sh\nexec python3 '" PELORIN_FAKE_BROWSER "' \"$@\"\n";
    std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
    std::filesystem::create_directories(program_->HomeDirectory() + "/tmp");
  }

  void TearDown() override {
    if (!program_ || authorization_.state() != QProcess::Running) return ProgramTest::TearDown();
    const std::filesystem::path root = std::filesystem::path(program_->Directory()).parent_path();
    for (const std::string& token : Tokens()) {
      for (const std::string& directory :
           {root.string(), Variable("PELORIN_KEYRING_SCRATCH"), Variable("XDG_RUNTIME_DIR")}) {
        EXPECT_THAT(testing_support::FilesHolding(directory, token), IsEmpty()) << token;
      }
    }
    EXPECT_THAT(seenInArguments_, IsEmpty()) << "tokens in processes' arguments";
    authorization_.closeWriteChannel();
    authorization_.waitForFinished();
    ProgramTest::TearDown();
  }

  QString InServers(const char* name) const { return servers_.filePath(QString::fromLatin1(name)); }

  std::string Line() {
    while (!authorization_.canReadLine()) {
      if (!authorization_.waitForReadyRead(kRunMs)) return "";
    }
    return authorization_.readLine().trimmed().toStdString();
  }
  // A command to the authorization server, and its one-line answer.
  std::string Tell(const std::string& command) {
    authorization_.write(QByteArray::fromStdString(command + "\n"));
    return Line();
  }
  std::vector<std::string> Tokens() {
    std::istringstream words(Tell("tokens"));
    return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
  }

  // The desktop's environment with the keyring's bus, our browser first on PATH, the settings
  // above, and a temporary directory inside the program's home, where it is searched.
  e2e::Environment ProgramChanges() const {
    return e2e::Environment()
        .Set("DBUS_SESSION_BUS_ADDRESS", Variable("PELORIN_KEYRING_BUS"))
        .Set("PATH", InServers("bin").toStdString() + ":" + Variable("PATH"))
        .Set("PELORIN_FAKE_BROWSER_LOG", InServers("browser.log").toStdString())
        .Set("PELORIN_HKCU", program_->PathOf("hkcu.reg"))
        .Set("TMPDIR", program_->HomeDirectory() + "/tmp");
  }

  // One start in link mode and Send; the run ends with the program, its arguments and its
  // children's searched for tokens all along.
  void SendOnce(const std::string& marker) {
    ASSERT_TRUE(program_->Start({"/u", "mailto:bo@example.org?subject=" + marker + "&body=Hi"},
                                ProgramChanges()));
    const std::optional<e2e::WindowId> window = MainWindow();
    ASSERT_TRUE(window.has_value()) << "the window did not come up in link mode";
    ASSERT_TRUE(e2e::Click(*window, e2e::kSendButton.x, e2e::kSendButton.y));
    std::optional<e2e::ExitStatus> status;
    const bool ended = e2e::WaitUntil(
        [&] {
          for (const std::string& token : Tokens()) {
            if (!testing_support::ArgumentsHolding(token).empty()) seenInArguments_.insert(token);
          }
          status = program_->WaitForExit(0);
          return status.has_value();
        },
        kRunMs);
    if (!ended) e2e::Screenshot("oauth-e2e-not-ended.png");  // a box the program shows, say
    ASSERT_TRUE(ended) << "the program did not end after the send; see oauth-e2e-not-ended.png in "
                       << e2e::ArtifactsDirectory();
    EXPECT_EQ(status->code, 0) << status->Describe();
    const std::vector<std::string> delivered = smtp_->Delivered();
    ASSERT_FALSE(delivered.empty());
    EXPECT_THAT(delivered.back(), HasSubstr(marker));
  }

  int BrowserStarts() const {
    std::istringstream lines(
        testing_support::ReadFileIfThere(InServers("browser.log").toStdString()).value_or(""));
    int starts = 0;
    for (std::string line; std::getline(lines, line);) starts += line.rfind("arguments:", 0) == 0;
    return starts;
  }
  std::string AuthLog() const { return testing_support::ReadAll(InServers("auth.log")); }

  QTemporaryDir servers_;  // the servers' side: their token file and logs, the browser
  QProcess authorization_;
  std::optional<testing_support::TestServer> smtp_;
  const std::string account_ = "ann." + testing_support::UniqueMarker() + "@example.org";
  std::set<std::string> seenInArguments_;
};

TEST_F(OAuthEndToEndTest, TheFirstSendSignsInThroughTheBrowserAndDelivers) {
  ASSERT_NO_FATAL_FAILURE(SendOnce(testing_support::UniqueMarker()));
  EXPECT_EQ(smtp_->Delivered().size(), 1u);
  EXPECT_EQ(BrowserStarts(), 1);
  EXPECT_EQ(Tell("count"), "authorization_code=1 refresh_token=0");
  EXPECT_EQ(AuthLog(), "OAUTHBEARER " + account_ + " " + Tell("last") + "\n");
}

TEST_F(OAuthEndToEndTest, TheNextStartRenewsThroughTheKeyringWithoutTheBrowser) {
  ASSERT_NO_FATAL_FAILURE(SendOnce(testing_support::UniqueMarker()));
  const std::string first = Tell("last");
  ASSERT_NO_FATAL_FAILURE(SendOnce(testing_support::UniqueMarker()));
  EXPECT_EQ(smtp_->Delivered().size(), 2u);
  EXPECT_EQ(BrowserStarts(), 1) << "the browser opened again";
  EXPECT_EQ(Tell("count"), "authorization_code=1 refresh_token=1");
  EXPECT_NE(Tell("last"), first) << "the first run's token is no longer taken";
  EXPECT_EQ(AuthLog(), "OAUTHBEARER " + account_ + " " + first + "\nOAUTHBEARER " + account_ + " " +
                           Tell("last") + "\n");
}

TEST_F(OAuthEndToEndTest, ARevokedSignInOpensTheBrowserOnceMore) {
  ASSERT_NO_FATAL_FAILURE(SendOnce(testing_support::UniqueMarker()));
  ASSERT_EQ(Tell("revoke"), "ok");
  ASSERT_NO_FATAL_FAILURE(SendOnce(testing_support::UniqueMarker()));
  EXPECT_EQ(smtp_->Delivered().size(), 2u);
  EXPECT_EQ(BrowserStarts(), 2) << "once in each run";
  EXPECT_EQ(Tell("count"), "authorization_code=2 refresh_token=0");
}

}  // namespace
