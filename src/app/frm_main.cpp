#include "app/frm_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <functional>

#include "app/configuration.h"
#include "app/dialog_commands.h"
#include "app/form_controls.h"
#include "app/globals.h"
#include "app/qstring_text.h"
#include "app/security_settings.h"
#include "app/send_controller.h"
#include "app/startup.h"
#include "mail/mailto_link.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "platform/dialup_key.h"
#include "transport/sockets.h"
#include "transport/tls_channel.h"

namespace pelorin {

TfrmMain* frmMain = nullptr;

namespace {

const QString kWaiting = QStringLiteral("Waiting...");
constexpr int kClientWidth = 357;
constexpr int kClientHeight = 355;
constexpr int kLeft = 434;
constexpr int kTop = 114;
constexpr int kStatusLeft = 69;
constexpr int kStatusTop = 337;
constexpr int kStatusRight = 349;  // where the fields end

template <typename Control>
Control* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* control = new Control(parent);
  control->setObjectName(QString::fromLatin1(name));
  control->setGeometry(left, top, width, height);
  return control;
}

QLabel* PlaceLabel(QWidget* parent, const char* name, const char* caption, int left, int top,
                   int width) {
  auto* label = Place<QLabel>(parent, name, left, top, width, 13);
  label->setText(QString::fromLatin1(caption));
  return label;
}

// The status label: one line that sizes itself to its text up to the fields' right edge. A
// text too long for that room (a failure's reason can be of any length) is shown cut, ended
// by an ellipsis, and resting the mouse on it shows the whole text; text() keeps it whole.
class StatusLabel : public QLabel {
 public:
  StatusLabel(QWidget* parent, int right) : QLabel(parent), right_(right) {
    setTextFormat(Qt::PlainText);  // a server's words are never markup
  }

  QSize sizeHint() const override {
    const QMargins margins = contentsMargins();
    const int wanted =
        fontMetrics().horizontalAdvance(OneLine()) + margins.left() + margins.right();
    return {std::min(wanted, right_ - x()),
            fontMetrics().height() + margins.top() + margins.bottom()};
  }
  QSize minimumSizeHint() const override { return sizeHint(); }

  std::function<void()> onClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        onClick) {
      onClick();
    }
  }

  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), alignment(), palette(), isEnabled(),
                          ShownText(), foregroundRole());
  }

  bool event(QEvent* event) override {
    if (event->type() == QEvent::ToolTip && ShownText() != text()) {
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
      return true;
    }
    return QLabel::event(event);
  }

 private:
  QString OneLine() const {
    QString line = text();
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return line;
  }
  // A text that fits by its advance is shown whole: elidedText measures a little wider and
  // would cut a text that the label was sized to hold.
  QString ShownText() const {
    const QString line = OneLine();
    const int room = contentsRect().width();
    if (fontMetrics().horizontalAdvance(line) <= room) return line;
    return fontMetrics().elidedText(line, Qt::ElideRight, room);
  }

  int right_;
};

QLabel* PlaceStatusLabel(QWidget* parent) {
  auto* label = new StatusLabel(parent, kStatusRight);
  label->setObjectName(QStringLiteral("lblStatus"));
  label->move(kStatusLeft, kStatusTop);
  label->setText(kWaiting);
  return label;
}

QPushButton* PlaceButton(QWidget* parent, const char* name, const char* caption, int left) {
  auto* button = Place<QPushButton>(parent, name, left, 308, 65, 21);
  button->setText(QString::fromLatin1(caption));
  return button;
}

QAction* AddMenuItem(QMenu* menu, const char* name, const char* caption) {
  QAction* item = menu->addAction(QString::fromLatin1(caption));
  item->setObjectName(QString::fromLatin1(name));
  return item;
}

