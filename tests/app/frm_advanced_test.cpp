// The advanced settings offscreen, opened from the settings dialog, with registry hives and a
// home of the test's own: the Advanced button, the window's layout, security and user name
// through the registry, the port that a security choice proposes, the autostart entry, and
// what OK and Cancel leave behind, here and in the settings dialog, whose OK saves them. The
// password's way into the keyring is tested apart, with a real keyring (keyring_test.cpp).
#include "app/frm_advanced.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <filesystem>
#include <variant>

#include "app/frm_settings.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "app/security_settings.h"
#include "desktop/autostart.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "support/desktop_file_validate.h"
#include "support/event_loop.h"
#include "support/scripted_tokens.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;
using app_test::ReadFile;
using app_test::ReleaseDeferredDeletes;
using app_test::WriteBytes;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class FrmAdvancedTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override {
    SettingsOpen = false;
    settings_ = new TfrmSettings();
    frmSettings = settings_;
  }
  void TearDown() override { delete settings_.data(); }

  TfrmAdvanced& Open() {
    settings_->cmdAdvanced->click();
    EXPECT_TRUE(settings_->frmAdvanced);
    return *settings_->frmAdvanced;
  }
  void Ok(TfrmAdvanced& advanced) {
    advanced.cmdOk->click();
    ReleaseDeferredDeletes();
  }
  void Cancel(TfrmAdvanced& advanced) {
    advanced.cmdCancel->click();
    ReleaseDeferredDeletes();
  }
  // OK in the settings dialog, which then opens anew.
  void SaveSettings() {
    settings_->cmdOk->click();
    ReleaseDeferredDeletes();
    settings_ = new TfrmSettings();
    frmSettings = settings_;
  }
  static void Choose(TfrmAdvanced& advanced, SmtpSecurity security) {
    const int index = static_cast<int>(security);
    advanced.edsSecurity->setCurrentIndex(index);
    emit advanced.edsSecurity->activated(index);
  }
  std::string AutostartEntry() const {
    return environment_.Home() + "/.config/autostart/pelorin32.desktop";
  }

  QPointer<TfrmSettings> settings_;
};

// ---- The button and the window -------------------------------------------------------

// Every widget of `window` below `top` lies inside its parent, and siblings do not overlap
// (a group box's title and frame are its own, inside it).
void ExpectLaidOutInside(QWidget* window) {
  const QList<QWidget*> controls =
      window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
  for (QWidget* control : controls) {
    if (control->objectName().isEmpty() || control->isWindow()) continue;
    SCOPED_TRACE(control->objectName().toStdString());
    EXPECT_TRUE(window->rect().contains(control->geometry()))
        << "at " << control->x() << "," << control->y() << " size " << control->width() << "x"
        << control->height() << " in " << window->width() << "x" << window->height();
    for (QWidget* other : controls) {
      if (other == control || other->objectName().isEmpty() || other->isWindow()) continue;
      EXPECT_FALSE(control->geometry().intersects(other->geometry()))
          << "overlaps " << other->objectName().toStdString();
    }
  }
}

// One sentence: a capital first, one full stop, at the end.
void ExpectOneSentenceHint(QWidget* control) {
  const QString hint = control->toolTip();
  SCOPED_TRACE(control->objectName().toStdString() + ": " + hint.toStdString());
  ASSERT_FALSE(hint.isEmpty());
  EXPECT_TRUE(hint.front().isUpper());
  EXPECT_TRUE(hint.endsWith(QLatin1Char('.')));
  EXPECT_EQ(hint.count(QLatin1Char('.')), 1);
}

TEST_F(FrmAdvancedTest, SettingsHaveTheAdvancedButtonLeftOfOkInsideTheWindow) {
  TfrmSettings& window = *settings_;
  EXPECT_EQ(window.cmdAdvanced->text(), QStringLiteral("&Advanced..."));
  EXPECT_EQ(window.cmdAdvanced->size(), window.cmdOk->size());
  EXPECT_EQ(window.cmdAdvanced->y(), window.cmdOk->y()) << "in the row of the buttons";
  EXPECT_LT(window.cmdAdvanced->geometry().right(), window.cmdOk->x());
  ExpectOneSentenceHint(window.cmdAdvanced);
  window.show();
  ExpectLaidOutInside(&window);
}

