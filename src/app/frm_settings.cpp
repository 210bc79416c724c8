#include "app/frm_settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include "app/combo_drop_down_list.h"
#include "app/configuration.h"
#include "app/form_controls.h"
#include "app/globals.h"
#include "app/mail_client_import.h"
#include "app/qstring_text.h"
#include "app/security_settings.h"
#include "app/sign_in_settings.h"
#include "desktop/mailto_association.h"
#include "mail/mailto_link.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "os/registry_class.h"
#include "platform/dialup.h"

namespace pelorin {

bool SettingsOpen = false;
QPointer<TfrmSettings> frmSettings;

namespace {

using form::Place;
using form::PlaceLabel;

// Outer position and size, frame included.
const QRect kDesignedGeometry(261, 163, 344, 230);
const QString kWindowIcon = QStringLiteral(":/pelorin/settings32.ico");
constexpr const char* kMailtoFailed = "Unable to set Pelorin to default program.";

// A stored entry longer than the phone book's names may be selects nothing, so that OK
// replaces it with none rather than keep a name that no dial would accept.
std::optional<std::string> WantedEntry() {
  if (DialEntry.size() > os::RAS_MaxEntryName) return std::nullopt;
  return DialEntry;
}

QPushButton* PlaceButton(QWidget* parent, const char* name, const char* caption,
                         const QRect& geometry) {
  auto* button = Place<QPushButton>(parent, name, geometry);
  button->setText(QString::fromLatin1(caption));
  return button;
}

QWidget* AddPage(QTabWidget* pages, const char* name, const char* caption) {
  auto* page = new QWidget(pages);
  page->setObjectName(QString::fromLatin1(name));
  pages->addTab(page, QString::fromLatin1(caption));
  return page;
}

}  // namespace

TfrmSettings::TfrmSettings(QWidget* owner) : QWidget(owner, Qt::Window) {
  SetUpWindow();
  CreateBasicPage();
  CreateDialUpPage();
  CreateButtons();
  SetTabOrder();
  ConnectEvents();
  SetUpAddressLookup();
  FormCreate(this);
  // An address the first run's import found without a server is looked up at once.
  if (NeedsSetup && edsSMTP->text().isEmpty()) LookUpAddress();
}

void TfrmSettings::SetUpWindow() {
  setObjectName(QStringLiteral("frmSettings"));
  setWindowTitle(QStringLiteral("Settings"));
  // A title bar without buttons or system menu; the frame stays resizable.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowIcon(QIcon(kWindowIcon));
  setFont(form::ClassicFont());
  form::SetOuterGeometry(this, kDesignedGeometry);
  PageControl1 = Place<QTabWidget>(this, "PageControl1", {5, 4, 328, 165});
}

void TfrmSettings::CreateBasicPage() {
  TabSheet1 = AddPage(PageControl1, "TabSheet1", "Basic settings");
  Label1 = PlaceLabel(TabSheet1, "Label1", QStringLiteral("User Info"), {5, 5});
  form::MakeBoldBlack(Label1);
  cmdMailTo = PlaceButton(TabSheet1, "cmdMailTo", "MailTo", {239, 4, 75, 25});
  Label4 = PlaceLabel(TabSheet1, "Label4", QStringLiteral("Your main e-mail address"), {15, 24});
  edsEmail = Place<QLineEdit>(TabSheet1, "edsEmail", {13, 40, 300, 21});
  Label2 = PlaceLabel(TabSheet1, "Label2", QStringLiteral("Server"), {5, 73});
  form::MakeBoldBlack(Label2);
  Label5 = PlaceLabel(TabSheet1, "Label5", QStringLiteral("SMTP "), {15, 92});
  Label3 = PlaceLabel(TabSheet1, "Label3", QStringLiteral("Port nr"), {271, 92});
  edsSMTP = Place<QLineEdit>(TabSheet1, "edsSMTP", {15, 107, 246, 21});
  edsSMTP->setText(ToQString(DefaultSmtpServer));
  edsPort = Place<QLineEdit>(TabSheet1, "edsPort", {268, 107, 45, 21});
  edsPort->setText(QStringLiteral("25"));
}

void TfrmSettings::CreateDialUpPage() {
  TabSheet2 = AddPage(PageControl1, "TabSheet2", "Dial Up");
  Label27 = PlaceLabel(TabSheet2, "Label27", QStringLiteral("Dial up"), {5, 5});
  form::MakeBoldBlack(Label27);
  chkDialup = Place<QCheckBox>(TabSheet2, "chkDialup", {15, 28, 300, 17});
  chkDialup->setText(QStringLiteral("&Use dialup connection"));
  Label29 = PlaceLabel(TabSheet2, "Label29", QStringLiteral("Use this dialup entry"), {15, 52});
  // Pick only, never type.
  lstEntries = Place<QComboBox>(TabSheet2, "lstEntries", {15, 68, 186, 21});
  lstEntries->setEditable(false);
  PageControl1->setCurrentWidget(TabSheet1);
}

void TfrmSettings::CreateButtons() {
  cmdOk = PlaceButton(this, "cmdOk", "&Ok", {174, 173, 75, 25});
  cmdCancel = PlaceButton(this, "cmdCancel", "&Cancel", {256, 173, 75, 25});
  cmdAdvanced = PlaceButton(this, "cmdAdvanced", "&Advanced...", {92, 173, 75, 25});
}

// The designer's tab order counts within each parent: the dialog's buttons, then the pages;
// the later Advanced button comes last.
void TfrmSettings::SetTabOrder() {
  QWidget* const order[] = {cmdOk,   cmdCancel, PageControl1, cmdMailTo,  edsEmail,
                            edsSMTP, edsPort,   chkDialup,    lstEntries, cmdAdvanced};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
  cmdOk->setFocus();
}

void TfrmSettings::ConnectEvents() {
  connect(cmdOk, &QPushButton::clicked, this, [this] { cmdOkClick(cmdOk); });
  connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancelClick(cmdCancel); });
  connect(cmdMailTo, &QPushButton::clicked, this, [this] { cmdMailToClick(cmdMailTo); });
  connect(cmdAdvanced, &QPushButton::clicked, this, [this] { cmdAdvancedClick(cmdAdvanced); });
  connect(lstEntries, &QComboBox::activated, this, [this] { lstEntriesClick(lstEntries); });
}