// A held key acts once: holding Ctrl+Return must not send the mail again and again.
QShortcut* AddKey(QWidget* widget, QKeyCombination keys, Qt::ShortcutContext context) {
  auto* shortcut = new QShortcut(QKeySequence(keys), widget);
  shortcut->setContext(context);
  shortcut->setAutoRepeat(false);
  return shortcut;
}

}  // namespace

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) {
  frmMain = this;
  // The dial-up unit asks the registry whether dial-up may be used; on Linux pppd answers.
  RegisterDialupKey();
  CreateControls();
  CreateComponents();
  ConnectEvents();
  CreateAttachmentControls();
  FormCreate(this);
}

TfrmMain::~TfrmMain() {
  delete workflow_;  // before the controls that its signals reach
  if (frmMain == this) frmMain = nullptr;
}

void TfrmMain::CreateControls() {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Pelorin 32"));
  // A title bar without any buttons: the window is left with "&Close" only.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setFont(form::DesignedFont());  // the fitting size once the window is first shown
  setFixedSize(kClientWidth, kClientHeight);
  move(kLeft, kTop);

  cmdMake = PlaceButton(this, "cmdMake", "&Send", 68);
  edsEmail = Place<QLineEdit>(this, "edsEmail", 69, 27, 280, 21);
  Label4 = PlaceLabel(this, "Label4", "E-mail", 5, 32, 28);
  edsMemo = Place<QPlainTextEdit>(this, "edsMemo", 68, 76, 281, 225);
  edsMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  edsMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  edsMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  edsMemo->setTabChangesFocus(true);
  Label1 = PlaceLabel(this, "Label1", "Name", 5, 8, 28);
  Label2 = PlaceLabel(this, "Label2", "Subject", 5, 56, 36);
  edsSubj = Place<QLineEdit>(this, "edsSubj", 69, 51, 280, 21);
  Label3 = PlaceLabel(this, "Label3", "Body", 5, 80, 24);
  edsName = Place<QComboBox>(this, "edsName", 69, 3, 279, 21);
  edsName->setEditable(true);
  edsName->setInsertPolicy(QComboBox::NoInsert);
  edsName->setCompleter(nullptr);
  cmdAdd = PlaceButton(this, "cmdAdd", "&Add", 140);
  cmdDel = PlaceButton(this, "cmdDel", "&Delete", 212);
  cmdMin = PlaceButton(this, "cmdMin", "&Close", 284);
  lblStatus = PlaceStatusLabel(this);

  setTabOrder(edsName, edsEmail);
  setTabOrder(edsEmail, edsSubj);
  setTabOrder(edsSubj, edsMemo);
  setTabOrder(edsMemo, cmdMake);
  setTabOrder(cmdMake, cmdAdd);
  setTabOrder(cmdAdd, cmdDel);
  setTabOrder(cmdDel, cmdMin);
}

void TfrmMain::CreateComponents() {
  workflow_ =
      new SendWorkflow(std::make_unique<OutboxFolder>(OutboxFolder::DefaultStateDirectory()), this);
  Sockets1 = workflow_->Sockets1;
  Timer1 = workflow_->Timer1;
  controller_ = std::make_unique<SendController>(*workflow_);

  TaskIcon = new TTaskIcon(this);
  TaskIcon->setObjectName(QStringLiteral("TaskIcon"));
  TaskIcon->SetHint("Click here to send an e-mail!");
  TaskIcon->SetTaskIconID(0);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  ShowTessaly1 = AddMenuItem(PopupMenu1, "ShowTessaly1", "&Show Tessaly");
  Outbox1 = AddMenuItem(PopupMenu1, "Outbox1", "&Outbox...");
  AboutSkelmar1 = AddMenuItem(PopupMenu1, "AboutSkelmar1", "&About Pelorin");
  N1 = PopupMenu1->addSeparator();
  N1->setObjectName(QStringLiteral("N1"));
  Properties1 = AddMenuItem(PopupMenu1, "Properties1", "&Properties");
  Close1 = AddMenuItem(PopupMenu1, "Close1", "&Close");
  PopupMenu1->setDefaultAction(Close1);  // drawn in bold
  // A tray that opens the icon's menu itself (a StatusNotifierItem host) offers this one.
  TaskIcon->SetPopupMenu(PopupMenu1);
}