TEST_F(FrmAdvancedTest, AdvancedOpensOverTheSettingsAndHoldsThemUntilClosed) {
  settings_->show();
  TfrmAdvanced& advanced = Open();
  EXPECT_TRUE(advanced.isVisible());
  EXPECT_EQ(advanced.parentWidget(), settings_.data());
  EXPECT_EQ(advanced.windowModality(), Qt::WindowModal);
  EXPECT_EQ(advanced.windowTitle(), QStringLiteral("Advanced settings"));
  settings_->cmdAdvanced->click();
  EXPECT_EQ(settings_->findChildren<TfrmAdvanced*>().size(), 1) << "one at a time";
  QPointer<TfrmAdvanced> opened = &advanced;
  advanced.cmdOk->click();
  TfrmAdvanced& reopened = Open();  // before the first is released
  EXPECT_NE(&reopened, opened.data());
  EXPECT_TRUE(reopened.isVisible());
  Cancel(reopened);
  EXPECT_FALSE(opened) << "released";
  EXPECT_FALSE(settings_->frmAdvanced);
  EXPECT_TRUE(settings_->isVisible());
  EXPECT_TRUE(SettingsOpen);
}

TEST_F(FrmAdvancedTest, EveryControlIsInsideTheWindowInTheDialogsFontWithAHint) {
  TfrmAdvanced& advanced = Open();
  ExpectLaidOutInside(&advanced);
  ExpectLaidOutInside(advanced.GroupBox1);
  for (QLabel* label : {advanced.Label1, advanced.Label2, advanced.Label3}) {
    EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
  }
  EXPECT_EQ(advanced.font(), settings_->font());
  for (QWidget* control : std::initializer_list<QWidget*>{
           advanced.edsSecurity, advanced.edsUserName, advanced.edsPassword, advanced.chkAutostart,
           advanced.cmdOk, advanced.cmdCancel}) {
    EXPECT_EQ(control->font().family(), QStringLiteral("MS Sans Serif"));
    ExpectOneSentenceHint(control);
  }
  EXPECT_EQ(advanced.GroupBox1->title(), QStringLiteral("Server security"));
  QStringList choices;
  for (int i = 0; i < advanced.edsSecurity->count(); ++i) {
    choices << advanced.edsSecurity->itemText(i);
  }
  EXPECT_EQ(choices, QStringList({"None", "STARTTLS", "SSL/TLS"}));
  EXPECT_FALSE(advanced.edsSecurity->isEditable());
  EXPECT_EQ(advanced.edsPassword->echoMode(), QLineEdit::Password);
  EXPECT_EQ(advanced.edsPassword->text(), QString()) << "never shown again";
  EXPECT_EQ(advanced.chkAutostart->text(), QStringLiteral("Start Pelorin 32 when I log in"));
}

// ---- Security and user name ----------------------------------------------------------

