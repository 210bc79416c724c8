// The window's side of attachments: files come from a mailto: link, from a drop onto the
// window and from the "Attach..." command (the body's context menu, Ctrl+Shift+A). They are
// listed in one row under the status line, shown only while something is attached: the designed
// window has no free line, and growing at the bottom moves none of its controls. The list
// names each file (its path and size as tool tip), the label beside it their total size; the
// list's context menu and Delete remove the picked one.
#include <QAction>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTimer>
#include <QUrl>
#include <memory>

#include "app/frm_main.h"
#include "app/qstring_text.h"
#include "mail/mailto_attachments.h"
#include "os/msgbox.h"

namespace pelorin {

namespace {

constexpr int kClientWidth = 357;
constexpr int kClientHeight = 355;
constexpr int kRowTop = 354;
constexpr int kRowHeight = 19;
constexpr int kGrownHeight = kRowTop + kRowHeight + 4;

const QString kWaiting = QStringLiteral("Waiting...");

// The local files a drag carries; none when it carries anything else as well.
std::vector<std::string> DroppedFiles(const QMimeData* data) {
  std::vector<std::string> paths;
  if (data == nullptr || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) return {};
    paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
  }
  return paths;
}

std::string JoinedLines(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) joined += (joined.empty() ? "" : "\r\n") + line;
  return joined;
}

}  // namespace

void TfrmMain::CreateAttachmentControls() {
  lblAttachments = new QLabel(this);
  lblAttachments->setObjectName(QStringLiteral("lblAttachments"));
  lblAttachments->setGeometry(5, kRowTop + 3, 60, 13);
  lstAttachments = new QListWidget(this);
  lstAttachments->setObjectName(QStringLiteral("lstAttachments"));
  lstAttachments->setGeometry(68, kRowTop, 281, kRowHeight);
  lstAttachments->setFlow(QListView::LeftToRight);
  lstAttachments->setWrapping(false);
  lstAttachments->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  lstAttachments->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  lstAttachments->setSpacing(1);
  lstAttachments->setToolTip(
      QStringLiteral("The files sent with the e-mail; Delete removes the one picked."));
  lstAttachments->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* remove = new QAction(QStringLiteral("&Remove"), lstAttachments);
  remove->setObjectName(QStringLiteral("RemoveAttachment1"));
  remove->setShortcut(QKeySequence(Qt::Key_Delete));
  remove->setShortcutContext(Qt::WidgetShortcut);
  lstAttachments->addAction(remove);
  connect(remove, &QAction::triggered, this, [this] { RemoveSelectedAttachment(); });

  Attach1 = new QAction(QStringLiteral("A&ttach..."), this);
  Attach1->setObjectName(QStringLiteral("Attach1"));
  Attach1->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A));
  Attach1->setShortcutContext(Qt::WindowShortcut);
  addAction(Attach1);
  connect(Attach1, &QAction::triggered, this, [this] { Attach1Click(Attach1); });
  edsMemo->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(edsMemo, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { ShowMemoMenu(at); });

  // Files dropped on any field are attached rather than typed in as their paths.
  setAcceptDrops(true);
  const std::vector<QWidget*> targets = {edsMemo->viewport(), edsSubj, edsEmail,
                                         edsName->lineEdit()};
  for (QWidget* target : targets) {
    if (target != nullptr) target->installEventFilter(this);
  }
  ShowAttachments();
}

void TfrmMain::ShowMemoMenu(const QPoint& at) {
  std::unique_ptr<QMenu> menu(edsMemo->createStandardContextMenu(at));
  menu->addSeparator();
  menu->addAction(Attach1);
  menu->exec(edsMemo->mapToGlobal(at));
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) {
    return QWidget::eventFilter(watched, event);
  }
  auto* drop = static_cast<QDropEvent*>(event);
  const std::vector<std::string> paths = DroppedFiles(drop->mimeData());
  if (paths.empty()) return QWidget::eventFilter(watched, event);
  drop->setDropAction(Qt::CopyAction);
  drop->accept();
  if (type == QEvent::Drop) AttachFiles(paths);
  return true;
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (!DroppedFiles(event->mimeData()).empty()) event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event) {
  const std::vector<std::string> paths = DroppedFiles(event->mimeData());
  if (paths.empty()) return;
  event->acceptProposedAction();
  AttachFiles(paths);
}

void TfrmMain::Attach1Click(QObject*) {
  const QStringList chosen = QFileDialog::getOpenFileNames(this, QStringLiteral("Attach"));
  std::vector<std::string> paths;
  for (const QString& path : chosen) paths.push_back(QFile::encodeName(path).toStdString());
  AttachFiles(paths);
}

void TfrmMain::AttachFiles(const std::vector<std::string>& paths, const std::string& introduction) {
  std::vector<std::string> refusals;
  if (!introduction.empty()) refusals.push_back(introduction);
  const std::size_t before = attachments_.Files().size();
  for (const std::string& path : paths) {
    const std::string why = attachments_.Add(path);
    if (!why.empty()) refusals.push_back(why);
  }
  if (attachments_.Files().size() != before) {
    ShowAttachments();
    SetStatus(kWaiting);
  }
  if (refusals.empty()) return;
  // Shown once the window is up: a link's files are checked while it is being made.
  QTimer::singleShot(0, this, [text = JoinedLines(refusals)] { os::ShowMessage(text); });
}

// The link's files are listed for the user to see before anything is sent; those it names
// wrongly are named in a box, and the rest of the link is used as it is.
void TfrmMain::AttachFromLink(const std::string& link) {
  const LinkAttachments linked = ParseMailtoAttachments(link);
  std::vector<std::string> refusals;
  for (const std::string& refused : linked.refused) {
    refusals.push_back("The link asks to attach " + refused + "; nothing is attached for it.");
  }
  if (linked.paths.empty() && refusals.empty()) return;
  AttachFiles(linked.paths, JoinedLines(refusals));
}

void TfrmMain::ShowAttachments() {
  lstAttachments->clear();
  for (const AttachedFile& file : attachments_.Files()) {
    auto* item = new QListWidgetItem(ToQString(file.name), lstAttachments);
    item->setToolTip(QStringLiteral("%1 (%2)").arg(QFile::decodeName(file.path.c_str()),
                                                   ToQString(SizeText(file.size))));
  }
  const bool shown = !attachments_.Empty();
  lblAttachments->setText(ToQString(SizeText(attachments_.TotalSize())));
  lblAttachments->setVisible(shown);
  lstAttachments->setVisible(shown);
  setFixedSize(kClientWidth, shown ? kGrownHeight : kClientHeight);
}

void TfrmMain::RemoveSelectedAttachment() {
  const int row = lstAttachments->currentRow();
  if (row < 0) return;
  attachments_.Remove(static_cast<std::size_t>(row));
  ShowAttachments();
  SetStatus(kWaiting);
}

}  // namespace pelorin
