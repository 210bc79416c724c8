#include "app/frm_advanced.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/form_controls.h"
#include "app/frm_main.h"
#include "app/password_source.h"
#include "app/port_proposal.h"
#include "app/qstring_text.h"
#include "app/security_settings.h"
#include "desktop/autostart.h"
#include "mail/mailto_link.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "os/registry_class.h"

namespace pelorin {
namespace {

using form::Place;
using form::PlaceLabel;

// The sign-in group lies between the security group and the autostart box.
constexpr int kSignInGroupHeight = 132;
const QSize kClientSize(292, 173 + kSignInGroupHeight);
constexpr const char* kNotSaved =
    "Unable to save the advanced settings: the program's registry file cannot be written.";

// In the order of SmtpSecurity.
const char* const kSecurityNames[] = {"None", "STARTTLS", "SSL/TLS"};

QPushButton* PlaceButton(QWidget* parent, const char* name, const char* caption,
                         const QRect& geometry) {
  auto* button = Place<QPushButton>(parent, name, geometry);
  button->setText(QString::fromLatin1(caption));
  button->setAutoDefault(false);
  return button;
}

std::string SingleLine(const QLineEdit* edit) {
  return ToSingleLine(FromQString(edit->text()));
}

}  // namespace

TfrmAdvanced::TfrmAdvanced(QWidget* owner, ServerFields fields) : QDialog(owner), fields_(fields) {
  SetUpWindow();
  CreateSecurityGroup();
  CreateSignInGroup();
  CreateAutostartAndButtons();
  SetTabOrder();
  CreateRetryChoices();
  ConnectEvents();
  FormCreate(this);
}

// Below the other choices: the buttons move down and the window grows by the room they take.
void TfrmAdvanced::CreateRetryChoices() {
  constexpr int kAdded = 44;
  const int top = chkAutostart->y() + 22;
  chkRetry = Place<QCheckBox>(this, "chkRetry", {10, top, 277, 17});
  chkRetry->setText(QStringLiteral("Try queued mail again by itself"));
  chkRetryDialup = Place<QCheckBox>(this, "chkRetryDialup", {26, top + 20, 261, 17});
  chkRetryDialup->setText(QStringLiteral("Dial up for those tries"));
  for (QPushButton* button : {cmdOk, cmdCancel}) button->move(button->x(), button->y() + kAdded);
  resize(width(), height() + kAdded);
  setTabOrder(chkAutostart, chkRetry);
  setTabOrder(chkRetry, chkRetryDialup);
  setTabOrder(chkRetryDialup, cmdOk);
  connect(chkRetry, &QCheckBox::toggled, chkRetryDialup, &QCheckBox::setEnabled);
  chkRetry->setToolTip(
      QStringLiteral("Sends mail that could not go out later by itself, without a new Send."));
  chkRetryDialup->setToolTip(
      QStringLiteral("Lets those tries dial your dial-up connection, when you send through one."));
}

void TfrmAdvanced::SetUpWindow() {
  setObjectName(QStringLiteral("frmAdvanced"));
  setWindowTitle(QStringLiteral("Advanced settings"));
  // As the settings dialog: a title bar without buttons or system menu.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowModality(Qt::WindowModal);
  setFont(form::ClassicFont());
  resize(kClientSize);
}

void TfrmAdvanced::CreateSecurityGroup() {
  GroupBox1 = Place<QGroupBox>(this, "GroupBox1", {5, 4, 282, 104});
  GroupBox1->setTitle(QStringLiteral("Server security"));
  Label1 = PlaceLabel(GroupBox1, "Label1", QStringLiteral("Connection security"), {10, 22});
  edsSecurity = Place<QComboBox>(GroupBox1, "edsSecurity", {122, 18, 150, 21});
  edsSecurity->setEditable(false);
  for (const char* name : kSecurityNames) edsSecurity->addItem(QString::fromLatin1(name));
  Label2 = PlaceLabel(GroupBox1, "Label2", QStringLiteral("User name"), {10, 49});
  edsUserName = Place<QLineEdit>(GroupBox1, "edsUserName", {122, 45, 150, 21});
  Label3 = PlaceLabel(GroupBox1, "Label3", QStringLiteral("Password"), {10, 76});
  edsPassword = Place<QLineEdit>(GroupBox1, "edsPassword", {122, 72, 150, 21});
  edsPassword->setEchoMode(QLineEdit::Password);
  Label1->setBuddy(edsSecurity);
  Label2->setBuddy(edsUserName);
  Label3->setBuddy(edsPassword);
}

void TfrmAdvanced::CreateAutostartAndButtons() {
  constexpr int kTop = kSignInGroupHeight;
  chkAutostart = Place<QCheckBox>(this, "chkAutostart", {10, kTop + 116, 277, 17});
  chkAutostart->setText(QStringLiteral("Start Pelorin 32 when I log in"));
  cmdOk = PlaceButton(this, "cmdOk", "&Ok", {130, kTop + 142, 75, 25});
  cmdCancel = PlaceButton(this, "cmdCancel", "&Cancel", {212, kTop + 142, 75, 25});
}

void TfrmAdvanced::SetTabOrder() {
  QWidget* const order[] = {edsSecurity, edsUserName, edsPassword,  edsSignIn, edsClientId,
                            edsTenant,   cmdSignIn,   chkAutostart, cmdOk,     cmdCancel};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
  edsSecurity->setFocus();
}

void TfrmAdvanced::ConnectEvents() {
  connect(cmdOk, &QPushButton::clicked, this, [this] { cmdOkClick(cmdOk); });
  connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancelClick(cmdCancel); });
  connect(edsSecurity, &QComboBox::activated, this, [this] { edsSecurityChange(edsSecurity); });
  ConnectSignInEvents();
}

