// The quick-send window: a recipient picked from the address book or typed, the address, a
// subject and a body, four buttons and a one-line status label. In tray mode it hides behind
// the notification-area icon; in link mode it is shown pre-filled from a mailto: link.
#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/outbox_ledger.h"
#include "platform/task_icon.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace pelorin {

class TSockets;
class SendWorkerLink;

class TfrmMain : public QWidget {
  Q_OBJECT
 public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  // Rebuilds the drop-down list from NameList and empties the four input fields.
  void RefreshNameList();

  // Components, in declaration order.
  QPushButton* cmdMake;
  QLineEdit* edsEmail;
  QLabel* Label4;
  QPlainTextEdit* edsMemo;
  TSockets* Sockets1;
  QLabel* Label1;
  QLabel* Label2;
  QLineEdit* edsSubj;
  QLabel* Label3;
  TTaskIcon* TaskIcon;
  QComboBox* edsName;
  QPushButton* cmdAdd;
  QPushButton* cmdDel;
  QPushButton* cmdMin;
  QLabel* lblStatus;
  QMenu* PopupMenu1;
  QAction* Close1;
  QAction* Properties1;
  QAction* N1;
  QAction* ShowTessaly1;
  QAction* AboutSkelmar1;
  QTimer* Timer1;

  // Event handlers.
  void cmdMakeClick(QObject* Sender);
  void FormCreate(QObject* Sender);
  void TaskIconClick(QObject* Sender);
  void Close1Click(QObject* Sender);
  void cmdMinClick(QObject* Sender);
  void edsNameChange(QObject* Sender);
  void edsMemoChange(QObject* Sender);
  void edsSubjChange(QObject* Sender);
  void edsEmailChange(QObject* Sender);
  void cmdAddClick(QObject* Sender);
  void edsNameClick(QObject* Sender);
  void cmdDelClick(QObject* Sender);
  void ShowTessaly1Click(QObject* Sender);
  void Properties1Click(QObject* Sender);
  void TaskIconRightClick(QObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  void AboutSkelmar1Click(QObject* Sender);
  void DataAvailable(TSockets* Sender, int Socket);
  void ErrorOccurred(TSockets* Sender, int Socket, int Error, const std::string& Msg);
  void Sockets1SessionClosed(TSockets* Sender, int Socket);
  void Timer1Timer(QObject* Sender);

  // True when the window stands in for a notification-area icon that could not be shown:
  // it then has a taskbar entry and "&Close" ends the program, as in link mode.
  bool ShownWithoutTrayIcon() const { return shownWithoutTrayIcon_; }

 signals:
  // The status label has been given `text`.
  void StatusShown(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool MayLoseQueuedMail() const;

 private:
  void CreateControls();
  void CreateComponents();
  void ConnectEvents();
  void AssignHints();
  void ShowInTray();
  void ShowWithoutTrayIcon();
  void PrefillFromLink();
  void SetStatus(const QString& text);
  bool EndsProgramOnClose() const;

  // The send workflow (frm_main_send.cpp).
  // The settings a send uses, copied when Send is pressed: the worker never reads the globals.
  struct SendSettings {
    std::string server;
    std::string port;
    std::string dialEntry;
    bool useDialup = false;
  };
  enum class SendPhase { Idle, Preparing, Conversing };

  void CreateWorkerLink();
  void ForgetWorkerLink();
  static void SendThread(SendSettings settings, std::shared_ptr<SendWorkerLink> link,
                         unsigned generation);
  void FinishSend();
  std::vector<std::string> MemoLines() const;
  std::string SelectedName() const;
  bool QueuedMessageRidesAlong() const;
  void StartSend();
  void SetProgress(const QString& text);
  void DialRefused(unsigned generation, const std::string& text);
  void BeginConversation(unsigned generation);
  void SessionStartReturned(unsigned generation, const std::string& failure);
  void NoteFailure(const std::string& why);
  void AfterSessionStep();
  void ObserveOutbox();
  void EndSend();
  void ReportSendOutcome();
  std::string FailureReason() const;
  void ClearSubjectAndBody();

  bool shownWithoutTrayIcon_ = false;

  SendPhase sendPhase_ = SendPhase::Idle;
  unsigned sendGeneration_ = 0;  // tells the posts of an earlier worker apart
  bool sessionStartReturned_ = false;
  // The time-out ran out while the worker was still connecting: it is handled once the
  // worker is out of the socket component.
  bool timeOutWhileStarting_ = false;
  bool sendAgain_ = false;  // a message came after QUIT: a new conversation follows
  SendSettings sendSettings_;
  OutboxLedger ledger_;
  OutboxLedger::Ticket fieldsMessage_ = 0;  // the message composed from the fields last
  int refusedBeforeSend_ = 0;
  std::string sendFailure_;
  QString progressStatus_;
  std::shared_ptr<SendWorkerLink> workerLink_;
};

// The main window while it exists; already valid while its constructor runs.
extern TfrmMain* frmMain;

}  // namespace pelorin
