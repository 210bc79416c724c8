// The advanced settings, opened from the settings dialog: how the connection to the server is
// secured, the user name and password it asks for, and whether the program starts when the
// user logs in. OK hands the choices to the settings dialog, whose own OK saves them with the
// server they belong to (security and user name under the program's registry key, the
// password in the keyring, the autostart entry); Cancel drops them, the port proposed
// meanwhile included. Either releases the dialog.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "app/retry_settings.h"
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

  // Escape and the window's close act as Cancel.
  void reject() override;

 private:
  void SetUpWindow();
  void CreateSecurityGroup();
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
};

}  // namespace pelorin