void TfrmAdvanced::FormCreate(QObject*) {
  if (*fields_.chosen) {
    ShowChoices(**fields_.chosen);
  } else {
    const SecuritySettings stored = ReadSecuritySettingsFilledFrom(*fields_.imported);
    ShowChoices({stored.security,
                 stored.userName,
                 {},
                 os::AutostartEntryExists(),
                 ReadSignInSettingsProposed(stored.userName, fields_.imported->signIn),
                 ReadRetrySettings()});
  }
  portAtOpening_ = fields_.port->text();
  proposedAtOpening_ = *fields_.proposedPort;
  AssignHints();
}

// The password is never shown again.
void TfrmAdvanced::ShowChoices(const AdvancedChoices& choices) {
  edsSecurity->setCurrentIndex(static_cast<int>(choices.security));
  edsUserName->setText(ToQString(choices.userName));
  chkAutostart->setChecked(choices.autostart);
  ShowSignIn(choices.signIn);
  chkRetry->setChecked(choices.retry.retry);
  chkRetryDialup->setChecked(choices.retry.dial);
  chkRetryDialup->setEnabled(choices.retry.retry);
}

void TfrmAdvanced::AssignHints() {
  edsSecurity->setToolTip(
      QStringLiteral("How the connection to your Send Mail server is secured, as your mail "
                     "provider tells you."));
  edsUserName->setToolTip(
      QStringLiteral("The user name your Send Mail server asks for, empty if it asks for "
                     "none."));
  edsPassword->setToolTip(
      QStringLiteral("The password for that user name, kept in your desktop's keyring and "
                     "never in a file."));
  chkAutostart->setToolTip(
      QStringLiteral("Puts Pelorin in your notification area each time you log in."));
  cmdCancel->setToolTip(QStringLiteral("Closes this dialog and cancels all the changes."));
  cmdOk->setToolTip(QStringLiteral("Closes this dialog and saves all changes you've made."));
  AssignSignInHints();
}

void TfrmAdvanced::edsSecurityChange(QObject*) {
  const auto chosen = static_cast<SmtpSecurity>(edsSecurity->currentIndex());
  const PortField now{FromQString(fields_.port->text()), *fields_.proposedPort};
  const PortField next = ProposePort(now, chosen);
  if (next.text != now.text) fields_.port->setText(ToQString(next.text));
  *fields_.proposedPort = next.proposed;
}

// An empty password field keeps the password given before, if any: the keyring's is then
// kept, or it is asked for at the first send.
void TfrmAdvanced::cmdOkClick(QObject*) {
  AdvancedChoices choices;
  choices.security = static_cast<SmtpSecurity>(edsSecurity->currentIndex());
  choices.userName = SingleLine(edsUserName);
  choices.password = FromQString(edsPassword->text());
  if (choices.password.empty() && *fields_.chosen) choices.password = (*fields_.chosen)->password;
  choices.autostart = chkAutostart->isChecked();
  choices.signIn = ChosenSignIn();
  choices.retry = {chkRetry->isChecked(), chkRetryDialup->isChecked()};
  *fields_.chosen = std::move(choices);
  CloseAndRelease();
}

namespace {

void SaveSecurity(const AdvancedChoices& chosen) {
  try {
    if (!WriteSecuritySettings({chosen.security, chosen.userName}) ||
        !WriteSignInSettings(chosen.signIn) || !WriteRetrySettings(chosen.retry)) {
      os::ShowMessage(kNotSaved);
    }
  } catch (const os::RegistryError& error) {
    os::ShowErrorBox(error.what());
  }
}

void ApplyAutostart(bool wanted) {
  std::string failure;
  if (wanted) {
    failure = os::WriteAutostartEntry(os::GetModuleFileName());
  } else if (os::AutostartEntryExists()) {
    failure = os::RemoveAutostartEntry();
  }
  if (!failure.empty()) os::ShowErrorBox(failure);
}

}  // namespace

void SaveAdvancedChoices(const AdvancedChoices& chosen, const std::string& server) {
  SaveSecurity(chosen);
  if (!UsesOAuth(chosen.signIn.choice) && !chosen.userName.empty() && !chosen.password.empty()) {
    SavePassword(server, chosen.userName, chosen.password);
  }
  ApplyAutostart(chosen.autostart);
  if (frmMain != nullptr) frmMain->ApplyRetrySetting();  // starts or stops the tries at once
}

void TfrmAdvanced::cmdCancelClick(QObject*) {
  fields_.port->setText(portAtOpening_);
  *fields_.proposedPort = proposedAtOpening_;
  CloseAndRelease();
}

void TfrmAdvanced::reject() {
  if (!closed_) cmdCancelClick(this);
}

// Destroyed once the events already queued for it have been handled.
void TfrmAdvanced::CloseAndRelease() {
  closed_ = true;
  QDialog::reject();  // hides it and ends its modality
  deleteLater();
}

}  // namespace pelorin
