// The quick-send window: a recipient picked from the address book or typed, the address, a
// subject and a body, four buttons and a one-line status label. In tray mode it hides behind
// the notification-area icon; in link mode it is shown pre-filled from a mailto: link.
#pragma once

#include <QDateTime>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/draft_keeper.h"
#include "app/frm_outbox.h"
#include "app/retry_scheduler.h"
#include "app/send_controller.h"
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

  // The outbox window (frm_main_outbox.cpp): "&Outbox..." in the tray's menu, and a click on
  // the status line while mail is queued, open it; one at a time, made when first asked for.
  QAction* Outbox1;
  void Outbox1Click(QObject* Sender);
  TfrmOutbox* OutboxWindow() const { return frmOutbox_.data(); }
  // When queued mail is tried next, for the outbox window, in place of the automatic tries'
  // own answer (which is none while they are off: then at the next send).
  std::function<std::optional<QDateTime>()> NextTry;
  // The fields hold no message of their own: no subject, body or file (an address alone is
  // what a send leaves there).
  bool FieldsEmpty() const;
  // Sends what is queued, as Send does when the fields hold nothing new.
  void SendQueued();
  // Keeps what is typed as the draft in `store`, and takes in a draft that a copy left when it
  // ended. Without it, nothing typed is kept.
  void KeepDraftsIn(std::unique_ptr<DraftStore> store);
  // True when the fields hold a text (subject, body or files) that is not queued: putting other
  // text into them would lose it.
  bool HoldsDraft() const;

  // True when the window stands in for a notification-area icon that could not be shown:
  // it then has a taskbar entry and "&Close" ends the program, as in link mode.
  bool ShownWithoutTrayIcon() const { return shownWithoutTrayIcon_; }

  // Queued mail tried again by itself (frm_main_retry.cpp): started or stopped by the setting,
  // in tray mode only. Retry() is null while it is off; its NextTry and TryNow serve the
  // outbox window.
  void ApplyRetrySetting();
  RetryScheduler* Retry() { return retry_; }

 signals:
  // The status label has been given `text`.
  void StatusShown(const QString& text);
  // The user clicked a notice about mail refused while nobody was sending: the outbox window
  // is wanted.
  void OutboxWanted();

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
  // Drafts (frm_main_draft.cpp).
  void ConnectDraftEvents();
  void FieldsEdited();
  void TakeInLeftDraft();
  DraftFields WithLinkFields(DraftFields draft) const;
  bool FitsTheLink(const DraftFields& draft) const;
  void ShowWithoutTrayIcon();
  void PrefillFromLink();
  void SetStatus(const QString& text);
  void FitLabelsToText();
  void UseFittingFont();
  bool EndsProgramOnClose() const;

  // Attachments (frm_main_attach.cpp).
  void CreateAttachmentControls();
  void AttachFromLink(const std::string& link);
  void ShowAttachments();
  void RemoveSelectedAttachment();
  void ShowMemoMenu(const QPoint& at);

  // Sending (frm_main_send.cpp): the fields read for the controller, and what it says shown.
  std::vector<std::string> MemoLines() const;
  SendFields CurrentFields() const;  // without the memo's laid-out lines
  void SendEnded(const SendReport& report);
  void FollowPress(const SendPress& press);
  bool PutBackForEditing(const OutboxMessage& message);
  void StatusClicked();
  void TellOutboxWindow(const QString& status);
  void PutIntoFields(const DraftFields& draft);
  void ClearSubjectAndBody();

  // Tries made by nobody (frm_main_retry.cpp).
  bool TryQueuedMail();
  bool TriesStop();
  void UnattendedSendEnded(const SendReport& report, const std::string& nextTry);
  std::string NextTryText() const;

  bool shownWithoutTrayIcon_ = false;
  bool endingProgram_ = false;  // the pop-up menu's "&Close" ends the program in any mode
  bool fittingFont_ = false;    // the windows' fitting face size has been measured and set

  SendWorkflow* workflow_;
  RetryScheduler* retry_ = nullptr;
  bool tryingUnattended_ = false;  // a try nobody started reads the outbox
  // What pressing Send means; the window only reads its fields and shows what it says.
  std::unique_ptr<SendController> controller_;
  DraftKeeper* draft_ = nullptr;  // set by KeepDraftsIn
  AttachmentList attachments_;
  QString progressStatus_;
  QPointer<TfrmOutbox> frmOutbox_;
};

// The main window while it exists; already valid while its constructor runs.
extern TfrmMain* frmMain;

}  // namespace pelorin
