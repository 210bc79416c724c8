// The settings dialog's look-up from the address, against a network that answers from a
// table: what it fills in, what it keeps, what it says, and that only OK saves the security.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/frm_settings.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "app/security_settings.h"
#include "app/sign_in_settings.h"
#include "os/msgbox.h"
#include "setup/fake_network_lookup.h"
#include "support/event_loop.h"

namespace pelorin {
namespace {

using setup_test::FakeAnswers;

class FrmSettingsLookupTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override {
    SettingsOpen = false;
    setup::UseNetworkLookupMaker(setup_test::FakeMaker(answers_));
  }
  void TearDown() override {
    delete frmSettings.data();
    setup::UseNetworkLookupMaker({});
  }

  void StoreSecurity(const std::string& text) {
    app_test::WriteBytes(environment_.CurrentUserHive(),
                         "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n"
                         "\"Security\"=\"" +
                             text + "\"\r\n\r\n");
  }

  // Leaves the address field with `address` in it, and waits for the look-up's outcome.
  void EnterAddress(TfrmSettings& window, const QString& address) {
    window.edsEmail->setText(address);
    emit window.edsEmail->editingFinished();
    ASSERT_TRUE(testing_support::RunEventsUntil(
        [&] { return !window.lblLookup->text().startsWith(QStringLiteral("Looking up")); }));
  }

