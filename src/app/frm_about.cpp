#include "app/frm_about.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QScreen>

#include "app/form_controls.h"
#include "app/globals.h"
#include "desktop/shell_execute.h"
#include "mail/web_address.h"

namespace pelorin {

bool AboutOpen = false;
QPointer<TfrmAbout> frmAbout;

namespace {

using form::Place;
using form::PlaceLabel;

const QSize kClientSize(344, 166);
// Replaced by the centred position at creation.
const QPoint kDesignedPosition(117, 153);
const QColor kSilver(192, 192, 192);
constexpr const char* kShortcutFile = "skelmar32.url";

QLabel* PlaceCentredLabel(QWidget* parent, const char* name, const QString& caption,
                          QPoint position) {
  QLabel* label = PlaceLabel(parent, name, caption, position);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  return label;
}

// Integer division truncates toward zero, as the centring asks for.
int CentredStart(int outer, int inner) {
  return (outer - inner) / 2;
}

}  // namespace

QSize PrimaryScreenSize() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen == nullptr ? QSize(0, 0) : screen->size();
}

QString TfrmAbout::AddressText() {
  return QStringLiteral("The URL is: ") + QString::fromLatin1(kProgramWebAddress);
}

TfrmAbout::TfrmAbout(QWidget* owner, QSize screenSize)
    : QWidget(owner, Qt::Window), screenSize_(screenSize) {
  SetUpWindow();
  CreateLabels();
  CreateAddressField();
  CreateCloseButton();
  ConnectEvents();
  FormCreate(this);
}

void TfrmAbout::SetUpWindow() {
  setObjectName(QStringLiteral("frmAbout"));
  setWindowTitle(QStringLiteral("About Pelorin 32"));
  // A fixed frame whose title bar has neither buttons nor system menu.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFont(form::ClassicFont());
  setFixedSize(kClientSize);
  move(kDesignedPosition);
}

void TfrmAbout::CreateLabels() {
  Label1 = PlaceLabel(this, "Label1", QStringLiteral("Pelorin 32"), {129, 7});
  form::MakeBoldBlack(Label1);
  lblVersion = Place<QLabel>(this, "lblVersion", {112, 21, 113, 16});
  lblVersion->setText(QStringLiteral("lblVersion"));
  lblVersion->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label2 =
      PlaceCentredLabel(this, "Label2", QStringLiteral("Freeware. Use it as you like."), {101, 43});
  Label3 = PlaceCentredLabel(
      this, "Label3",
      QStringLiteral("For help on an item, just let the mouse pointer rest over it."), {13, 59});
  Label4 = PlaceCentredLabel(
      this, "Label4", QStringLiteral("See the Vantrel home page for the latest updates, changes "),
      {13, 75});
  Label5 = PlaceCentredLabel(
      this, "Label5",
      QStringLiteral("and help with troubleshooting. Remember to check back often."), {13, 91});
}

void TfrmAbout::CreateAddressField() {
  txtHTML = Place<QLineEdit>(this, "txtHTML", {16, 115, 321, 16});
  txtHTML->setFrame(false);
  QPalette palette = txtHTML->palette();
  palette.setColor(QPalette::Base, kSilver);
  txtHTML->setPalette(palette);
  txtHTML->setCursor(Qt::UpArrowCursor);
  txtHTML->setText(AddressText());
  txtHTML->setToolTip(QStringLiteral("Click here to start your browser!"));
  txtHTML->installEventFilter(this);
}

void TfrmAbout::CreateCloseButton() {
  cmdClose = Place<QPushButton>(this, "cmdClose", {132, 136, 75, 25});
  cmdClose->setText(QStringLiteral("&Close"));
  cmdClose->setToolTip(QStringLiteral("Closes this about box."));
  setTabOrder(cmdClose, txtHTML);
  cmdClose->setFocus();
}

void TfrmAbout::ConnectEvents() {
  connect(cmdClose, &QPushButton::clicked, this, [this] { cmdCloseClick(cmdClose); });
  connect(txtHTML, &QLineEdit::textChanged, this, [this] { txtHTMLChange(txtHTML); });
}

void TfrmAbout::FormCreate(QObject*) {
  AboutOpen = true;
  // The window system's window, so that a frame it already knows counts in the outer size.
  winId();
  CentreOnScreen();
  lblVersion->setText(QStringLiteral("Ver: ") + QString::fromLatin1(kProgramVersion));
  CentreControls();
}

// The outer size, frame included, is what is centred.
void TfrmAbout::CentreOnScreen() {
  const QSize outer = frameGeometry().size();
  move(CentredStart(screenSize_.width(), outer.width()),
       CentredStart(screenSize_.height(), outer.height()));
}

// By the outer width of the window, not its client width; the tops stay as designed.
void TfrmAbout::CentreControls() {
  const int outerWidth = frameGeometry().width();
  QWidget* const controls[] = {lblVersion, Label1, Label2,  Label3,
                               Label4,     Label5, txtHTML, cmdClose};
  for (QWidget* control : controls) {
    control->move(CentredStart(outerWidth, control->width()), control->y());
  }
}

void TfrmAbout::FormActivate(QObject*) {
  cmdClose->setText(NeedsSetup ? QStringLiteral("&Continue") : QStringLiteral("&Close"));
}

void TfrmAbout::FormClose(QObject*) {
  AboutOpen = false;
}

void TfrmAbout::cmdCloseClick(QObject*) {
  close();
}

void TfrmAbout::txtHTMLChange(QObject*) {
  // The field only looks editable: whatever is typed or pasted is put back at once.
  if (txtHTML->text() != AddressText()) txtHTML->setText(AddressText());
}

void TfrmAbout::txtHTMLClick(QObject*) {
  // A bare name, as the shell is asked; the result is not examined.
  os::ShellExecuteA(nullptr, "open", kShortcutFile, " ", " ", os::SW_SHOWNORMAL);
}

bool TfrmAbout::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) FormActivate(this);
  return QWidget::event(event);
}

void TfrmAbout::closeEvent(QCloseEvent* event) {
  FormClose(this);
  event->accept();
  // A closed about box is never shown again: it goes once it is hidden.
  deleteLater();
}

bool TfrmAbout::eventFilter(QObject* watched, QEvent* event) {
  if (watched == txtHTML && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
      txtHTML->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
    txtHTMLClick(txtHTML);
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace pelorin
