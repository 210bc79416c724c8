// The settings dialog offscreen, with registry hives, a home and dial-up providers of the
// test's own: its layout, creation (program path, first-run import, dial-up entries), OK,
// Cancel, picking an entry, MailTo and registry errors.
#include "app/frm_settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <filesystem>
#include <set>

#include "app/configuration.h"
#include "app/dialog_commands.h"
#include "app/globals.h"
#include "app/mail_client_import.h"
#include "app/program_world.h"
#include "app/security_settings.h"
#include "desktop/mailto_association.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "os/registry_class.h"
#include "platform/dialup.h"
#include "setup/mail_setup_print.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;
using app_test::ReadFile;
using app_test::ReleaseDeferredDeletes;
using app_test::TextOf;
using app_test::WriteBytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kMailtoFailed = "Unable to set Pelorin to default program.";

std::string Hive(const std::string& sections) {
  return "REGEDIT4\r\n\r\n" + sections;
}

std::string InternetMail(const std::string& values) {
  return "[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Mail and News\\Mail]\r\n" + values +
         "\r\n";
}

std::string Netscape(const std::string& userValues, const std::string& serviceValues) {
  return "[HKEY_CURRENT_USER\\Software\\Netscape\\Netscape Navigator]\r\n\r\n"
         "[HKEY_CURRENT_USER\\Software\\Netscape\\Netscape Navigator\\User]\r\n" +
         userValues +
         "\r\n"
         "[HKEY_CURRENT_USER\\Software\\Netscape\\Netscape Navigator\\Services]\r\n" +
         serviceValues + "\r\n";
}

std::string CommandLineValue() {
  os::Registry registry;
  if (!registry.OpenKey("\\Software\\Pelorin 32", false)) return "(no key)";
  return registry.ReadString("Command Line");
}

class FrmSettingsTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override { SettingsOpen = false; }
  void TearDown() override { delete frmSettings.data(); }

  TfrmSettings& Create(QWidget* owner = nullptr) {
    frmSettings = new TfrmSettings(owner);
    return *frmSettings;
  }

  void WriteCurrentUserHive(const std::string& sections) {
    WriteBytes(environment_.CurrentUserHive(), Hive(sections));
  }

  // The complete fake phone book: "Provider A", "Home ISP", "home isp", 256 x 'L', "Home ISP",
  // 257 x 'M' (the last record's name fills its field without an end).
  void UseFakeProvider() {
    const std::string directory = std::string(PELORIN_FAKE_RAS_DIR) + "/complete";
    ASSERT_TRUE(fs::exists(directory + "/librasapi32.so")) << "fake provider not built";
    environment_.Set("PELORIN_RAS_LIBRARY_DIR", directory);
    WriteBytes(environment_.LocalMachineHive(),
               Hive("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\RAS]\r\n\r\n"));
  }

  std::string ConfigurationFile() const { return ReadFile(ConfigurationPath()); }
};

// ---- The window ----------------------------------------------------------------------

struct ExpectedControl {
  const char* name;
  const char* parent;
  QRect geometry;  // labels: only the position counts
  const char* text;
  const char* hint;
};

