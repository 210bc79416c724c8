// The settings dialog: the user's own address, the SMTP server and port, and whether and what
// to dial before sending. OK stores the fields in the globals and rewrites the configuration
// file; Cancel drops them. Either releases the dialog. Its MailTo button makes the program the
// desktop's handler for mailto: links; its Advanced button opens the advanced settings
// (connection security, sign-in, autostart), which are saved with OK too, as is what the first
// run's import found for them. Once an address is typed it looks up the server, port,
// security and sign-in method for it, fills in what is still empty and says what it found.
#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "app/frm_advanced.h"
#include "setup/address_lookup.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTimer;

namespace pelorin {

class TfrmSettings : public QWidget {
  Q_OBJECT
 public:
  // Without an owner the dialog is a window of its own; with one it stays above its owner and
  // goes with it. Creation (FormCreate) may change the globals; the caller then shows it.
  explicit TfrmSettings(QWidget* owner = nullptr);

  // Controls, by the names of the designer.
  QTabWidget* PageControl1;
  QWidget* TabSheet1;
  QLabel* Label1;
  QPushButton* cmdMailTo;
  QLabel* Label4;
  QLineEdit* edsEmail;
  QLabel* Label2;
  QLabel* Label5;
  QLabel* Label3;
  QLineEdit* edsSMTP;
  QLineEdit* edsPort;
  QWidget* TabSheet2;
  QLabel* Label27;
  QCheckBox* chkDialup;
  QLabel* Label29;
  QComboBox* lstEntries;
  QPushButton* cmdOk;
  QPushButton* cmdCancel;
  QPushButton* cmdAdvanced;
  // What the look-up from the address found, right of the "Server" heading.
  QLabel* lblLookup;

  // The advanced settings while they are open.
  QPointer<TfrmAdvanced> frmAdvanced;

  // Event handlers.
  void FormCreate(QObject* Sender);
  void cmdOkClick(QObject* Sender);
  void cmdCancelClick(QObject* Sender);
  void lstEntriesClick(QObject* Sender);
  void cmdMailToClick(QObject* Sender);
  void cmdAdvancedClick(QObject* Sender);
  void edsEmailChange(QObject* Sender);
  void edsEmailExit(QObject* Sender);

 private:
  void SetUpWindow();
  void CreateBasicPage();
  void CreateDialUpPage();
  void CreateButtons();
  void SetTabOrder();
  void ConnectEvents();
  void AssignHints();
  void FillFields();
  void EnableDialupByEntry();
  void ImportDefaults();
  void SaveAdvanced();
  void CloseAndRelease();
  void SetUpAddressLookup();
  void LookUpAddress();
  void ShowLookupOutcome(const setup::LookupOutcome& outcome);
  QStringList FillEmptyFields(const setup::FoundServer& found, bool& securityKept);
  bool ProposeSignIn(const setup::FoundServer& found);
  std::string UsersSecurity() const;
  void ShowLookupText(const QString& text, const QString& details);

  // The port that the advanced settings last proposed into edsPort; empty for none.
  std::string proposedPort_;
  // What the advanced settings' OK chose, and what the first run's import found.
  std::optional<AdvancedChoices> chosen_;
  MailSetup imported_;

  // The look-up from the address: started after a pause in typing or when the field is left,
  // once per domain; what it filled in, so that a later look-up may replace that but nothing
  // the user typed.
  QTimer* lookupPause_ = nullptr;
  std::unique_ptr<setup::AddressLookup> lookup_;
  std::string lookedUpDomain_;
  struct LookupFill {
    QString server, port;
    std::string security;
  } lookupFill_;
};

// True from the creation of a settings dialog until it is closed with OK or Cancel.
extern bool SettingsOpen;
// The current settings dialog; null once it has been released.
extern QPointer<TfrmSettings> frmSettings;

}  // namespace pelorin