TEST_F(FrmAdvancedTest, SecurityAndUserNameGoThroughTheRegistryWithTheSettingsOk) {
  struct Case {
    SmtpSecurity security;
    const char* user;
    const char* stored;
  };
  for (const Case& c :
       {Case{SmtpSecurity::StartTls, "ann@example.org", "starttls"},
        Case{SmtpSecurity::Tls, "bob", "tls"}, Case{SmtpSecurity::None, "", "none"}}) {
    SCOPED_TRACE(c.stored);
    TfrmAdvanced& advanced = Open();
    Choose(advanced, c.security);
    advanced.edsUserName->setText(QString::fromLatin1(c.user));
    Ok(advanced);
    SaveSettings();
    EXPECT_EQ(ReadSecuritySettings(), (SecuritySettings{c.security, c.user}));
    EXPECT_THAT(ReadFile(environment_.CurrentUserHive()),
                HasSubstr(std::string("\"Security\"=\"") + c.stored + "\""));
    TfrmAdvanced& reopened = Open();
    EXPECT_EQ(reopened.edsSecurity->currentIndex(), static_cast<int>(c.security));
    EXPECT_EQ(reopened.edsUserName->text(), QString::fromLatin1(c.user));
    Cancel(reopened);
  }
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(FrmAdvancedTest, AUserNameWithALineBreakIsStoredOnOneLine) {
  TfrmAdvanced& advanced = Open();
  advanced.edsUserName->setText(QStringLiteral("ann\r\nInjected=1"));
  Ok(advanced);
  SaveSettings();
  EXPECT_EQ(ReadSecuritySettings().userName, "ann  Injected=1");
}

TEST_F(FrmAdvancedTest, CancelAndEscapeDropEverything) {
  ASSERT_TRUE(WriteSecuritySettings({SmtpSecurity::Tls, "ann"}));
  const std::string hive = ReadFile(environment_.CurrentUserHive());
  for (const bool escape : {false, true}) {
    SCOPED_TRACE(escape ? "Escape" : "Cancel");
    TfrmAdvanced& advanced = Open();
    Choose(advanced, SmtpSecurity::StartTls);
    advanced.edsUserName->setText(QStringLiteral("other"));
    advanced.chkAutostart->setChecked(true);
    if (escape) {
      advanced.reject();
      ReleaseDeferredDeletes();
    } else {
      Cancel(advanced);
    }
    EXPECT_FALSE(settings_->frmAdvanced);
    EXPECT_EQ(ReadFile(environment_.CurrentUserHive()), hive);
    EXPECT_FALSE(fs::exists(AutostartEntry()));
  }
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

// The choices belong with the server and port of the settings: the settings' Cancel drops
// them too, and until the settings' OK they are shown only in the settings that hold them.
TEST_F(FrmAdvancedTest, OkSavesNothingUntilTheSettingsOk) {
  ASSERT_TRUE(WriteSecuritySettings({SmtpSecurity::Tls, "ann"}));
  const std::string hive = ReadFile(environment_.CurrentUserHive());
  TfrmAdvanced& advanced = Open();
  Choose(advanced, SmtpSecurity::StartTls);
  advanced.edsUserName->setText(QStringLiteral("other"));
  advanced.chkAutostart->setChecked(true);
  Ok(advanced);
  EXPECT_EQ(ReadFile(environment_.CurrentUserHive()), hive);
  EXPECT_FALSE(fs::exists(AutostartEntry()));
  TfrmAdvanced& reopened = Open();
  EXPECT_EQ(reopened.edsSecurity->currentIndex(), static_cast<int>(SmtpSecurity::StartTls));
  EXPECT_EQ(reopened.edsUserName->text(), QStringLiteral("other"));
  EXPECT_TRUE(reopened.chkAutostart->isChecked());
  Cancel(reopened);
  settings_->cmdCancel->click();
  ReleaseDeferredDeletes();
  EXPECT_EQ(ReadFile(environment_.CurrentUserHive()), hive);
  EXPECT_FALSE(fs::exists(AutostartEntry()));
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(FrmAdvancedTest, ARegistryThatCannotBeWrittenIsReported) {
  const std::string locked = environment_.Scratch().File("locked");
  fs::create_directories(locked);
  ::chmod(locked.c_str(), 0555);  // no write bit: not writable for root either
  environment_.Set("PELORIN_HKCU", locked + "/hkcu.reg");
  TfrmAdvanced& advanced = Open();
  Choose(advanced, SmtpSecurity::Tls);
  Ok(advanced);
  SaveSettings();
  EXPECT_THAT(boxes_.Texts(), ElementsAre("Unable to save the advanced settings: the program's "
                                          "registry file cannot be written."));
  EXPECT_FALSE(fs::exists(locked + "/hkcu.reg"));
  ::chmod(locked.c_str(), 0755);
}

// ---- The port a security choice proposes ---------------------------------------------

struct Choice {
  SmtpSecurity security;
};
struct Typed {
  const char* port;
};
struct Reopen {
  bool ok;  // OK, else Cancel, then the dialog opens again
};
using Step = std::variant<Choice, Typed, Reopen>;

struct PortCase {
  const char* name;
  const char* start;
  std::vector<std::pair<Step, const char*>> steps;  // each step and the port field after it
};

TEST_F(FrmAdvancedTest, ASecurityChoiceProposesItsPortOnlyWhereTheUserTypedNone) {
  constexpr auto None = SmtpSecurity::None;
  constexpr auto StartTls = SmtpSecurity::StartTls;
  constexpr auto Tls = SmtpSecurity::Tls;
  const std::vector<PortCase> cases = {
      {"25 becomes 587 and back", "25", {{Choice{StartTls}, "587"}, {Choice{None}, "25"}}},
      {"25 becomes 465 and back", "25", {{Choice{Tls}, "465"}, {Choice{None}, "25"}}},
      {"a proposal gives way to the next",
       "25",
       {{Choice{Tls}, "465"}, {Choice{StartTls}, "587"}, {Choice{None}, "25"}}},
      {"a port of the user's stays",
       "2525",
       {{Choice{StartTls}, "2525"}, {Choice{Tls}, "2525"}, {Choice{None}, "2525"}}},
      {"587 typed by the user is not proposed: None keeps it",
       "587",
       {{Choice{None}, "587"}, {Choice{Tls}, "587"}}},
      {"a proposal the user overtyped stays",
       "25",
       {{Choice{StartTls}, "587"}, {Typed{"2587"}, "2587"}, {Choice{None}, "2587"}}},
      {"the user typing the proposal over it keeps it",
       "25",
       {{Choice{Tls}, "465"}, {Typed{"587"}, "587"}, {Choice{None}, "587"}}},
      {"an empty field is not 25", "", {{Choice{StartTls}, ""}}},
      {"the proposal outlives the dialog after OK",
       "25",
       {{Choice{StartTls}, "587"}, {Reopen{true}, "587"}, {Choice{None}, "25"}}},
      {"Cancel takes the proposal back",
       "25",
       {{Choice{Tls}, "465"}, {Reopen{false}, "25"}, {Choice{None}, "25"}}},
      {"Cancel after None gives the proposal back",
       "25",
       {{Choice{Tls}, "465"},
        {Reopen{true}, "465"},
        {Choice{None}, "25"},
        {Reopen{false}, "465"},
        {Choice{None}, "25"}}},
  };
  for (const PortCase& c : cases) {
    SCOPED_TRACE(c.name);
    delete settings_.data();
    settings_ = new TfrmSettings();
    frmSettings = settings_;
    settings_->edsPort->setText(QString::fromLatin1(c.start));
    TfrmAdvanced* advanced = &Open();
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i + 1));
      const auto& [step, expected] = c.steps[i];
      if (const auto* choice = std::get_if<Choice>(&step)) {
        Choose(*advanced, choice->security);
      } else if (const auto* typed = std::get_if<Typed>(&step)) {
        settings_->edsPort->setText(QString::fromLatin1(typed->port));
      } else {
        std::get<Reopen>(step).ok ? Ok(*advanced) : Cancel(*advanced);
        advanced = &Open();
      }
      EXPECT_EQ(settings_->edsPort->text().toStdString(), expected);
    }
    Cancel(*advanced);
  }
}

