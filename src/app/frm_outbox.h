// The outbox window: one list of the messages that wait in the outbox and of those kept in the
// refused folder, with their recipient, subject, when they were queued, why their last try
// failed and when the next one is; the queue sent now, a queued message taken back into the
// quick-send window or deleted into the refused folder, a refused one deleted into the
// desktop's wastebasket, the refused folder opened in the file manager. Modeless; the main
// window keeps one. User-interface thread only.
#pragma once

#include <QDateTime>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "app/outbox_listing.h"
#include "app/send_workflow.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace pelorin {

// What the window asks of its owner.
struct OutboxWindowHooks {
  // When queued mail is tried next; none (or no hook): at the next send.
  std::function<std::optional<QDateTime>()> nextTry;
  // Starts a send of what is queued, as the Send button does.
  std::function<void()> sendNow;
  // Puts the message's text into the quick-send window; false, with nothing changed, when
  // that window holds a message of its own.
  std::function<bool(const OutboxMessage&)> putIntoFields;
  // The message left the queue without going out (deleted).
  std::function<void(std::uint64_t)> withdrawn;
};

enum class OutboxColumn { Recipient, Subject, QueuedSince, LastError, NextTry, Kind };
inline constexpr std::array<std::string_view, 6> kOutboxColumnNames = {
    "Recipient", "Subject", "Queued since", "Last error", "Next try", "Status"};

class TfrmOutbox : public QWidget {
  Q_OBJECT
 public:
  TfrmOutbox(SendWorkflow& workflow, OutboxWindowHooks hooks, QWidget* owner = nullptr);

  QTreeWidget* lstMessages;
  QPushButton* cmdSendNow;
  QPushButton* cmdEdit;
  QPushButton* cmdDelete;
  QPushButton* cmdShowFile;
  QPushButton* cmdClose;
  QLabel* lblStatus;

  // Reads the outbox and the refused folder anew; the selected message stays selected.
  void Refresh();
  void ShowStatus(const QString& text);

  void cmdSendNowClick();
  void cmdEditClick();
  void cmdDeleteClick();
  void cmdShowFileClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void CreateControls();
  void ConnectEvents();
  QTreeWidgetItem* ItemFor(const OutboxRow& row, const QString& nextTry) const;
  QString NextTryText() const;
  const OutboxRow* Selected() const;
  bool QueuedAndFree(const OutboxRow& row);
  const OutboxMessage* QueuedMessage(std::uint64_t id) const;
  void EnableCommands();
  void DeleteQueued(const OutboxRow& row);
  void DeleteRefused(const OutboxRow& row);
  void ReportStoreProblems();

  SendWorkflow& workflow_;
  OutboxWindowHooks hooks_;
  std::vector<OutboxRow> rows_;  // in the list's order
};

}  // namespace pelorin
