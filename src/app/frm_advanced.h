// The advanced settings, opened from the settings dialog: how the connection to the server is
// secured, the user name and password it asks for or OAuth2 sign-in instead, and whether the
// program starts when the user logs in. OK hands the choices to the settings dialog, whose own OK
// saves them with the server they belong to (security and user name under the program's registry
// key, the password in the keyring, the autostart entry); Cancel drops them, the port proposed
// meanwhile included. Either releases the dialog.
#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <string>

#include "app/retry_settings.h"
#include "app/sign_in_settings.h"
#include "desktop/oauth_token_source.h"
#include "setup/mail_setup.h"
#include "transport/smtp_session.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace pelorin {

// What OK here chose, kept by the settings dialog until its own OK or Cancel.
struct AdvancedChoices {
  SmtpSecurity security = SmtpSecurity::None;
  std::string userName;
  std::string password;  // empty: the keyring keeps what it has
  bool autostart = false;
  SignInSettings signIn;
  RetrySettings retry;
};

// Saves `chosen`, the password for `server`; what cannot be saved is reported in a box.
void SaveAdvancedChoices(const AdvancedChoices& chosen, const std::string& server);

// What of the settings dialog this dialog reads and writes: the port takes the port that a
// security choice proposes, and `proposedPort` remembers what was proposed (see
// port_proposal.h); `chosen` takes what OK chose; `imported` is what the first run's import
// found, shown where the stored security and user name are empty.
struct ServerFields {
  QLineEdit* port = nullptr;
  std::string* proposedPort = nullptr;
  std::optional<AdvancedChoices>* chosen = nullptr;
  const MailSetup* imported = nullptr;
  // The server and the address, for "Sign in..." (may be null: signing in then names none).
  const QLineEdit* server = nullptr;
  const QLineEdit* address = nullptr;
};

class TfrmAdvanced : public QDialog {
  Q_OBJECT
 public:
  // Modal for `owner`'s window; the fields belong to `owner` and outlive the dialog.
  TfrmAdvanced(QWidget* owner, ServerFields fields);

  QGroupBox* GroupBox1;
  QLabel* Label1;
  QComboBox* edsSecurity;
  QLabel* Label2;
  QLineEdit* edsUserName;
  QLabel* Label3;
  QLineEdit* edsPassword;
  QGroupBox* GroupBox2;
  QLabel* Label4;
  QComboBox* edsSignIn;
  QLabel* Label5;
  QLineEdit* edsClientId;
  QLabel* Label6;
  QLineEdit* edsTenant;
  QPushButton* cmdSignIn;
  QLabel* lblSignIn;
  QCheckBox* chkAutostart;
  // Queued mail tried again by itself, and whether such a try may dial up.
  QCheckBox* chkRetry;
  QCheckBox* chkRetryDialup;
  QPushButton* cmdOk;
  QPushButton* cmdCancel;

  void FormCreate(QObject* Sender);
  void cmdOkClick(QObject* Sender);
  void cmdCancelClick(QObject* Sender);
  void edsSecurityChange(QObject* Sender);
  void edsSignInChange(QObject* Sender);
  void cmdSignInClick(QObject* Sender);

  // Escape and the window's close act as Cancel.
  void reject() override;

 private:
  void SetUpWindow();
  void CreateSecurityGroup();
  // The sign-in group (frm_advanced_sign_in.cpp).
  void CreateSignInGroup();
  void ConnectSignInEvents();
  void AssignSignInHints();
  void ShowSignIn(const SignInSettings& signIn);
  SignInSettings ChosenSignIn() const;
  void EnableSignInFields();
  void SignInAnswered(const oauth::TokenAnswer& answer);
  void CreateAutostartAndButtons();
  void CreateRetryChoices();
  void SetTabOrder();
  void ConnectEvents();
  void AssignHints();
  void ShowChoices(const AdvancedChoices& choices);
  void CloseAndRelease();

  ServerFields fields_;
  // The port field as it was when the dialog opened, for Cancel.
  QString portAtOpening_;
  std::string proposedAtOpening_;
  bool closed_ = false;
  // Made at the first "Sign in..." and kept while the dialog is open.
  std::unique_ptr<oauth::TokenSource> tokens_;
  bool signingIn_ = false;  // a sign-in is under way: the button waits for its answer
};

}  // namespace pelorin
