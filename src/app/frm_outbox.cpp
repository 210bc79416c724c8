#include "app/frm_outbox.h"

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QShortcut>
#include <QStandardPaths>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/qstring_text.h"
#include "desktop/shell_execute.h"
#include "os/msgbox.h"

namespace pelorin {
namespace {

const QString kSendUnderWay =
    QStringLiteral("A send is under way and holds the queued mail; try again once it has ended.");
const QString kNoLongerQueued = QStringLiteral("That message is no longer queued.");
const QString kWindowHoldsText = QStringLiteral(
    "The quick-send window holds a message of its own: send it, or empty its subject and body, "
    "first.");
const QString kCarriesFiles = QStringLiteral(
    "This message carries attached files, which the quick-send window cannot take back: send "
    "it, or delete it to keep it whole in the refused folder.");

QString Name(std::string_view name) {
  return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

QString TimeText(const QDateTime& time) {
  if (!time.isValid()) return {};
  return QLocale().toString(time.toLocalTime(), QLocale::ShortFormat);
}

QPushButton* AddButton(QWidget* parent, QHBoxLayout* row, const char* name, const char* caption,
                       const char* accessibleName) {
  auto* button = new QPushButton(QString::fromLatin1(caption), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setAccessibleName(QString::fromLatin1(accessibleName));
  button->setToolTip(QString::fromLatin1(accessibleName) + QLatin1Char('.'));
  row->addWidget(button);
  return button;
}

std::string Named(const OutboxRow& row) {
  return "message to " + FromQString(row.recipient) + " (subject \"" + FromQString(row.subject) +
         "\")";
}

}  // namespace

TfrmOutbox::TfrmOutbox(SendWorkflow& workflow, OutboxWindowHooks hooks, QWidget* owner)
    : QWidget(owner, Qt::Window), workflow_(workflow), hooks_(std::move(hooks)) {
  setObjectName(QStringLiteral("frmOutbox"));
  setWindowTitle(QStringLiteral("Outbox - Pelorin 32"));
  CreateControls();
  ConnectEvents();
  Refresh();
}

void TfrmOutbox::CreateControls() {
  lstMessages = new QTreeWidget(this);
  lstMessages->setObjectName(QStringLiteral("lstMessages"));
  lstMessages->setAccessibleName(QStringLiteral("Queued and refused messages"));
  lstMessages->setRootIsDecorated(false);
  lstMessages->setAllColumnsShowFocus(true);
  lstMessages->setSelectionMode(QAbstractItemView::SingleSelection);
  QStringList headers;
  for (const std::string_view name : kOutboxColumnNames) headers << Name(name);
  lstMessages->setHeaderLabels(headers);
  lstMessages->header()->setStretchLastSection(false);

  auto* buttons = new QHBoxLayout;
  cmdSendNow = AddButton(this, buttons, "cmdSendNow", "&Send now", "Send the queued mail now");
  cmdEdit = AddButton(this, buttons, "cmdEdit", "&Edit", "Take the message back to edit it");
  cmdDelete = AddButton(this, buttons, "cmdDelete", "&Delete", "Delete the message");
  cmdShowFile =
      AddButton(this, buttons, "cmdShowFile", "Show &file", "Open the refused messages' folder");
  buttons->addStretch();
  cmdClose = AddButton(this, buttons, "cmdClose", "&Close", "Close the outbox");

  lblStatus = new QLabel(this);
  lblStatus->setObjectName(QStringLiteral("lblStatus"));
  lblStatus->setAccessibleName(QStringLiteral("Status"));
  lblStatus->setTextFormat(Qt::PlainText);  // a server's words are never markup
  lblStatus->setWordWrap(true);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lstMessages);
  layout->addLayout(buttons);
  layout->addWidget(lblStatus);
  resize(640, 300);

  setTabOrder(lstMessages, cmdSendNow);
  setTabOrder(cmdSendNow, cmdEdit);
  setTabOrder(cmdEdit, cmdDelete);
  setTabOrder(cmdDelete, cmdShowFile);
  setTabOrder(cmdShowFile, cmdClose);
}

void TfrmOutbox::ConnectEvents() {
  connect(cmdSendNow, &QPushButton::clicked, this, [this] { cmdSendNowClick(); });
  connect(cmdEdit, &QPushButton::clicked, this, [this] { cmdEditClick(); });
  connect(cmdDelete, &QPushButton::clicked, this, [this] { cmdDeleteClick(); });
  connect(cmdShowFile, &QPushButton::clicked, this, [this] { cmdShowFileClick(); });
  connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
  connect(lstMessages, &QTreeWidget::itemSelectionChanged, this, [this] { EnableCommands(); });
  // Enter or a double click: a queued message is taken back, a refused one shown.
  connect(lstMessages, &QTreeWidget::itemActivated, this, [this] {
    const OutboxRow* row = Selected();
    if (row != nullptr && row->kind == OutboxRowKind::Queued) return cmdEditClick();
    if (row != nullptr) cmdShowFileClick();
  });
  lstMessages->installEventFilter(this);
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(escape, &QShortcut::activated, this, &QWidget::close);
}

bool TfrmOutbox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lstMessages && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
    cmdDeleteClick();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmOutbox::showEvent(QShowEvent* event) {
  Refresh();
  QWidget::showEvent(event);
}

// --- The list ---

void TfrmOutbox::Refresh() {
  const OutboxRow* selected = Selected();
  const std::uint64_t selectedId = selected != nullptr ? selected->id : 0;
  const std::string selectedPath = selected != nullptr ? selected->path : std::string();
  rows_ = ListOutbox(workflow_);
  const QString nextTry = NextTryText();
  lstMessages->clear();
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    QTreeWidgetItem* item = ItemFor(rows_[i], nextTry);
    item->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
    lstMessages->addTopLevelItem(item);
    const bool wasSelected = rows_[i].kind == OutboxRowKind::Queued
                                 ? rows_[i].id == selectedId
                                 : !selectedPath.empty() && rows_[i].path == selectedPath;
    if (wasSelected) lstMessages->setCurrentItem(item);
  }
  if (lstMessages->currentItem() == nullptr && !rows_.empty()) {
    lstMessages->setCurrentItem(lstMessages->topLevelItem(0));
  }
  for (int column = 0; column < lstMessages->columnCount(); ++column) {
    lstMessages->resizeColumnToContents(column);
  }
  EnableCommands();
}

QTreeWidgetItem* TfrmOutbox::ItemFor(const OutboxRow& row, const QString& nextTry) const {
  auto* item = new QTreeWidgetItem;
  const auto set = [item](OutboxColumn column, const QString& text) {
    item->setText(static_cast<int>(column), text);
  };
  set(OutboxColumn::Recipient, row.recipient);
  set(OutboxColumn::Subject, row.subject);
  set(OutboxColumn::QueuedSince, TimeText(row.since));
  set(OutboxColumn::LastError, row.lastError);
  set(OutboxColumn::NextTry, row.kind == OutboxRowKind::Queued ? nextTry : QString());
  set(OutboxColumn::Kind, Name(kOutboxRowKindNames[static_cast<std::size_t>(row.kind)]));
  return item;
}

QString TfrmOutbox::NextTryText() const {
  const std::optional<QDateTime> next = hooks_.nextTry ? hooks_.nextTry() : std::nullopt;
  return next ? TimeText(*next) : QStringLiteral("with the next send");
}

const OutboxRow* TfrmOutbox::Selected() const {
  const QTreeWidgetItem* item = lstMessages->currentItem();
  if (item == nullptr) return nullptr;
  const auto index = item->data(0, Qt::UserRole).toULongLong();
  return index < rows_.size() ? &rows_[index] : nullptr;
}

void TfrmOutbox::EnableCommands() {
  const OutboxRow* row = Selected();
  cmdSendNow->setEnabled(!workflow_.Queue().Empty());
  cmdEdit->setEnabled(row != nullptr && row->kind == OutboxRowKind::Queued);
  cmdDelete->setEnabled(row != nullptr);
}

void TfrmOutbox::ShowStatus(const QString& text) {
  lblStatus->setText(text);
}

// A message may go while the user looks at the list, and a send under way reads the outbox
// after every message it carries: only a message still queued, with no send under way, may be
// taken out.
bool TfrmOutbox::QueuedAndFree(const OutboxRow& row) {
  if (workflow_.Phase() != SendPhase::Idle) {
    ShowStatus(kSendUnderWay);
    return false;
  }
  if (!workflow_.Queue().Holds(row.id)) {
    ShowStatus(kNoLongerQueued);
    Refresh();
    return false;
  }
  return true;
}

// Only for a message QueuedAndFree has found.
const OutboxMessage* TfrmOutbox::QueuedMessage(std::uint64_t id) const {
  const Outbox& outbox = workflow_.Queue();
  for (std::size_t i = 0; i < outbox.Size(); ++i) {
    if (outbox.At(i).id == id) return &outbox.At(i);
  }
  return nullptr;
}

// --- Commands ---

void TfrmOutbox::cmdSendNowClick() {
  if (hooks_.sendNow) hooks_.sendNow();
  Refresh();
}

void TfrmOutbox::cmdEditClick() {
  const OutboxRow* selected = Selected();
  if (selected == nullptr || selected->kind != OutboxRowKind::Queued) return;
  const OutboxRow row = *selected;
  if (!QueuedAndFree(row)) return;
  if (row.carriesFiles) return ShowStatus(kCarriesFiles);
  if (!hooks_.putIntoFields || !hooks_.putIntoFields(*QueuedMessage(row.id))) {
    return ShowStatus(kWindowHoldsText);
  }
  workflow_.Queue().Withdraw(row.id);
  ShowStatus(ToQString("The message to " + FromQString(row.recipient) +
                       " is back in the quick-send window and out of the outbox."));
  ReportStoreProblems();
  Refresh();
}

void TfrmOutbox::cmdDeleteClick() {
  const OutboxRow* selected = Selected();
  if (selected == nullptr) return;
  const OutboxRow row = *selected;
  if (row.kind == OutboxRowKind::Queued && !QueuedAndFree(row)) return;
  const std::string question = row.kind == OutboxRowKind::Queued
                                   ? "Delete the " + Named(row) +
                                         " from the outbox? It is not sent, and kept in the " +
                                         "refused folder."
                                   : "Move the refused " + Named(row) + " to the wastebasket?";
  os::OpenBox(os::OkCancelRequest(question), this, [this, row](int answer) {
    if (answer != os::IDOK) return;
    if (row.kind == OutboxRowKind::Queued) return DeleteQueued(row);
    DeleteRefused(row);
  });
}

// Its text goes to the refused folder first: the message leaves the outbox only once it is
// safe there.
void TfrmOutbox::DeleteQueued(const OutboxRow& row) {
  if (!QueuedAndFree(row)) return;
  OutboxFolder* folder = workflow_.Folder();
  std::string why = "there is no refused folder";
  const std::string kept =
      folder != nullptr ? folder->KeepRefused(*QueuedMessage(row.id), why) : std::string();
  if (kept.empty()) {
    return ShowStatus(ToQString("The message to " + FromQString(row.recipient) +
                                " could not be kept in the refused folder (" + why +
                                "); it stays queued."));
  }
  workflow_.Queue().Withdraw(row.id);
  if (hooks_.withdrawn) hooks_.withdrawn(row.id);
  ShowStatus(ToQString("The message to " + FromQString(row.recipient) +
                       " has left the outbox; it is kept in " + kept + "."));
  ReportStoreProblems();
  Refresh();
}

void TfrmOutbox::DeleteRefused(const OutboxRow& row) {
  const QString path = QFile::decodeName(row.path.c_str());
  // The wastebasket lives in the data folder, which a fresh home may not have yet; without
  // it Qt would make one in the current folder.
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (!data.isEmpty() && QDir().mkpath(data) && QFile::moveToTrash(path)) {
    ShowStatus(ToQString("The refused message to " + FromQString(row.recipient) +
                         " is in the wastebasket."));
  } else {
    ShowStatus(
        ToQString("The refused message could not be moved to the wastebasket; it stays "
                  "in " +
                  row.path + "."));
  }
  Refresh();
}

void TfrmOutbox::cmdShowFileClick() {
  const OutboxFolder* folder = workflow_.Folder();
  if (folder == nullptr) return ShowStatus(QStringLiteral("There is no refused folder."));
  const std::string directory = folder->RefusedDirectory();
  const os::HINSTANCE result =
      os::ShellExecuteA(nullptr, "open", directory.c_str(), nullptr, nullptr, os::SW_SHOWNORMAL);
  if (result == os::SE_ERR_FNF) {
    ShowStatus(ToQString("No message has been refused yet: " + directory + " does not exist."));
  } else if (result <= 32) {
    ShowStatus(ToQString("The file manager could not open " + directory + "."));
  }
}

// The file of a message taken out that could not be removed: said in a box, as the workflow
// says it.
void TfrmOutbox::ReportStoreProblems() {
  std::string text;
  for (const std::string& problem : workflow_.Queue().TakeStoreProblems()) {
    text += (text.empty() ? "" : "\r\n\r\n") + problem;
  }
  if (!text.empty()) os::ShowMessage(text);
}

}  // namespace pelorin
