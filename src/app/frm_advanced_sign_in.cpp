// The advanced settings' sign-in group: the password or OAuth2 with one of the providers, the
// OAuth client ID and Microsoft's tenant, and "Sign in..." to sign in at once.
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/form_controls.h"
#include "app/frm_advanced.h"
#include "app/qstring_text.h"
#include "mail/mailto_link.h"
#include "os/msgbox.h"

namespace pelorin {
namespace {

using form::Place;
using form::PlaceLabel;

std::string SingleLineOf(const QLineEdit* edit) {
  return edit == nullptr ? std::string() : ToSingleLine(FromQString(edit->text()));
}

}  // namespace

void TfrmAdvanced::CreateSignInGroup() {
  GroupBox2 = Place<QGroupBox>(this, "GroupBox2", {5, 112, 282, 128});
  GroupBox2->setTitle(QStringLiteral("Sign-in"));
  Label4 = PlaceLabel(GroupBox2, "Label4", QStringLiteral("Sign in with"), {10, 22});
  edsSignIn = Place<QComboBox>(GroupBox2, "edsSignIn", {122, 18, 150, 21});
  edsSignIn->setEditable(false);
  for (std::string_view name : kSignInChoiceNames) edsSignIn->addItem(ToQString(std::string(name)));
  Label5 = PlaceLabel(GroupBox2, "Label5", QStringLiteral("OAuth client ID"), {10, 49});
  edsClientId = Place<QLineEdit>(GroupBox2, "edsClientId", {122, 45, 150, 21});
  Label6 = PlaceLabel(GroupBox2, "Label6", QStringLiteral("Microsoft tenant"), {10, 76});
  edsTenant = Place<QLineEdit>(GroupBox2, "edsTenant", {122, 72, 150, 21});
  edsTenant->setPlaceholderText(QStringLiteral("common"));
  cmdSignIn = Place<QPushButton>(GroupBox2, "cmdSignIn", {10, 99, 75, 23});
  cmdSignIn->setText(QStringLiteral("Sign &in..."));
  cmdSignIn->setAutoDefault(false);
  lblSignIn = Place<QLabel>(GroupBox2, "lblSignIn", {92, 103, 180, 15});
  Label4->setBuddy(edsSignIn);
  Label5->setBuddy(edsClientId);
  Label6->setBuddy(edsTenant);
}

void TfrmAdvanced::ConnectSignInEvents() {
  connect(edsSignIn, &QComboBox::activated, this, [this] { edsSignInChange(edsSignIn); });
  connect(cmdSignIn, &QPushButton::clicked, this, [this] { cmdSignInClick(cmdSignIn); });
  // A user name typed while "None" is shown means a password sign-in.
  connect(edsUserName, &QLineEdit::textEdited, this, [this] {
    if (edsSignIn->currentIndex() == static_cast<int>(SignInChoice::None)) {
      edsSignIn->setCurrentIndex(static_cast<int>(SignInChoice::Password));
      EnableSignInFields();
    }
  });
}

void TfrmAdvanced::AssignSignInHints() {
  edsSignIn->setToolTip(
      QStringLiteral("How you sign in to your Send Mail server: a password, or OAuth2 in your "
                     "browser, as Microsoft and Google want; OAuth2 needs STARTTLS or SSL/TLS."));
  edsClientId->setToolTip(
      QStringLiteral("The client ID registered for this program with your provider; empty to "
                     "use the one this program was built with."));
  edsTenant->setToolTip(
      QStringLiteral("Your organisation's Microsoft tenant (its domain or ID), empty for "
                     "\"common\"."));
  cmdSignIn->setToolTip(
      QStringLiteral("Opens your browser to sign in now and keeps the sign-in in your "
                     "keyring."));
}

void TfrmAdvanced::ShowSignIn(const SignInSettings& signIn) {
  edsSignIn->setCurrentIndex(static_cast<int>(signIn.choice));
  edsClientId->setText(ToQString(signIn.clientId));
  edsTenant->setText(ToQString(signIn.tenant));
  EnableSignInFields();
}

SignInSettings TfrmAdvanced::ChosenSignIn() const {
  return {static_cast<SignInChoice>(edsSignIn->currentIndex()), SingleLineOf(edsClientId),
          SingleLineOf(edsTenant)};
}

// The password belongs to the password sign-in alone, the client ID and the button to OAuth2,
// the tenant to Microsoft's.
void TfrmAdvanced::EnableSignInFields() {
  const SignInChoice choice = ChosenSignIn().choice;
  edsPassword->setEnabled(choice == SignInChoice::Password || choice == SignInChoice::None);
  edsClientId->setEnabled(UsesOAuth(choice));
  edsTenant->setEnabled(choice == SignInChoice::OAuthMicrosoft);
  cmdSignIn->setEnabled(UsesOAuth(choice) && !signingIn_);
}

// "None" leaves nobody to sign in: the user name and password go.
void TfrmAdvanced::edsSignInChange(QObject*) {
  if (ChosenSignIn().choice == SignInChoice::None) {
    edsUserName->clear();
    edsPassword->clear();
  }
  EnableSignInFields();
}

// Signs in as the user name, else the address in the settings, for the server named there.
void TfrmAdvanced::cmdSignInClick(QObject*) {
  std::string account = SingleLineOf(edsUserName);
  if (account.empty()) account = SingleLineOf(fields_.address);
  const std::optional<oauth::Client> client =
      OAuthClientFor(ChosenSignIn(), account, SingleLineOf(fields_.server));
  if (!client) return;
  std::string failure;
  if (!tokens_) tokens_ = oauth::MakeTokenSource(&failure);
  if (!tokens_) return SignInAnswered({oauth::TokenResult::Failed, {}, failure});
  signingIn_ = true;
  EnableSignInFields();
  lblSignIn->setText(QStringLiteral("Waiting for your browser..."));
  tokens_->SignIn(*client, [this](const oauth::TokenAnswer& answer) { SignInAnswered(answer); });
}

void TfrmAdvanced::SignInAnswered(const oauth::TokenAnswer& answer) {
  signingIn_ = false;
  EnableSignInFields();
  if (answer.result == oauth::TokenResult::Granted) {
    lblSignIn->setText(QStringLiteral("Signed in."));
    lblSignIn->setToolTip({});
    return;
  }
  const QString text = QStringLiteral("Not signed in: %1").arg(ToQString(answer.failure));
  lblSignIn->setText(
      QFontMetrics(lblSignIn->font()).elidedText(text, Qt::ElideRight, lblSignIn->width()));
  lblSignIn->setToolTip(text);
  os::OpenBox(os::MessageRequest(FromQString(text)), this, [](int) {});
}

}  // namespace pelorin