void TfrmMain::ConnectEvents() {
  connect(this, &TfrmMain::OutboxWanted, this, [this] { Outbox1Click(this); });
  connect(cmdMake, &QPushButton::clicked, this, [this] { cmdMakeClick(cmdMake); });
  connect(cmdAdd, &QPushButton::clicked, this, [this] { cmdAddClick(cmdAdd); });
  connect(cmdDel, &QPushButton::clicked, this, [this] { cmdDelClick(cmdDel); });
  connect(cmdMin, &QPushButton::clicked, this, [this] { cmdMinClick(cmdMin); });
  connect(edsName, &QComboBox::editTextChanged, this, [this] { edsNameChange(edsName); });
  connect(edsName, &QComboBox::activated, this, [this] { edsNameClick(edsName); });
  connect(edsEmail, &QLineEdit::textChanged, this, [this] { edsEmailChange(edsEmail); });
  connect(edsSubj, &QLineEdit::textChanged, this, [this] { edsSubjChange(edsSubj); });
  connect(edsMemo, &QPlainTextEdit::textChanged, this, [this] { edsMemoChange(edsMemo); });
  connect(ShowTessaly1, &QAction::triggered, this, [this] { ShowTessaly1Click(ShowTessaly1); });
  connect(Outbox1, &QAction::triggered, this, [this] { Outbox1Click(Outbox1); });
  static_cast<StatusLabel*>(lblStatus)->onClick = [this] { StatusClicked(); };
  connect(AboutSkelmar1, &QAction::triggered, this, [this] { AboutSkelmar1Click(AboutSkelmar1); });
  connect(Properties1, &QAction::triggered, this, [this] { Properties1Click(Properties1); });
  connect(Close1, &QAction::triggered, this, [this] { Close1Click(Close1); });
  connect(workflow_, &SendWorkflow::Progress, this, [this](const QString& text) {
    progressStatus_ = text;
    SetStatus(text);
  });
  connect(workflow_, &SendWorkflow::CertificateTrusted, this, [this](const QString& fingerprint) {
    const std::string failure = controller_->KeepTrustedCertificate(FromQString(fingerprint));
    if (!failure.empty()) os::ShowErrorBox(failure);
  });
  connect(workflow_, &SendWorkflow::SendEnded, this,
          [this](const SendReport& report) { SendEnded(report); });
  // Trouble met by a try nobody started goes to the status line: no box out of nowhere.
  connect(workflow_, &SendWorkflow::OutboxTrouble, this, [this](const QString& text) {
    if (workflow_->Unattended() || tryingUnattended_) return SetStatus(text);
    os::ShowMessage(FromQString(text));
  });
  TaskIcon->OnClick = [this](QObject* sender) { TaskIconClick(sender); };
  TaskIcon->OnRightClick = [this](QObject* sender, TMouseButton button, TShiftState shift, int x,
                                  int y) { TaskIconRightClick(sender, button, shift, x, y); };
  // Ctrl+Return in the body sends, as mail programs do; Escape does what "&Close" does.
  for (const QKeyCombination send : {Qt::CTRL | Qt::Key_Return, Qt::CTRL | Qt::Key_Enter}) {
    connect(AddKey(edsMemo, send, Qt::WidgetShortcut), &QShortcut::activated, this,
            [this] { cmdMakeClick(cmdMake); });
  }
  connect(AddKey(this, QKeyCombination(Qt::Key_Escape), Qt::WindowShortcut), &QShortcut::activated,
          this, [this] { cmdMinClick(cmdMin); });
  ConnectDraftEvents();
}