TEST_F(FrmAdvancedTest, TheSettingsOkStoresTheProposedPort) {
  TfrmAdvanced& advanced = Open();
  Choose(advanced, SmtpSecurity::Tls);
  Ok(advanced);
  settings_->cmdOk->click();
  EXPECT_EQ(SmtpPort, "465");
  EXPECT_EQ(ReadSecuritySettings().security, SmtpSecurity::Tls);
}

// ---- Starting when the user logs in --------------------------------------------------

TEST_F(FrmAdvancedTest, TheAutostartBoxWritesRemovesAndShowsTheEntry) {
  for (const bool ownConfigHome : {false, true}) {
    SCOPED_TRACE(ownConfigHome ? "XDG_CONFIG_HOME set" : "~/.config");
    if (ownConfigHome) environment_.Set("XDG_CONFIG_HOME", environment_.Scratch().File("conf"));
    const std::string entry = ownConfigHome
                                  ? environment_.Scratch().File("conf/autostart/pelorin32.desktop")
                                  : AutostartEntry();
    TfrmAdvanced& first = Open();
    EXPECT_FALSE(first.chkAutostart->isChecked());
    first.chkAutostart->setChecked(true);
    Ok(first);
    SaveSettings();
    ASSERT_TRUE(fs::exists(entry));
    const testing_support::Validation validation = testing_support::ValidateDesktopFile(entry);
    EXPECT_TRUE(validation.valid) << validation.report;
    EXPECT_THAT(ReadFile(entry), HasSubstr("\nExec=" + os::GetModuleFileName() + "\n"));

    TfrmAdvanced& second = Open();
    EXPECT_TRUE(second.chkAutostart->isChecked()) << "shows the entry that is there";
    second.chkAutostart->setChecked(false);
    Ok(second);
    SaveSettings();
    EXPECT_FALSE(fs::exists(entry));

    TfrmAdvanced& third = Open();
    EXPECT_FALSE(third.chkAutostart->isChecked());
    Ok(third);
    SaveSettings();
    EXPECT_FALSE(fs::exists(entry)) << "unticked writes nothing";
  }
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(FrmAdvancedTest, AnAutostartEntryThatCannotBeWrittenIsReported) {
  environment_.Set("XDG_CONFIG_HOME", environment_.Scratch().File("conf"));
  WriteBytes(environment_.Scratch().File("conf"), "a file where the folder would be");
  TfrmAdvanced& advanced = Open();
  advanced.chkAutostart->setChecked(true);
  Ok(advanced);
  SaveSettings();
  EXPECT_THAT(boxes_.Boxes(),
              ElementsAre(os::BoxRequest{"Unable to create the folder " +
                                             environment_.Scratch().File("conf/autostart") + ".",
                                         "Pelorin32", os::BoxButtons::Ok, os::BoxIcon::Error}));
}

// ---- Sign-in ----------------------------------------------------------------------------

void ChooseSignIn(TfrmAdvanced& advanced, SignInChoice choice) {
  const int index = static_cast<int>(choice);
  advanced.edsSignIn->setCurrentIndex(index);
  emit advanced.edsSignIn->activated(index);
}

TEST_F(FrmAdvancedTest, TheSignInGroupLiesInsideWithAHintForEachControl) {
  TfrmAdvanced& advanced = Open();
  ExpectLaidOutInside(advanced.GroupBox2);
  for (QLabel* label : {advanced.Label4, advanced.Label5, advanced.Label6}) {
    EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
  }
  for (QWidget* control : std::initializer_list<QWidget*>{advanced.edsSignIn, advanced.edsClientId,
                                                          advanced.edsTenant, advanced.cmdSignIn}) {
    ExpectOneSentenceHint(control);
  }
}

TEST_F(FrmAdvancedTest, TheSignInChoiceGoesThroughTheRegistryWithTheSettingsOk) {
  struct Case {
    SignInChoice choice;
    const char* clientId;
    const char* tenant;
    const char* stored;
  };
  for (const Case& c :
       {Case{SignInChoice::OAuthGoogle, "g-client", "", "oauth2-google"},
        Case{SignInChoice::OAuthMicrosoft, "m-client", "contoso.example", "oauth2-microsoft"},
        Case{SignInChoice::OAuthOther, "", "", "oauth2-other"}}) {
    SCOPED_TRACE(c.stored);
    TfrmAdvanced& advanced = Open();
    Choose(advanced, SmtpSecurity::Tls);
    ChooseSignIn(advanced, c.choice);
    EXPECT_FALSE(advanced.edsPassword->isEnabled()) << "OAuth2 has no password";
    EXPECT_EQ(advanced.edsTenant->isEnabled(), c.choice == SignInChoice::OAuthMicrosoft);
    advanced.edsClientId->setText(QString::fromLatin1(c.clientId));
    advanced.edsTenant->setText(QString::fromLatin1(c.tenant));
    Ok(advanced);
    SaveSettings();
    EXPECT_EQ(ReadSignInSettings(""), (SignInSettings{c.choice, c.clientId, c.tenant}));
    EXPECT_THAT(ReadFile(environment_.CurrentUserHive()),
                HasSubstr(std::string("\"Sign-in\"=\"") + c.stored + "\""));
    TfrmAdvanced& reopened = Open();
    EXPECT_EQ(reopened.edsSignIn->currentIndex(), static_cast<int>(c.choice));
    EXPECT_EQ(reopened.edsClientId->text(), QString::fromLatin1(c.clientId));
    Cancel(reopened);
  }
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(FrmAdvancedTest, SignInNowSignsInAsTheAddressAndSaysWhatCameOfIt) {
  testing_support::TokenScript script;
  script.signIns = {testing_support::Granted("t"),
                    {oauth::TokenResult::Failed, {}, "you refused the consent"}};
  testing_support::UseScriptedTokens(script);
  settings_->edsEmail->setText(QStringLiteral("ann@example.org"));
  settings_->edsSMTP->setText(QStringLiteral("smtp.office365.com"));
  TfrmAdvanced& advanced = Open();
  ChooseSignIn(advanced, SignInChoice::OAuthMicrosoft);
  advanced.cmdSignIn->click();
  EXPECT_FALSE(advanced.cmdSignIn->isEnabled()) << "one sign-in at a time";
  ASSERT_TRUE(testing_support::RunEventsUntil(
      [&] { return advanced.lblSignIn->text() == QStringLiteral("Signed in."); }));
  ASSERT_EQ(script.clients.size(), 1u);
  EXPECT_EQ(script.clients[0].account, "ann@example.org");
  EXPECT_EQ(script.clients[0].server, "smtp.office365.com");
  EXPECT_EQ(script.clients[0].provider, oauth::Provider::Microsoft);
  advanced.cmdSignIn->click();
  ASSERT_TRUE(testing_support::RunEventsUntil([&] { return !boxes_.Texts().empty(); }));
  EXPECT_THAT(boxes_.Texts(), ElementsAre("Not signed in: you refused the consent"));
  EXPECT_TRUE(advanced.cmdSignIn->isEnabled());
  EXPECT_EQ(script.made, 1);
  oauth::UseTokenSourceMaker({});
  Cancel(advanced);
}

}  // namespace
}  // namespace pelorin