TEST_F(FrmSettingsTest, ControlsStandWhereTheDesignerPutThemWithTheirTextsAndHints) {
  SmtpServer = "mail.example.org";
  TfrmSettings& window = Create();
  const std::vector<ExpectedControl> expectedControls = {
      {"PageControl1", "frmSettings", {5, 4, 328, 165}, "?", ""},
      {"Label1", "TabSheet1", {5, 5, 0, 0}, "User Info", ""},
      {"cmdMailTo",
       "TabSheet1",
       {239, 4, 75, 25},
       "MailTo",
       "Sets Pelorin as your default e-mail program."},
      {"Label4", "TabSheet1", {15, 24, 0, 0}, "Your main e-mail address", ""},
      {"edsEmail",
       "TabSheet1",
       {13, 40, 300, 21},
       "",
       "The e-mail address that you want the reply to."},
      {"Label2", "TabSheet1", {5, 73, 0, 0}, "Server", ""},
      {"Label5", "TabSheet1", {15, 92, 0, 0}, "SMTP ", ""},
      {"Label3", "TabSheet1", {271, 92, 0, 0}, "Port nr", ""},
      {"edsSMTP",
       "TabSheet1",
       {15, 107, 246, 21},
       "mail.example.org",
       "The IP or domain address to your Send Mail server."},
      {"edsPort",
       "TabSheet1",
       {268, 107, 45, 21},
       "25",
       "The port number your SMTP server listens on. 25 is default."},
      {"Label27", "TabSheet2", {5, 5, 0, 0}, "Dial up", ""},
      {"chkDialup",
       "TabSheet2",
       {15, 28, 300, 17},
       "&Use dialup connection",
       "If you want to use the dial up function. If so Vantrel dials up your ISP every x "
       "minutes and checks for new mail."},
      {"Label29", "TabSheet2", {15, 52, 0, 0}, "Use this dialup entry", ""},
      {"lstEntries",
       "TabSheet2",
       {15, 68, 186, 21},
       "",
       "Your RAS entries. If you want to add, edit or delete an entry, do it in your Dial Up "
       "Networking settings."},
      {"cmdOk",
       "frmSettings",
       {174, 173, 75, 25},
       "&Ok",
       "Closes this dialog and saves all changes you've made."},
      {"cmdCancel",
       "frmSettings",
       {256, 173, 75, 25},
       "&Cancel",
       "Closes this dialog and cancels all the changes."},
  };
  for (const ExpectedControl& expected : expectedControls) {
    SCOPED_TRACE(expected.name);
    auto* control = window.findChild<QWidget*>(QString::fromLatin1(expected.name));
    ASSERT_NE(control, nullptr);
    // A page's controls sit on the page widget itself.
    QWidget* parent = control->parentWidget();
    while (parent != nullptr && parent->objectName().isEmpty()) parent = parent->parentWidget();
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(parent->objectName(), QString::fromLatin1(expected.parent));
    if (expected.geometry.width() == 0) {
      EXPECT_EQ(control->pos(), expected.geometry.topLeft());
      EXPECT_GE(control->width(), control->sizeHint().width()) << "label sized to its text";
    } else {
      EXPECT_EQ(control->geometry(), expected.geometry);
    }
    if (std::string(expected.text) != "?") {
      EXPECT_EQ(TextOf(control), QString::fromLatin1(expected.text));
    }
    EXPECT_EQ(control->toolTip(), QString::fromLatin1(expected.hint));
  }
  for (QLabel* heading : {window.Label1, window.Label2, window.Label27}) {
    EXPECT_TRUE(heading->font().bold()) << heading->objectName().toStdString();
    EXPECT_EQ(heading->palette().color(QPalette::WindowText), QColor(Qt::black));
  }
  EXPECT_FALSE(window.Label4->font().bold());
  EXPECT_FALSE(window.lstEntries->isEditable());
}

TEST_F(FrmSettingsTest, WindowHasItsCaptionPlaceSizeFrameFontAndPages) {
  TfrmSettings& window = Create();
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Settings"));
  EXPECT_EQ(window.frameGeometry(), QRect(261, 163, 344, 230));
  EXPECT_LT(window.width(), 344) << "the offscreen frame is not part of the client area";
  window.show();
  EXPECT_EQ(window.frameGeometry(), QRect(261, 163, 344, 230));
  EXPECT_NE(window.minimumSize(), window.maximumSize()) << "the frame stays resizable";
  EXPECT_FALSE(window.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(window.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMinMaxButtonsHint);
  EXPECT_EQ(window.font().family(), QStringLiteral("MS Sans Serif"));
  ASSERT_EQ(window.PageControl1->count(), 2);
  EXPECT_EQ(window.PageControl1->tabText(0), QStringLiteral("Basic settings"));
  EXPECT_EQ(window.PageControl1->tabText(1), QStringLiteral("Dial Up"));
  EXPECT_EQ(window.PageControl1->currentWidget(), window.TabSheet1);
}

TEST_F(FrmSettingsTest, IsCreatedHiddenForItsCallerToShow) {
  EXPECT_FALSE(Create().isVisible());
}

TEST_F(FrmSettingsTest, WindowIconIsOne32By32PictureInSixteenColours) {
  TfrmSettings& window = Create();
  EXPECT_THAT(window.windowIcon().availableSizes(), ElementsAre(QSize(32, 32)));
  const QImage picture = window.windowIcon().pixmap(32, 32).toImage();
  ASSERT_EQ(picture.size(), QSize(32, 32));
  std::set<QRgb> colours;
  int transparent = 0;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const QRgb pixel = picture.pixel(x, y);
      if (qAlpha(pixel) == 0) {
        ++transparent;
      } else {
        colours.insert(pixel);
      }
    }
  }
  EXPECT_LE(colours.size(), 16u);
  EXPECT_GE(colours.size(), 4u) << "a picture, not a blank";
  EXPECT_GT(transparent, 0);
}

