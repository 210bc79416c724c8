// The advanced settings, opened from the settings dialog: how the connection to the server is
// secured, the user name and password it asks for, and whether the program starts when the
// user logs in. OK writes the security and the user name under the program's registry key,
// gives the password to the keyring and applies the autostart choice; Cancel drops all of it,
// the port proposed meanwhile included. Either releases the dialog.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace pelorin {

// The settings dialog's fields that this dialog reads and proposes into: the server names the
// keyring entry of the password; the port takes the port that a security choice proposes,
// and `proposedPort` remembers what was proposed (see port_proposal.h).
struct ServerFields {
  QLineEdit* server = nullptr;
  QLineEdit* port = nullptr;
  std::string* proposedPort = nullptr;
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
  void SetTabOrder();
  void ConnectEvents();
  void AssignHints();
  void SaveSecurity();
  void SavePasswordGiven();
  void ApplyAutostart();
  void CloseAndRelease();

  ServerFields fields_;
  // The port field as it was when the dialog opened, for Cancel.
  QString portAtOpening_;
  std::string proposedAtOpening_;
  bool closed_ = false;
};

}  // namespace pelorin