  std::shared_ptr<FakeAnswers> answers_ = std::make_shared<FakeAnswers>(FakeAnswers{
      .services = {{"_submission._tcp.example.org", {{"mail.example.org", 587, 0, 0}}}}});
};

struct Case {
  const char* what;
  std::string server, port;  // "*" after the text: typed by the user
  std::string storedSecurity;
  std::vector<QString> addresses;
  std::string serverAfter, portAfter;
  SmtpSecurity securityAfterOk;
  const char* shown;
};

void Enter(QLineEdit* edit, std::string text) {
  const bool typed = text.ends_with('*');
  if (typed) text.pop_back();
  edit->setText(QString::fromStdString(text));
  edit->setModified(typed);
}

TEST_F(FrmSettingsLookupTest, FillsOnlyWhatIsEmptyOrItsOwnAndSaysWhatItFound) {
  using enum SmtpSecurity;
  const std::vector<Case> cases = {
      {"empty fields",
       "",
       "25",
       "",
       {"me@gmail.com"},
       "smtp.gmail.com",
       "465",
       Tls,
       "Found smtp.gmail.com:465, SSL/TLS, OAuth2 sign-in"},
      {"a server of the user's keeps port and security",
       "mail.mine.org*",
       "25",
       "",
       {"me@gmail.com"},
       "mail.mine.org*",
       "25",
       None,
       "yours kept"},
      {"the server already named gets its port",
       "SMTP.gmail.com*",
       "25",
       "",
       {"me@gmail.com"},
       "SMTP.gmail.com*",
       "465",
       Tls,
       "Found smtp.gmail.com"},
      {"a typed port stays",
       "",
       "2525*",
       "",
       {"me@outlook.com"},
       "smtp-mail.outlook.com",
       "2525*",
       StartTls,
       "OAuth2 sign-in"},
      {"a stored security that differs keeps the port with it",
       "",
       "25",
       "none",
       {"me@yahoo.com"},
       "smtp.mail.yahoo.com",
       "25",
       None,
       "your security kept"},
      {"a later address replaces what the look-up filled",
       "",
       "25",
       "",
       {"me@gmail.com", "me@example.org"},
       "mail.example.org",
       "587",
       StartTls,
       "Found mail.example.org:587, STARTTLS"},
      {"nothing found",
       "",
       "25",
       "",
       {"me@nowhere.example"},
       "",
       "25",
       None,
       "No settings found for nowhere.example"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    if (!test.storedSecurity.empty()) StoreSecurity(test.storedSecurity);
    frmSettings = new TfrmSettings;
    TfrmSettings& window = *frmSettings;
    Enter(window.edsSMTP, test.server);
    Enter(window.edsPort, test.port);
    for (const QString& address : test.addresses) EnterAddress(window, address);
    EXPECT_TRUE(window.lblLookup->toolTip().contains(QString::fromLatin1(test.shown)))
        << window.lblLookup->toolTip().toStdString();
    std::string server = test.serverAfter, port = test.portAfter;
    if (server.ends_with('*')) server.pop_back();
    if (port.ends_with('*')) port.pop_back();
    EXPECT_EQ(window.edsSMTP->text().toStdString(), server);
    EXPECT_EQ(window.edsPort->text().toStdString(), port);
    window.cmdOk->click();
    EXPECT_EQ(ReadSecuritySettings().security, test.securityAfterOk);
    EXPECT_TRUE(boxes_.Boxes().empty());
    delete frmSettings.data();
    app_test::WriteBytes(environment_.CurrentUserHive(), "REGEDIT4\r\n\r\n");
  }
}

TEST_F(FrmSettingsLookupTest, ProposesOAuth2ForItsProvidersServerWhereNoSignInIsChosen) {
  struct Row {
    const char* what;
    std::string storedSignIn, server;
    QString address;
    SignInChoice afterOk;
  };
  for (const Row& row : {
           Row{"Gmail", "", "", "me@gmail.com", SignInChoice::OAuthGoogle},
           Row{"Outlook.com", "", "", "me@outlook.com", SignInChoice::OAuthMicrosoft},
           Row{"a provider that takes a password", "", "", "me@yahoo.com", SignInChoice::None},
           Row{"a sign-in stored", "password", "", "me@gmail.com", SignInChoice::None},
           Row{"a server of the user's", "", "mail.mine.org*", "me@gmail.com", SignInChoice::None},
       }) {
    SCOPED_TRACE(row.what);
    app_test::WriteBytes(environment_.CurrentUserHive(),
                         "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n"
                         "\"Sign-in\"=\"" +
                             row.storedSignIn + "\"\r\n\r\n");
    frmSettings = new TfrmSettings;
    Enter(frmSettings->edsSMTP, row.server);
    EnterAddress(*frmSettings, row.address);
    const QString tip = frmSettings->lblLookup->toolTip();
    const qsizetype filled = tip.indexOf(QStringLiteral("Filled in:"));
    EXPECT_EQ(filled >= 0 && tip.mid(filled).contains(QStringLiteral("OAuth2 sign-in")),
              row.afterOk != SignInChoice::None)
        << tip.toStdString();
    frmSettings->cmdOk->click();
    EXPECT_EQ(ReadSignInSettings("").choice, row.afterOk);
    delete frmSettings.data();
  }
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(FrmSettingsLookupTest, CancelKeepsNothingOfWhatWasFound) {
  const std::string server = SmtpServer;
  frmSettings = new TfrmSettings;
  frmSettings->edsSMTP->clear();
  EnterAddress(*frmSettings, QStringLiteral("me@gmail.com"));
  EXPECT_EQ(frmSettings->edsSMTP->text(), QStringLiteral("smtp.gmail.com"));
  frmSettings->cmdCancel->click();
  EXPECT_FALSE(SecurityIsStored());
  EXPECT_EQ(SmtpServer, server);
}

TEST_F(FrmSettingsLookupTest, APauseInTypingStartsTheLookUpAndTheFirstRunLooksUpAnImportedAddress) {
  frmSettings = new TfrmSettings;
  frmSettings->edsSMTP->clear();
  frmSettings->show();
  QTest::keyClicks(frmSettings->edsEmail, QStringLiteral("me@example.org"));
  ASSERT_TRUE(testing_support::RunEventsUntil(
      [&] { return frmSettings->edsSMTP->text() == QStringLiteral("mail.example.org"); }));
  EXPECT_EQ(answers_->asked.size(), 2u) << "one look-up for the domain, however long the typing";
  delete frmSettings.data();

  // The address alone, from git's settings.
  app_test::WriteBytes(environment_.Home() + "/.gitconfig", "[user]\n\temail = me@gmx.de\n");
  NeedsSetup = true;
  frmSettings = new TfrmSettings;
  ASSERT_TRUE(testing_support::RunEventsUntil(
      [&] { return frmSettings->edsSMTP->text() == QStringLiteral("mail.gmx.net"); }));
  EXPECT_EQ(frmSettings->edsPort->text(), QStringLiteral("587"));
}

}  // namespace
}  // namespace pelorin
