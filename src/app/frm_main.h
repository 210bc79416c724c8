// The quick-send window: a recipient picked from the address book or typed, the address, a
// subject and a body, four buttons and a one-line status label. In tray mode it hides behind
// the notification-area icon; in link mode it is shown pre-filled from a mailto: link.
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/send_workflow.h"
#include "mail/attachment_list.h"
#include "platform/task_icon.h"

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace pelorin {

class TSockets;

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

  // Files attached to the message (frm_main_attach.cpp): a row under the status line, shown
  // only while something is attached; the window grows by it then.
  QLabel* lblAttachments;
  QListWidget* lstAttachments;
  QAction* Attach1;
  // Attaches the files; those that cannot be are named in one box, `introduction` first.
  void AttachFiles(const std::vector<std::string>& paths, const std::string& introduction = {});
  // The "Attach..." command: a file dialog.
  void Attach1Click(QObject* Sender);

  // The send workflow behind the Send button: the outbox, the conversation, the time-out.
  SendWorkflow& Workflow() { return *workflow_; }

  // True when the window stands in for a notification-area icon that could not be shown:
  // it then has a taskbar entry and "&Close" ends the program, as in link mode.
  bool ShownWithoutTrayIcon() const { return shownWithoutTrayIcon_; }

 signals:
  // The status label has been given `text`.
  void StatusShown(const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void CreateControls();
  void CreateComponents();
  void ConnectEvents();
  void AssignHints();
  void ShowInTray();
  void ShowWithoutTrayIcon();
  void PrefillFromLink();
  void SetStatus(const QString& text);
  void FitLabelsToText();
  bool EndsProgramOnClose() const;

  // Attachments (frm_main_attach.cpp).
  void CreateAttachmentControls();
  void AttachFromLink(const std::string& link);
  void ShowAttachments();
  void RemoveSelectedAttachment();
  void ShowMemoMenu(const QPoint& at);

  // Composing and the outcome of a send (frm_main_send.cpp).
  std::vector<std::string> MemoLines() const;
  std::string SelectedName() const;
  DraftFields CurrentDraft() const;
  bool FieldsHoldQueuedDraft() const;
  bool FieldsHoldNoDraft() const;
  bool QueueFieldsMessage();
  SendSettings SettingsForSend() const;
  void StartSend(const SendSettings& settings);
  void ShowQueuedCount();
  void SendEnded(const SendReport& report);
  QString OutcomeText(const SendReport& report) const;
  QString RecoverRefused(const std::vector<OutboxMessage>& refused);
  void PutIntoFields(const DraftFields& draft);
  void ClearSubjectAndBody();

  bool shownWithoutTrayIcon_ = false;
  bool endingProgram_ = false;  // the pop-up menu's "&Close" ends the program in any mode

  SendWorkflow* workflow_;
  // The message last queued from the fields, and the fields as they were then: while they
  // still hold it, Send does not queue it again, and the end of the send may empty them.
  std::uint64_t fieldsMessage_ = 0;
  std::optional<DraftFields> queuedDraft_;
  AttachmentList attachments_;
  std::vector<AttachedFile> queuedFiles_;  // the files of the message last queued
  QString progressStatus_;
  // The settings of the send last started, without its password.
  SendSettings startedWith_;
};

// The main window while it exists; already valid while its constructor runs.
extern TfrmMain* frmMain;

}  // namespace pelorin