TEST_F(FrmSettingsTest, TabOrderRunsFromOkThroughThePages) {
  TfrmSettings& window = Create();
  QWidget* pages = window.PageControl1->focusProxy() != nullptr ? window.PageControl1->focusProxy()
                                                                : window.PageControl1;
  const std::vector<QWidget*> expected = {window.cmdOk,     window.cmdCancel, pages,
                                          window.cmdMailTo, window.edsEmail,  window.edsSMTP,
                                          window.edsPort,   window.chkDialup, window.lstEntries};
  std::vector<QWidget*> order;
  QWidget* widget = window.cmdOk;
  do {
    if (std::find(expected.begin(), expected.end(), widget) != expected.end()) {
      order.push_back(widget);
    }
    widget = widget->nextInFocusChain();
  } while (widget != window.cmdOk && order.size() < expected.size());
  EXPECT_EQ(order, expected);
}

// ---- Creation ------------------------------------------------------------------------

TEST_F(FrmSettingsTest, CreationRecordsTheProgramPathEveryTimeAlsoWhenCancelled) {
  EXPECT_EQ(CommandLineValue(), "(no key)");
  Create().cmdCancelClick(nullptr);
  EXPECT_EQ(CommandLineValue(), os::GetModuleFileName()) << "the key is created";
  WriteCurrentUserHive("[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n\"Command Line\"=\"old\"\r\n");
  NeedsSetup = true;
  Create();
  EXPECT_EQ(CommandLineValue(), os::GetModuleFileName());
}

struct ImportCase {
  const char* name;
  std::string hive;
  const char* address;
  const char* server;
};

TEST_F(FrmSettingsTest, FirstRunTakesAddressAndServerFromTheOtherMailClients) {
  const std::string internetMail = InternetMail(
      "\"Sender Name\"=\"Ann\"\r\n\"Sender Email\"=\"ann@imn.example\"\r\n"
      "\"Default SMTP Server\"=\"smtp.imn.example\"\r\n");
  const std::string unnamedInternetMail = InternetMail(
      "\"Sender Email\"=\"ann@imn.example\"\r\n\"Default SMTP Server\"=\"smtp.imn.example\"\r\n");
  const std::string emptyNameInternetMail =
      InternetMail("\"Sender Name\"=\"\"\r\n\"Sender Email\"=\"ann@imn.example\"\r\n");
  const std::string addressOnlyInternetMail =
      InternetMail("\"Sender Name\"=\"Ann\"\r\n\"Sender Email\"=\"ann@imn.example\"\r\n");
  const std::string emptyServerInternetMail = InternetMail(
      "\"Sender Name\"=\"Ann\"\r\n\"Sender Email\"=\"ann@imn.example\"\r\n"
      "\"Default SMTP Server\"=\"\"\r\n");
  const std::string netscape =
      Netscape("\"User_Addr\"=\"bob@ns.example\"\r\n", "\"SMTP_Server\"=\"smtp.ns.example\"\r\n");
  const std::vector<ImportCase> cases = {
      {"neither client", "", "", ""},
      {"Internet Mail and News alone", internetMail, "ann@imn.example", "smtp.imn.example"},
      {"Netscape Navigator alone", netscape, "bob@ns.example", "smtp.ns.example"},
      {"both: Internet Mail and News wins", internetMail + netscape, "ann@imn.example",
       "smtp.imn.example"},
      {"no sender name: nothing taken from it", unnamedInternetMail + netscape, "bob@ns.example",
       "smtp.ns.example"},
      {"empty sender name", emptyNameInternetMail, "", ""},
      {"only the address from Internet Mail and News", addressOnlyInternetMail + netscape,
       "ann@imn.example", "smtp.ns.example"},
      {"an empty server counts as none", emptyServerInternetMail + netscape, "ann@imn.example",
       "smtp.ns.example"},
      {"Netscape Navigator without its sub-keys",
       "[HKEY_CURRENT_USER\\Software\\Netscape\\Netscape Navigator]\r\n\r\n", "", ""},
  };
  for (const ImportCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteCurrentUserHive(c.hive);
    NeedsSetup = true;
    SmtpServer = "old.example";
    SmtpPort = "2525";
    SenderAddress = "old@example";
    DialEntry = "Old ISP";
    UseDialup = true;
    TfrmSettings& window = Create();
    EXPECT_EQ(SenderAddress, c.address);
    EXPECT_EQ(SmtpServer, c.server);
    EXPECT_EQ(SmtpPort, "2525") << "the port is not imported";
    EXPECT_EQ(DialEntry, "");
    EXPECT_FALSE(UseDialup);
    EXPECT_EQ(window.edsEmail->text().toStdString(), c.address);
    EXPECT_EQ(window.edsSMTP->text().toStdString(), c.server);
    EXPECT_EQ(window.edsPort->text(), QStringLiteral("2525"));
    EXPECT_EQ(window.lstEntries->currentIndex(), -1);
    EXPECT_FALSE(window.chkDialup->isChecked());
    EXPECT_FALSE(window.chkDialup->isEnabled());
    EXPECT_THAT(boxes_.Boxes(), IsEmpty());
    delete frmSettings.data();
  }
}