void TfrmSettings::FormCreate(QObject*) {
  SettingsOpen = true;
  // A registry failure ends creation where it happens; the dialog is shown all the same.
  try {
    RecordProgramPath();
    if (NeedsSetup) ImportDefaults();
    ComboBoxList entries(*lstEntries);
    FillRasEntries(entries, WantedEntry());
    EnableDialupByEntry();
    AssignHints();
    FillFields();
  } catch (const os::RegistryError& error) {
    os::ShowErrorBox(error.what());
  }
}

// The security and the user name that came with an imported server go to the advanced
// settings, where those are still empty, once OK is pressed.
void TfrmSettings::ImportDefaults() {
  imported_ = ImportMailClientDefaults();
}

void TfrmSettings::AssignHints() {
  cmdMailTo->setToolTip(QStringLiteral("Sets Pelorin as your default e-mail program."));
  chkDialup->setToolTip(
      QStringLiteral("If you want to use the dial up function. If so Vantrel dials up your ISP "
                     "every x minutes and checks for new mail."));
  lstEntries->setToolTip(
      QStringLiteral("Your RAS entries. If you want to add, edit or delete an entry, do it in "
                     "your Dial Up Networking settings."));
  edsEmail->setToolTip(QStringLiteral("The e-mail address that you want the reply to."));
  edsSMTP->setToolTip(QStringLiteral("The IP or domain address to your Send Mail server."));
  edsPort->setToolTip(
      QStringLiteral("The port number your SMTP server listens on. 25 is default."));
  cmdCancel->setToolTip(QStringLiteral("Closes this dialog and cancels all the changes."));
  cmdOk->setToolTip(QStringLiteral("Closes this dialog and saves all changes you've made."));
  cmdAdvanced->setToolTip(
      QStringLiteral("Sets how Pelorin signs in to your Send Mail server and whether it starts "
                     "when you log in."));
}

void TfrmSettings::FillFields() {
  edsSMTP->setText(ToQString(SmtpServer));
  edsEmail->setText(ToQString(SenderAddress));
  edsPort->setText(ToQString(SmtpPort));
  chkDialup->setChecked(UseDialup);
}

void TfrmSettings::EnableDialupByEntry() {
  chkDialup->setEnabled(lstEntries->currentIndex() >= 0);
}

void TfrmSettings::cmdOkClick(QObject*) {
  // As typed, except that a pasted line break is kept as the blank the file will hold.
  SmtpPort = ToSingleLine(FromQString(edsPort->text()));
  SmtpServer = ToSingleLine(FromQString(edsSMTP->text()));
  SenderAddress = ToSingleLine(FromQString(edsEmail->text()));
  DialEntry = lstEntries->currentIndex() >= 0 ? FromQString(lstEntries->currentText()) : "";
  UseDialup = chkDialup->isChecked();
  SettingsOpen = false;
  CloseAndRelease();
  SaveConfiguration();  // reports its own failure
  SaveAdvanced();
}

// Only now is the server known that the password and the trusted certificate belong to.
void TfrmSettings::SaveAdvanced() {
  try {
    DropTrustedCertificateUnlessFor(SmtpServer, SmtpPort);
    if (!chosen_) FillEmptySecuritySettings(imported_);
    if (!chosen_) FillEmptySignIn(imported_.signIn);
  } catch (const os::RegistryError& error) {
    os::ShowErrorBox(error.what());
  }
  if (chosen_) SaveAdvancedChoices(*chosen_, SmtpServer);
}

void TfrmSettings::cmdCancelClick(QObject*) {
  SettingsOpen = false;
  CloseAndRelease();
}

void TfrmSettings::lstEntriesClick(QObject*) {
  EnableDialupByEntry();
}

void TfrmSettings::cmdMailToClick(QObject*) {
  try {
    os::Registry registry;
    registry.SetRootKey(os::HKEY_LOCAL_MACHINE);
    if (!registry.OpenKey(os::kMailtoCommandKey, false)) {
      os::ShowMessage(kMailtoFailed);
      return;
    }
    registry.WriteString("", os::GetModuleFileName() + " /u %1 %2");
  } catch (const os::RegistryError& error) {
    os::ShowErrorBox(error.what());
  }
}

void TfrmSettings::cmdAdvancedClick(QObject*) {
  // One closed a moment ago may still wait for its release.
  if (!frmAdvanced || !frmAdvanced->isVisible()) {
    frmAdvanced =
        new TfrmAdvanced(this, {edsPort, &proposedPort_, &chosen_, &imported_, edsSMTP, edsEmail});
  }
  frmAdvanced->show();
  frmAdvanced->raise();
  frmAdvanced->activateWindow();
}

// Destroyed once the events already queued for it have been handled.
void TfrmSettings::CloseAndRelease() {
  lookup_.reset();
  close();
  deleteLater();
}

}  // namespace pelorin