void TfrmMain::AssignHints() {
  cmdMin->setToolTip(QStringLiteral("Minimizes the application."));
  cmdDel->setToolTip(QStringLiteral("Deletes the selected person."));
  cmdAdd->setToolTip(QStringLiteral("Adds the name and e-mail to the name list."));
  cmdMake->setToolTip(QStringLiteral("Sends the composed e-mail."));
  edsSubj->setToolTip(QStringLiteral("The subject of the e-mail to be sent."));
  edsEmail->setToolTip(QStringLiteral("Enter the e-mail of the person you want to send mail to."));
  edsName->setToolTip(
      QStringLiteral("Select the name of the person you want to send mail to or enter a new."));
  edsMemo->setToolTip(QStringLiteral("The body of the e-mail to be sent!"));
}

void TfrmMain::FormCreate(QObject*) {
  AssignHints();
  RefreshNameList();
  if (CurrentStartMode() == StartMode::Tray) {
    ShowInTray();
  } else {
    PrefillFromLink();
  }
  if (const std::string waiting = controller_->TakeInQueued(); !waiting.empty()) {
    SetStatus(ToQString(waiting));
  }
  TrimWorkingSet();
}

void TfrmMain::ShowInTray() {
  // No taskbar entry while the program lives in the notification area.
  setWindowFlag(Qt::Tool, true);
  hide();
  const std::string iconFile = FileBesideProgram("skelmar32.ico");
  if (TaskIcon->Icon().LoadFromFile(iconFile) != TIcon::LoadResult::Loaded) {
    os::ShowErrorBox("Cannot open file " + iconFile);
    ShowWithoutTrayIcon();
    return;
  }
  TaskIcon->SetEnabled(true);
  if (!TaskIcon->Enabled()) ShowWithoutTrayIcon();
}

// Without an icon in the notification area the program would be unreachable: the window is
// shown with a taskbar entry instead.
void TfrmMain::ShowWithoutTrayIcon() {
  shownWithoutTrayIcon_ = true;
  setWindowFlag(Qt::Tool, false);
  show();
}

void TfrmMain::PrefillFromLink() {
  const MailtoFields fields = ParseMailtoLink(os::ParamStr(2));
  edsEmail->setText(ToQString(fields.email));
  edsSubj->setText(ToQString(fields.subject));
  const QSignalBlocker programChange(edsMemo);
  edsMemo->setPlainText(ToQString(fields.body));
  AttachFromLink(os::ParamStr(2));
}

void TfrmMain::RefreshNameList() {
  edsName->clear();
  edsName->clearEditText();
  for (const std::string& name : NameList) edsName->addItem(ToQString(name));
  edsName->setCurrentIndex(-1);
  edsName->clearEditText();
  edsEmail->clear();
  edsSubj->clear();
  const QSignalBlocker programChange(edsMemo);
  edsMemo->clear();
}

void TfrmMain::SetStatus(const QString& text) {
  lblStatus->setText(text);
  if (isVisible()) lblStatus->adjustSize();
  if (text != kWaiting) TellOutboxWindow(text);  // typing changes nothing there
  emit StatusShown(text);
}

// Labels size themselves to their text, since the designed widths fit only the designed font.
// Measuring text loads the font and shaping libraries, so a window that waits hidden in the
// tray does it only when it is first shown.
void TfrmMain::FitLabelsToText() {
  for (QLabel* label : {Label1, Label2, Label3, Label4}) {
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
  }
  lblStatus->adjustSize();
}

// The size at which the designed texts fit is found by measuring them, which a window that
// waits hidden in the tray leaves until it is shown or lays out a message.
void TfrmMain::UseFittingFont() {
  if (fittingFont_) return;
  fittingFont_ = true;
  setFont(form::ClassicFont());
}

void TfrmMain::showEvent(QShowEvent* event) {
  UseFittingFont();
  FitLabelsToText();
  // A mail written now goes over a secured connection: OpenSSL loads while it is written.
  if (ReadSecuritySettings().security != SmtpSecurity::None) PreloadTlsModule();
  QWidget::showEvent(event);
}