TEST_F(FrmSettingsTest, LaterRunsShowTheGlobalsAndImportNothing) {
  WriteCurrentUserHive(InternetMail("\"Sender Name\"=\"Ann\"\r\n\"Sender Email\"=\"a@b\"\r\n"));
  WriteBytes(environment_.Home() + "/.msmtprc", "account default\nfrom c@d\nhost e.example\n");
  SmtpServer = "mail.example.org";
  SmtpPort = "587";
  SenderAddress = "me@example.org";
  UseDialup = true;
  TfrmSettings& window = Create();
  EXPECT_EQ(window.edsSMTP->text(), QStringLiteral("mail.example.org"));
  EXPECT_EQ(window.edsPort->text(), QStringLiteral("587"));
  EXPECT_EQ(window.edsEmail->text(), QStringLiteral("me@example.org"));
  EXPECT_TRUE(window.chkDialup->isChecked());
  EXPECT_FALSE(window.chkDialup->isEnabled()) << "no dial-up library here";
  EXPECT_EQ(SenderAddress, "me@example.org");
  EXPECT_TRUE(SettingsOpen);
}

// What the desktop's mail programs know fills what the registry left empty; the port comes
// only with its server.
TEST_F(FrmSettingsTest, FirstRunFillsWhatTheRegistryLeftEmptyFromTheDesktopsMailPrograms) {
  const std::string home = environment_.Home();
  fs::create_directories(home + "/.thunderbird/p.default");
  WriteBytes(home + "/.thunderbird/profiles.ini",
             "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\nDefault=1\n");
  WriteBytes(home + "/.thunderbird/p.default/prefs.js",
             "user_pref(\"mail.account.account1.identities\", \"id1\");\n"
             "user_pref(\"mail.accountmanager.defaultaccount\", \"account1\");\n"
             "user_pref(\"mail.identity.id1.useremail\", \"tb@example.org\");\n"
             "user_pref(\"mail.smtpservers\", \"smtp1\");\n"
             "user_pref(\"mail.smtpserver.smtp1.hostname\", \"smtp.tb.example\");\n"
             "user_pref(\"mail.smtpserver.smtp1.port\", 587);\n"
             "user_pref(\"mail.smtpserver.smtp1.try_ssl\", 2);\n"
             "user_pref(\"mail.smtpserver.smtp1.username\", \"tb-user\");\n");
  WriteBytes(home + "/.msmtprc", "account default\nhost smtp.msmtp.example\npassword secret\n");
  struct Case {
    const char* what;
    std::string hive;
    const char* address;
    const char* server;
    const char* port;
    MailSetup taken;
  };
  const std::vector<Case> cases = {
      {"no registry values",
       "",
       "tb@example.org",
       "smtp.tb.example",
       "587",
       {"tb@example.org", "smtp.tb.example", "587", "starttls", "tb-user"}},
      {"the registry's address",
       InternetMail("\"Sender Name\"=\"Ann\"\r\n\"Sender Email\"=\"ann@imn.example\"\r\n"),
       "ann@imn.example",
       "smtp.tb.example",
       "587",
       {"", "smtp.tb.example", "587", "starttls", "tb-user"}},
      {"the registry's server: the port stays with it",
       Netscape("", "\"SMTP_Server\"=\"smtp.ns.example\"\r\n"),
       "tb@example.org",
       "smtp.ns.example",
       "25",
       {"tb@example.org", "", "", "", ""}},
      {"both from the registry",
       Netscape("\"User_Addr\"=\"bob@ns.example\"\r\n", "\"SMTP_Server\"=\"smtp.ns.example\"\r\n"),
       "bob@ns.example",
       "smtp.ns.example",
       "25",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteCurrentUserHive(c.hive);
    NeedsSetup = true;
    SmtpPort = "25";
    ShowSettingsForFirstRun();
    ASSERT_TRUE(frmSettings);
    EXPECT_EQ(frmSettings->edsEmail->text().toStdString(), c.address);
    EXPECT_EQ(frmSettings->edsSMTP->text().toStdString(), c.server);
    EXPECT_EQ(frmSettings->edsPort->text().toStdString(), c.port);
    EXPECT_EQ(SmtpPort, c.port);
    EXPECT_THAT(boxes_.Boxes(), IsEmpty());
    delete frmSettings.data();
    SmtpPort = "25";
    EXPECT_EQ(ImportMailClientDefaults(), c.taken) << "what the import took, security and user too";
  }
}

// The security and user name that came with an imported server fill only what the advanced
// settings leave empty, and only once OK is pressed (the advanced settings show them before);
// a password in the imported settings goes nowhere.
TEST_F(FrmSettingsTest, FirstRunGivesTheImportedSecurityAndUserNameWhereNoneIsSetOnOk) {
  WriteBytes(environment_.Home() + "/.msmtprc",
             "account default\nfrom me@example.org\nhost smtp.msmtp.example\ntls on\n"
             "tls_starttls off\nuser msmtp-user\npassword Secret-Of-Msmtp\n");
  const std::string ours = "[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n";
  struct Case {
    const char* what;
    std::string hive;
    SecuritySettings expected;
  };
  const std::vector<Case> cases = {
      {"nothing set", "", {SmtpSecurity::Tls, "msmtp-user"}},
      {"empty values count as none",
       ours + "\"Security\"=\"\"\r\n\"User Name\"=\"\"\r\n",
       {SmtpSecurity::Tls, "msmtp-user"}},
      {"a security of the user's stays",
       ours + "\"Security\"=\"none\"\r\n",
       {SmtpSecurity::None, "msmtp-user"}},
      {"a user name of the user's stays",
       ours + "\"User Name\"=\"me\"\r\n",
       {SmtpSecurity::Tls, "me"}},
      {"a server from the registry brings neither",
       Netscape("", "\"SMTP_Server\"=\"smtp.ns.example\"\r\n"),
       {SmtpSecurity::None, ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteCurrentUserHive(c.hive);
    const SecuritySettings before = ReadSecuritySettings();
    NeedsSetup = true;
    ShowSettingsForFirstRun();
    frmSettings->cmdAdvanced->click();
    ASSERT_TRUE(frmSettings->frmAdvanced);
    EXPECT_EQ(frmSettings->frmAdvanced->edsUserName->text().toStdString(), c.expected.userName);
    frmSettings->frmAdvanced->cmdCancel->click();
    frmSettings->cmdCancel->click();
    EXPECT_EQ(ReadSecuritySettings(), before) << "nothing saved on Cancel";
    ReleaseDeferredDeletes();
    ShowSettingsForFirstRun();
    frmSettings->cmdOk->click();
    EXPECT_EQ(ReadSecuritySettings(), c.expected);
    EXPECT_THAT(ReadFile(environment_.CurrentUserHive()),
                ::testing::Not(::testing::HasSubstr("Secret-Of-Msmtp")));
    EXPECT_THAT(boxes_.Boxes(), IsEmpty());
    delete frmSettings.data();
  }
}

// A certificate is trusted for the server and port it was trusted on; OK with another server
// or port drops it, as it drops one stored before pins named their server.
TEST_F(FrmSettingsTest, ATrustedCertificateHoldsOnlyForItsServerAndPort) {
  struct Case {
    const char* what;
    std::string hive;
    const char* server;
    const char* port;
    const char* trusted;
  };
  const std::string ours = "[HKEY_CURRENT_USER\\Software\\Pelorin 32]\r\n";
  const std::string pin = ours +
                          "\"Trusted Certificate\"=\"AB:CD\"\r\n"
                          "\"Trusted Certificate Server\"=\"mail.example.org\"\r\n"
                          "\"Trusted Certificate Port\"=\"465\"\r\n";
  const std::vector<Case> cases = {
      {"its own server and port", pin, "mail.example.org", "465", "AB:CD"},
      {"another server", pin, "smtp.example.net", "465", ""},
      {"another port", pin, "mail.example.org", "587", ""},
      {"stored without its server", ours + "\"Trusted Certificate\"=\"AB:CD\"\r\n",
       "mail.example.org", "465", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteCurrentUserHive(c.hive);
    EXPECT_EQ(ReadTrustedCertificate(c.server, c.port), c.trusted);
    SmtpServer = "mail.example.org";
    SmtpPort = "465";
    TfrmSettings& window = Create();
    window.edsSMTP->setText(QString::fromLatin1(c.server));
    window.edsPort->setText(QString::fromLatin1(c.port));
    window.cmdOk->click();
    ReleaseDeferredDeletes();
    EXPECT_EQ(ReadTrustedCertificate("mail.example.org", "465"), c.trusted) << "after OK";
    EXPECT_EQ(ReadTrustedCertificate(c.server, c.port), c.trusted) << "after OK";
  }
  WriteTrustedCertificate("smtp.example.net", "25", "EF:01");
  EXPECT_EQ(ReadTrustedCertificate("smtp.example.net", "25"), "EF:01");
  EXPECT_EQ(ReadTrustedCertificate("mail.example.org", "25"), "");
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(FrmSettingsTest, FirstRunPassesOverMailSettingsItCannotRead) {
  const std::string home = environment_.Home();
  fs::create_directories(home + "/.thunderbird/profiles.ini");  // a directory, not a file
  fs::create_directories(home + "/.config/evolution/sources");
  WriteBytes(home + "/.config/evolution/sources/x.source", std::string("\0\xFF[Mail", 7));
  WriteBytes(home + "/.msmtprc", "\x01\x02 garbage without accounts");
  WriteBytes(home + "/.gitconfig", "[user]\n\temail = git@example.org\n");
  NeedsSetup = true;
  ShowSettingsForFirstRun();
  ASSERT_TRUE(frmSettings);
  EXPECT_TRUE(frmSettings->isVisible());
  EXPECT_EQ(frmSettings->edsEmail->text(), QStringLiteral("git@example.org"));
  EXPECT_EQ(frmSettings->edsSMTP->text(), QString());
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

// ---- Dial-up entries -----------------------------------------------------------------

struct EntryCase {
  std::string dialEntry;
  int selected;
};

TEST_F(FrmSettingsTest, TheStoredEntryIsSelectedAndEnablesTheCheckBox) {
  UseFakeProvider();
  const std::vector<EntryCase> cases = {
      {"Provider A", 0},
      {"home isp", 2},
      {std::string(256, 'L'), 3},
      {"Gone ISP", -1},
      // Longer than a phone-book name may be: selects nothing, though the fake lists it.
      {std::string(257, 'M'), -1},
      {"", -1},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.dialEntry.substr(0, 20));
    DialEntry = c.dialEntry;
    UseDialup = true;
    TfrmSettings& window = Create();
    EXPECT_EQ(window.lstEntries->count(), 6);
    EXPECT_EQ(window.lstEntries->currentIndex(), c.selected);
    EXPECT_EQ(window.chkDialup->isEnabled(), c.selected >= 0);
    EXPECT_TRUE(window.chkDialup->isChecked());
    delete frmSettings.data();
  }
}

TEST_F(FrmSettingsTest, AnEntryThatNoLongerExistsIsDroppedByOkButDialingStaysOn) {
  UseFakeProvider();
  DialEntry = "Gone ISP";
  UseDialup = true;
  TfrmSettings& window = Create();
  window.cmdOk->click();
  EXPECT_EQ(DialEntry, "");
  EXPECT_TRUE(UseDialup);
  EXPECT_EQ(ConfigurationFile(), "localhost:25\r\n\r\n\r\nTRUE\r\n");
}

TEST_F(FrmSettingsTest, PickingAnEntryEnablesTheCheckBoxWithoutTickingIt) {
  UseFakeProvider();
  TfrmSettings& window = Create();
  ASSERT_FALSE(window.chkDialup->isEnabled());
  window.lstEntries->setCurrentIndex(1);
  emit window.lstEntries->activated(1);
  EXPECT_TRUE(window.chkDialup->isEnabled());
  EXPECT_FALSE(window.chkDialup->isChecked());
  window.cmdOk->click();
  EXPECT_EQ(DialEntry, "Home ISP");
  EXPECT_FALSE(UseDialup);
}

TEST_F(FrmSettingsTest, WithoutDialUpNetworkingTheListIsEmptyAndTheCheckBoxDisabled) {
  DialEntry = "Provider A";
  TfrmSettings& window = Create();
  EXPECT_EQ(window.lstEntries->count(), 0);
  EXPECT_FALSE(window.chkDialup->isEnabled());
}

// ---- OK and Cancel -------------------------------------------------------------------

TEST_F(FrmSettingsTest, OkStoresTheFieldsAsTypedWritesTheFileAndReleasesTheDialog) {
  NameList = {"Ann"};
  AddressList = {"ann@example.org"};
  TfrmSettings& window = Create();
  window.edsSMTP->setText(QStringLiteral(" mail.example.org "));
  window.edsPort->setText(QStringLiteral("x25"));
  window.edsEmail->setText(QStringLiteral("me@example.org "));
  window.chkDialup->setChecked(true);  // disabled, yet its tick is stored
  window.show();
  window.cmdOk->click();
  EXPECT_EQ(SmtpServer, " mail.example.org ");
  EXPECT_EQ(SmtpPort, "x25");
  EXPECT_EQ(SenderAddress, "me@example.org ");
  EXPECT_EQ(DialEntry, "");
  EXPECT_TRUE(UseDialup);
  EXPECT_FALSE(SettingsOpen);
  EXPECT_EQ(ConfigurationFile(),
            " mail.example.org :x25\r\nme@example.org \r\n\r\nTRUE\r\nAnn\r\nann@example.org\r\n");
  ASSERT_TRUE(frmSettings) << "released only once queued events are handled";
  EXPECT_FALSE(frmSettings->isVisible());
  ReleaseDeferredDeletes();
  EXPECT_FALSE(frmSettings);
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(FrmSettingsTest, OkStoresLineBreaksPastedIntoTheFieldsAsBlanks) {
  TfrmSettings& window = Create();
  window.edsSMTP->setText(QStringLiteral("mail\nhost"));
  window.edsPort->setText(QStringLiteral("2\r5"));
  window.edsEmail->setText(QStringLiteral("me@\r\nexample.org"));
  window.cmdOk->click();
  EXPECT_EQ(SmtpServer, "mail host");
  EXPECT_EQ(SmtpPort, "2 5");
  EXPECT_EQ(SenderAddress, "me@  example.org");
  EXPECT_EQ(ConfigurationFile(), "mail host:2 5\r\nme@  example.org\r\n\r\nFALSE\r\n");
}

TEST_F(FrmSettingsTest, OkWhoseFileCannotBeWrittenReportsItAfterTheDialogClosed) {
  ProgramDir = environment_.Scratch().File("missing/");
  TfrmSettings& window = Create();
  window.edsSMTP->setText(QStringLiteral("new.example"));
  window.show();
  bool closedAtBox = false;
  boxes_.OnBox([&closedAtBox](const os::BoxRequest&) {
    closedAtBox = frmSettings && !frmSettings->isVisible() && !SettingsOpen;
  });
  window.cmdOk->click();
  EXPECT_THAT(boxes_.Boxes(), ElementsAre(os::BoxRequest{"File not found.", "Pelorin32",
                                                         os::BoxButtons::Ok, os::BoxIcon::Error}));
  EXPECT_TRUE(closedAtBox);
  EXPECT_EQ(SmtpServer, "new.example");
}

TEST_F(FrmSettingsTest, CancelKeepsTheGlobalsWritesNothingAndReleasesTheDialog) {
  SmtpServer = "mail.example.org";
  TfrmSettings& window = Create();
  window.edsSMTP->setText(QStringLiteral("other.example"));
  window.chkDialup->setChecked(true);
  window.show();
  window.cmdCancel->click();
  EXPECT_EQ(SmtpServer, "mail.example.org");
  EXPECT_FALSE(UseDialup);
  EXPECT_FALSE(SettingsOpen);
  EXPECT_FALSE(fs::exists(ConfigurationPath()));
  ReleaseDeferredDeletes();
  EXPECT_FALSE(frmSettings);
}

TEST_F(FrmSettingsTest, CancelInTheFirstRunLeavesTheImportedValues) {
  WriteCurrentUserHive(Netscape("\"User_Addr\"=\"bob@ns.example\"\r\n", ""));
  NeedsSetup = true;
  Create().cmdCancelClick(nullptr);
  EXPECT_EQ(SenderAddress, "bob@ns.example");
  EXPECT_EQ(SmtpServer, "");
}

TEST_F(FrmSettingsTest, InTheFirstRunReopeningShowsTheImportedDefaultsAgain) {
  WriteCurrentUserHive(
      Netscape("\"User_Addr\"=\"bob@ns.example\"\r\n", "\"SMTP_Server\"=\"smtp.ns.example\"\r\n"));
  NeedsSetup = true;
  TfrmSettings& first = Create();
  first.edsEmail->setText(QStringLiteral("typed@example.org"));
  first.cmdOk->click();
  ASSERT_EQ(SenderAddress, "typed@example.org");
  ReleaseDeferredDeletes();
  TfrmSettings& second = Create();
  EXPECT_EQ(second.edsEmail->text(), QStringLiteral("bob@ns.example"));
  EXPECT_EQ(SenderAddress, "bob@ns.example");
}

// ---- Opening the dialog --------------------------------------------------------------

TEST_F(FrmSettingsTest, PropertiesCreatesAnOwnedDialogOnlyWhenNoneIsOpen) {
  QWidget owner;
  SmtpServer = "mail.example.org";
  OpenSettingsDialog(&owner);
  ASSERT_TRUE(frmSettings);
  QPointer<TfrmSettings> first = frmSettings;
  EXPECT_EQ(first->parentWidget(), &owner);
  EXPECT_TRUE(first->isVisible());
  EXPECT_TRUE(first->isWindow());
  OpenSettingsDialog(&owner);
  EXPECT_EQ(frmSettings, first) << "the open dialog is shown again";
  first->cmdCancel->click();
  ReleaseDeferredDeletes();
  SmtpServer = "changed.example";
  OpenSettingsDialog(&owner);
  ASSERT_TRUE(frmSettings);
  EXPECT_FALSE(first);
  EXPECT_EQ(frmSettings->edsSMTP->text(), QStringLiteral("changed.example"));
  EXPECT_TRUE(SettingsOpen);
}

TEST_F(FrmSettingsTest, PropertiesRestoresAMinimisedApplication) {
  QWidget owner;
  owner.show();
  owner.setWindowState(Qt::WindowMinimized);
  ASSERT_TRUE(owner.isMinimized());
  OpenSettingsDialog(&owner);
  EXPECT_FALSE(owner.isMinimized());
}

TEST_F(FrmSettingsTest, FirstRunShowsADialogWithoutOwner) {
  NeedsSetup = true;
  ShowSettingsForFirstRun();
  ASSERT_TRUE(frmSettings);
  EXPECT_EQ(frmSettings->parentWidget(), nullptr);
  EXPECT_TRUE(frmSettings->isVisible());
  EXPECT_TRUE(SettingsOpen);
}

// ---- MailTo --------------------------------------------------------------------------

TEST_F(FrmSettingsTest, MailToMakesTheProgramTheMailtoHandlerSilentlyEachTime) {
  os::RegisterMailtoAssociation();
  TfrmSettings& window = Create();
  const std::string entryPath =
      environment_.Home() + "/.local/share/applications/pelorin32.desktop";
  const std::string listPath = environment_.Home() + "/.config/mimeapps.list";
  window.cmdMailTo->click();
  const std::string entry = ReadFile(entryPath);
  window.cmdMailTo->click();
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
  EXPECT_EQ(ReadFile(entryPath), entry);
  EXPECT_THAT(entry, ::testing::HasSubstr("\nExec=" + os::GetModuleFileName() + " /u %u\n"));
  EXPECT_EQ(ReadFile(listPath),
            "[Default Applications]\nx-scheme-handler/mailto=pelorin32.desktop;\n");
  os::Registry registry(os::KEY_READ);
  registry.SetRootKey(os::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(registry.OpenKey(os::kMailtoCommandKey, false));
  EXPECT_EQ(registry.ReadString(""), os::GetModuleFileName() + " /u %1 %2");
}

TEST_F(FrmSettingsTest, MailToWhereTheKeyDoesNotOpenSaysSo) {
  const std::string locked = environment_.Scratch().File("locked");
  fs::create_directories(locked);
  ::chmod(locked.c_str(), 0555);  // no write bit: not writable for root either
  struct Case {
    const char* name;
    bool registered;
  };
  for (const Case& c : {Case{"no association behind the key", false},
                        Case{"XDG data directory not writable", true}}) {
    SCOPED_TRACE(c.name);
    if (c.registered) {
      os::RegisterMailtoAssociation();
      environment_.Set("XDG_DATA_HOME", locked + "/share");
    }
    boxes_.Clear();
    TfrmSettings& window = Create();
    window.cmdMailTo->click();
    EXPECT_THAT(boxes_.Boxes(), ElementsAre(os::BoxRequest{kMailtoFailed, "Pelorin32",
                                                           os::BoxButtons::Ok, os::BoxIcon::None}));
    EXPECT_TRUE(SettingsOpen) << "the dialog stays open";
    delete frmSettings.data();
  }
  EXPECT_FALSE(fs::exists(environment_.Home() + "/.config/mimeapps.list"));
  ::chmod(locked.c_str(), 0755);
}

// ---- Registry errors -----------------------------------------------------------------

TEST_F(FrmSettingsTest, NonStringValueDuringCreationIsShownAndSkipsTheRestOfCreation) {
  UseFakeProvider();
  WriteCurrentUserHive(InternetMail("\"Sender Name\"=dword:00000001\r\n"));
  NeedsSetup = true;
  SmtpServer = "old.example";
  ShowSettingsForFirstRun();
  EXPECT_THAT(boxes_.Boxes(),
              ElementsAre(os::BoxRequest{"Invalid data type for 'Sender Name'.", "Pelorin32",
                                         os::BoxButtons::Ok, os::BoxIcon::Error}));
  ASSERT_TRUE(frmSettings);
  TfrmSettings& window = *frmSettings;
  EXPECT_TRUE(window.isVisible()) << "shown all the same";
  EXPECT_TRUE(SettingsOpen);
  EXPECT_EQ(CommandLineValue(), os::GetModuleFileName()) << "done before the failure";
  EXPECT_EQ(SmtpServer, "") << "cleared before the failure";
  EXPECT_EQ(window.lstEntries->count(), 0) << "entries not filled";
  EXPECT_EQ(window.cmdOk->toolTip(), QString()) << "hints not assigned";
  EXPECT_EQ(window.edsSMTP->text(), QStringLiteral("localhost")) << "designed text kept";
  EXPECT_EQ(window.edsPort->text(), QStringLiteral("25"));
}

}  // namespace
}  // namespace pelorin