void TfrmMain::edsNameChange(QObject*) {
  // A name typed over a picked entry is no longer that entry.
  const int selected = edsName->currentIndex();
  if (selected >= 0 && edsName->currentText() != edsName->itemText(selected)) {
    const QString typed = edsName->currentText();
    const QSignalBlocker keepTyping(edsName);
    edsName->setCurrentIndex(-1);
    edsName->setEditText(typed);
  }
  SetStatus(kWaiting);
}

void TfrmMain::edsEmailChange(QObject*) {
  SetStatus(kWaiting);
}

void TfrmMain::edsMemoChange(QObject*) {
  SetStatus(kWaiting);
}

void TfrmMain::edsSubjChange(QObject*) {
  if (!edsSubj->text().isEmpty()) SetStatus(kWaiting);
}

void TfrmMain::cmdAddClick(QObject*) {
  // A pasted line break is stored as the blank the configuration file will hold.
  NameList.push_back(ToSingleLine(FromQString(edsName->currentText())));
  AddressList.push_back(ToSingleLine(FromQString(edsEmail->text())));
  RefreshNameList();
  FieldsEdited();
  SaveConfiguration();
}

void TfrmMain::edsNameClick(QObject*) {
  const int selected = edsName->currentIndex();
  if (selected < 0 || static_cast<std::size_t>(selected) >= AddressList.size()) return;
  edsEmail->setText(ToQString(AddressList[static_cast<std::size_t>(selected)]));
  edsSubj->clear();
  {
    const QSignalBlocker programChange(edsMemo);
    edsMemo->clear();
  }
  FieldsEdited();
  edsSubj->setFocus();
}

void TfrmMain::cmdDelClick(QObject*) {
  const int selected = edsName->currentIndex();
  if (selected < 0 || static_cast<std::size_t>(selected) >= NameList.size()) return;
  NameList.erase(NameList.begin() + selected);
  AddressList.erase(AddressList.begin() + selected);
  RefreshNameList();
  FieldsEdited();
  SaveConfiguration();
}

void TfrmMain::TaskIconClick(QObject*) {
  // A draft that a link-mode window left when it ended comes back into empty fields.
  if (draft_ != nullptr && CurrentFields().draft == DraftFields{}) TakeInLeftDraft();
  show();
  raise();
  activateWindow();
}

void TfrmMain::ShowTessaly1Click(QObject* Sender) {
  TaskIconClick(Sender);
}

void TfrmMain::TaskIconRightClick(QObject*, TMouseButton, TShiftState, int X, int Y) {
  PopupMenu1->popup(QPoint(X, Y));
}

void TfrmMain::AboutSkelmar1Click(QObject*) {
  OpenAboutBox(this);
}

void TfrmMain::Properties1Click(QObject*) {
  OpenSettingsDialog(this);
}

void TfrmMain::Close1Click(QObject*) {
  endingProgram_ = true;
  close();
}

// The main window is the program: once it is closed, the message loop ends. Queued mail is
// on disk and goes out with the next send, so nothing needs asking. A close from outside (the
// window manager's Alt+F4 or close box) does what "&Close" does: in the tray it only hides.
void TfrmMain::closeEvent(QCloseEvent* event) {
  if (!endingProgram_ && !EndsProgramOnClose()) {
    event->ignore();
    cmdMinClick(cmdMin);
    return;
  }
  if (draft_ != nullptr) draft_->KeepNow();
  workflow_->Shutdown();
  QWidget::closeEvent(event);
  QCoreApplication::exit(0);
}

bool TfrmMain::EndsProgramOnClose() const {
  return CurrentStartMode() == StartMode::Link || shownWithoutTrayIcon_;
}

void TfrmMain::cmdMinClick(QObject*) {
  if (draft_ != nullptr) draft_->KeepNow();  // written at once: the text outlives the window
  if (EndsProgramOnClose()) {
    close();
    return;
  }
  hide();
  TrimWorkingSet();
}

}  // namespace pelorin
