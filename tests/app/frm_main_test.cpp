// The quick-send window offscreen: its layout, the address book, the status label, the
// tray icon's clicks, the link pre-filling and the keys.
#include "app/frm_main.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/configuration.h"
#include "app/frm_about.h"
#include "app/frm_settings.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "app/security_settings.h"
#include "desktop/shell_tray.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "outbox/draft_store.h"
#include "outbox/outbox_folder.h"
#include "support/event_loop.h"
#include "support/main_window_layout.h"
#include "support/mapped_libraries.h"
#include "support/read_file.h"

namespace {

using app_test::TextOf;
using pelorin::TfrmMain;
using pelorin::TfrmSettings;

// A program world with the tray icon file beside the program and a shell that accepts
// every icon unless told otherwise.
class FrmMainTest : public app_test::ProgramWorldTest {
 protected:
  FrmMainTest() { world_.PlaceTrayIcon(); }
  void TearDown() override { window_.reset(); }

  TfrmMain& Create(std::vector<std::string> arguments = {"pelorin32"}) {
    os::SetCommandLine(arguments);
    window_ = std::make_unique<TfrmMain>();
    return *window_;
  }

  std::string ConfigurationFile() const {
    return testing_support::ReadFile(pelorin::ConfigurationPath());
  }
  std::vector<testing_support::ShellRecorder::Call>& ShellCalls() { return world_.shell.calls; }

  std::unique_ptr<TfrmMain> window_;
};

TEST_F(FrmMainTest, ControlsStandWhereTheLayoutPutsThem) {
  TfrmMain& window = Create();
  window.TaskIconClick(nullptr);  // labels fit their text once the window is shown
  for (const testing_support::ControlLayout& layout : testing_support::kMainWindowControls) {
    SCOPED_TRACE(layout.name);
    const QRect place(layout.place.x, layout.place.y, layout.place.width, layout.place.height);
    auto* control = window.findChild<QWidget*>(QString::fromLatin1(layout.name));
    ASSERT_NE(control, nullptr);
    if (auto* label = qobject_cast<QLabel*>(control)) {
      // At least the designed width, never cut.
      EXPECT_EQ(label->pos(), place.topLeft());
      EXPECT_GE(label->width(),
                std::max(place.width(), label->fontMetrics().horizontalAdvance(label->text())));
      EXPECT_LE(label->x() + label->width(), 68) << "clear of the fields";
    } else {
      EXPECT_EQ(control->geometry(), place);
    }
    EXPECT_EQ(TextOf(control), QString::fromLatin1(layout.text));
    EXPECT_EQ(control->toolTip(), QString::fromLatin1(layout.hint));
  }
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Waiting..."));
  EXPECT_EQ(window.lblStatus->pos(),
            QPoint(testing_support::kStatusLabelPlace.x, testing_support::kStatusLabelPlace.y));
}

// OpenSSL stays out of the tray program until its window is shown with a secured server set.
TEST_F(FrmMainTest, ShowingTheWindowLoadsOpenSslOnlyForASecuredServer) {
  TfrmMain& window = Create();
  window.TaskIconClick(nullptr);
  EXPECT_FALSE(testing_support::LibraryMapped("libssl.so")) << "loaded without a secured server";
  window.hide();
  ASSERT_TRUE(pelorin::WriteSecuritySettings({pelorin::SmtpSecurity::StartTls, ""}));
  window.TaskIconClick(nullptr);
  EXPECT_TRUE(testing_support::WaitUntilLibraryMapped("libssl.so"));
}

TEST_F(FrmMainTest, TabOrderRunsFromNameToClose) {
  TfrmMain& window = Create();
  const std::vector<QWidget*> expected = {window.edsName, window.edsEmail, window.edsSubj,
                                          window.edsMemo, window.cmdMake,  window.cmdAdd,
                                          window.cmdDel,  window.cmdMin};
  std::vector<QWidget*> order;
  QWidget* widget = window.edsName;
  do {
    if (std::find(expected.begin(), expected.end(), widget) != expected.end()) {
      order.push_back(widget);
    }
    widget = widget->nextInFocusChain();
  } while (widget != window.edsName && order.size() < expected.size());
  EXPECT_EQ(order, expected);
  for (const char* label : {"Label1", "Label2", "Label3", "Label4", "lblStatus"}) {
    EXPECT_EQ(window.findChild<QLabel*>(QString::fromLatin1(label))->focusPolicy(), Qt::NoFocus);
  }
}

TEST_F(FrmMainTest, WindowHasItsCaptionFixedSizePlaceAndNoTitleBarButtons) {
  TfrmMain& window = Create();
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Pelorin 32"));
  const testing_support::Place place = testing_support::kMainWindowPlace;
  EXPECT_EQ(window.size(), QSize(place.width, place.height));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  EXPECT_EQ(window.pos(), QPoint(place.x, place.y));
  const Qt::WindowFlags flags = window.windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowSystemMenuHint));
}

TEST_F(FrmMainTest, PopupMenuHoldsItsItemsWithCloseAsDefault) {
  TfrmMain& window = Create();
  QStringList captions;
  for (QAction* item : window.PopupMenu1->actions()) {
    captions << (item->isSeparator() ? QStringLiteral("-") : item->text());
  }
  EXPECT_EQ(captions, QStringList({"&Show Tessaly", "&Outbox...", "&About Pelorin", "-",
                                   "&Properties", "&Close"}));
  EXPECT_EQ(window.PopupMenu1->defaultAction(), window.Close1);
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(window.Timer1->interval(), 60000);
}

TEST_F(FrmMainTest, TrayModeStartsHiddenWithTheIconShown) {
  TfrmMain& window = Create();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.TaskIcon->Enabled());
  EXPECT_EQ(window.TaskIcon->Hint(), "Click here to send an e-mail!");
  ASSERT_EQ(ShellCalls().size(), 1u);
  EXPECT_EQ(ShellCalls()[0].message, os::NIM_ADD);
  EXPECT_EQ(ShellCalls()[0].record.hMenu, window.PopupMenu1)
      << "for trays that open the menu themselves";
  EXPECT_TRUE(boxes_.Boxes().empty());

  window.TaskIconClick(window.TaskIcon);
  EXPECT_TRUE(window.isVisible());
  window.cmdMin->click();
  EXPECT_FALSE(window.isVisible()) << "in tray mode \"&Close\" only hides the window";
}

TEST_F(FrmMainTest, WithoutANotificationAreaTheWindowShowsItself) {
  world_.shell.AcceptAll(false);
  TfrmMain& window = Create();
  EXPECT_FALSE(window.TaskIcon->Enabled());
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.ShownWithoutTrayIcon());
  EXPECT_FALSE(window.windowFlags().testFlag(Qt::Tool)) << "it needs a taskbar entry";
}

TEST_F(FrmMainTest, MissingIconFileIsReportedAndTheWindowShowsItself) {
  std::filesystem::remove(pelorin::ProgramDir + "skelmar32.ico");
  TfrmMain& window = Create();
  ASSERT_EQ(boxes_.Texts().size(), 1u);
  EXPECT_EQ(boxes_.Texts()[0], "Cannot open file " + pelorin::ProgramDir + "skelmar32.ico.");
  EXPECT_TRUE(ShellCalls().empty());
  EXPECT_TRUE(window.isVisible());
}

TEST_F(FrmMainTest, AddAppendsTheFieldsEmptiesThemAndSaves) {
  TfrmMain& window = Create();
  window.edsName->setEditText("Ann");
  window.edsEmail->setText("ann@example.org");
  window.edsSubj->setText("typed subject");
  window.edsMemo->setPlainText("typed body");
  window.cmdAdd->click();
  window.cmdAdd->click();  // both fields now empty: an empty entry is added too

  EXPECT_EQ(pelorin::NameList, (std::vector<std::string>{"Ann", ""}));
  EXPECT_EQ(pelorin::AddressList, (std::vector<std::string>{"ann@example.org", ""}));
  EXPECT_EQ(window.edsName->count(), 2);
  EXPECT_EQ(window.edsName->currentIndex(), -1);
  for (const QString& text : {window.edsName->currentText(), window.edsEmail->text(),
                              window.edsSubj->text(), window.edsMemo->toPlainText()}) {
    EXPECT_TRUE(text.isEmpty());
  }
  EXPECT_EQ(ConfigurationFile(),
            "localhost:25\r\n\r\n\r\nFALSE\r\nAnn\r\nann@example.org\r\n\r\n\r\n");
}

TEST_F(FrmMainTest, LineBreaksPastedIntoNameOrAddressAreStoredAsBlanks) {
  TfrmMain& window = Create();
  window.edsName->setEditText(QStringLiteral("Ann\r\nSmith"));
  window.edsEmail->setText(QStringLiteral("ann@\nexample.org"));
  window.cmdAdd->click();
  EXPECT_EQ(pelorin::NameList, std::vector<std::string>{"Ann  Smith"});
  EXPECT_EQ(pelorin::AddressList, std::vector<std::string>{"ann@ example.org"});
  EXPECT_EQ(window.edsName->itemText(0), QStringLiteral("Ann  Smith"));
  EXPECT_EQ(ConfigurationFile(),
            "localhost:25\r\n\r\n\r\nFALSE\r\nAnn  Smith\r\nann@ example.org\r\n");
}

// The file holds UTF-8 for what the window adds, and keeps the bytes of an entry carried over
// from a code-page system (shown as U+FFFD) as they are.
TEST_F(FrmMainTest, NamesBeyondAsciiAreSavedAsUtf8AndOlderBytesStay) {
  pelorin::NameList = {"J\xf6rg"};
  pelorin::AddressList = {"j@x"};
  TfrmMain& window = Create();
  EXPECT_EQ(window.edsName->itemText(0), QStringLiteral("J\uFFFDrg"));
  window.edsName->setEditText(QStringLiteral("Gr\u00FC\u00DFe"));
  window.edsEmail->setText(QStringLiteral("g@x"));
  window.cmdAdd->click();
  EXPECT_EQ(ConfigurationFile(),
            "localhost:25\r\n\r\n\r\nFALSE\r\nJ\xf6rg\r\nj@x\r\nGr\xc3\xbc\xc3\x9f"
            "e\r\ng@x\r\n");
}

TEST_F(FrmMainTest, DuplicateNamesEachFillTheirOwnAddress) {
  pelorin::NameList = {"Bob", "Bob"};
  pelorin::AddressList = {"first@example.org", "second@example.org"};
  TfrmMain& window = Create();
  window.edsSubj->setText("s");
  window.edsMemo->setPlainText("b");
  for (int index : {1, 0}) {
    window.edsName->setCurrentIndex(index);
    window.edsNameClick(window.edsName);
    EXPECT_EQ(window.edsEmail->text().toStdString(), pelorin::AddressList[index]);
    EXPECT_TRUE(window.edsSubj->text().isEmpty());
    EXPECT_TRUE(window.edsMemo->toPlainText().isEmpty());
  }
}

TEST_F(FrmMainTest, DeleteNeedsAPickedNameAndSaves) {
  pelorin::NameList = {"A", "B", "C"};
  pelorin::AddressList = {"a@x", "b@x", "c@x"};
  TfrmMain& window = Create();
  window.cmdDel->click();
  EXPECT_EQ(pelorin::NameList.size(), 3u) << "no name picked: nothing is deleted";
  EXPECT_FALSE(std::filesystem::exists(pelorin::ConfigurationPath()));

  window.edsName->setCurrentIndex(1);
  window.cmdDel->click();
  EXPECT_EQ(pelorin::NameList, (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(pelorin::AddressList, (std::vector<std::string>{"a@x", "c@x"}));
  EXPECT_EQ(window.edsName->count(), 2);
  EXPECT_EQ(window.edsName->currentIndex(), -1);
  EXPECT_EQ(ConfigurationFile(), "localhost:25\r\n\r\n\r\nFALSE\r\nA\r\na@x\r\nC\r\nc@x\r\n");
  window.cmdDel->click();
  EXPECT_EQ(pelorin::NameList.size(), 2u) << "after a delete a name must be picked again";
}

TEST_F(FrmMainTest, TypingOverAPickedNameLeavesNoEntrySelected) {
  pelorin::NameList = {"A"};
  pelorin::AddressList = {"a@x"};
  TfrmMain& window = Create();
  window.edsName->setCurrentIndex(0);
  window.edsName->setEditText("Someone else");
  EXPECT_EQ(window.edsName->currentIndex(), -1);
  EXPECT_EQ(window.edsName->currentText(), QStringLiteral("Someone else"));
}

TEST_F(FrmMainTest, StatusReturnsToWaitingOnEditsButNotWhenSubjectOrBodyAreEmptiedByTheProgram) {
  TfrmMain& window = Create();
  const QString sent = QStringLiteral("Mail has been sent!");
  struct Edit {
    const char* what;
    std::function<void()> change;
    bool waiting;
  };
  const std::vector<Edit> edits = {
      {"name typed", [&] { window.edsName->setEditText("n"); }, true},
      {"address set", [&] { window.edsEmail->setText("a"); }, true},
      {"subject typed", [&] { window.edsSubj->setText("s"); }, true},
      {"body typed", [&] { window.edsMemo->setPlainText("b"); }, true},
      {"subject emptied", [&] { window.edsSubj->clear(); }, false},
      {"address set to what it holds", [&] { window.edsEmail->setText("a"); }, false},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.what);
    window.lblStatus->setText(sent);
    edit.change();
    EXPECT_EQ(window.lblStatus->text(), edit.waiting ? QStringLiteral("Waiting...") : sent);
  }
}

// The tool tip that resting the mouse on `widget` shows; empty when none.
QString ToolTipShownFor(QWidget* widget) {
  QToolTip::hideText();
  const QPoint inside = widget->rect().center();
  QHelpEvent hover(QEvent::ToolTip, inside, widget->mapToGlobal(inside));
  QApplication::sendEvent(widget, &hover);
  return QToolTip::isVisible() ? QToolTip::text() : QString();
}

// A failure's reason can be of any length: every status must stay inside the window, clear of
// the buttons, and be readable whole there or, where it is too long for the room, in its tool
// tip.
TEST_F(FrmMainTest, EveryStatusTextStaysInTheWindowAndCanBeReadWhole) {
  TfrmMain& window = Create();
  window.TaskIconClick(nullptr);
  QLabel* status = window.lblStatus;
  QRect buttons;
  for (QWidget* button : {window.cmdMake, window.cmdAdd, window.cmdDel, window.cmdMin}) {
    buttons |= button->geometry();
  }
  std::vector<QString> texts = {
      QStringLiteral("Waiting..."),
      QStringLiteral("Mail has been sent!"),
      QStringLiteral("Mail not sent (Connection refused); it stays queued for the next send."),
      QStringLiteral("500 first line\r\n501 second line"),
      QString(400, QLatin1Char('W')),
  };
  for (int words = 1; words <= 64; words += 9) {
    texts.push_back(QStringLiteral("Mail not sent (") + QStringLiteral("reason ").repeated(words) +
                    QStringLiteral("); it stays queued for the next send."));
  }
  int tooLong = 0;
  for (const QString& text : texts) {
    SCOPED_TRACE(text.toStdString());
    status->setText(text);
    status->adjustSize();  // as the window does with every status
    EXPECT_TRUE(window.rect().contains(status->geometry())) << "inside the window";
    EXPECT_FALSE(status->geometry().intersects(buttons)) << "clear of the buttons";
    EXPECT_EQ(status->text(), text) << "the label keeps the whole text";
    const bool fitsWhole =
        !text.contains(QLatin1Char('\n')) &&
        status->fontMetrics().horizontalAdvance(text) <= status->contentsRect().width();
    if (!fitsWhole) {
      ++tooLong;
      EXPECT_EQ(ToolTipShownFor(status), text);
    }
  }
  QToolTip::hideText();
  EXPECT_GE(tooLong, 5) << "the long texts must not fit, or the tool tip goes untested";
}

struct LinkCase {
  const char* link;
  const char* email;
  const char* subject;
  const char* body;
};

TEST_F(FrmMainTest, LinkModeShowsNoIconAndPrefillsFromTheLink) {
  const std::vector<LinkCase> cases = {
      {"mailto:x?Subject=Hello", "x", "Hello", ""},
      {"mailto:x", "x", "", ""},
      {"mailto:x?subject=Hello", "x", "Hello", ""},
      {"mailto:x?Subject=Hi%20there", "x", "Hi there", ""},
      {"MAILTO:x", "x", "", ""},
      {"mailto:bob@example.org?subject=Gr%C3%BC%C3%9Fe&body=Hi%20Bob%2C%0D%0Asee%20you",
       "bob@example.org", "Gr\u00FC\u00DFe", "Hi Bob,\nsee you"},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.link);
    ShellCalls().clear();
    TfrmMain& window = Create({"pelorin32", "/u", c.link});
    EXPECT_EQ(window.edsEmail->text(), QString::fromUtf8(c.email));
    EXPECT_EQ(window.edsSubj->text(), QString::fromUtf8(c.subject));
    EXPECT_TRUE(window.edsName->currentText().isEmpty());
    EXPECT_EQ(window.edsMemo->toPlainText(), QString::fromUtf8(c.body));
    EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Waiting..."));
    EXPECT_TRUE(ShellCalls().empty());
    EXPECT_FALSE(window.TaskIcon->Enabled());
  }
}

// The window shown and active, with the keyboard focus in `field`.
void FocusIn(TfrmMain& window, QWidget* field) {
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  field->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), field);
}

// A draft that a copy left when it ended (here one file alone, as earlier versions kept it)
// comes back with a status that says so. In link mode the link's fields win where it gives
// them, and the draft's name only goes with its address; a link whose subject or body differs
// from the draft's leaves the draft untouched for a later start.
TEST_F(FrmMainTest, ADraftLeftComesBackAndALinksFieldsWinWhereItGivesThem) {
  using pelorin::DraftFields;
  const DraftFields left{"Ann", "ann@example.org", "Draft subject", "Draft body"};
  struct Case {
    std::vector<std::string> arguments;
    DraftFields shown;
    bool restored;
  };
  const std::vector<Case> cases = {
      {{"pelorin32"}, left, true},
      {{"pelorin32", "/u", "mailto:ann@example.org"}, left, true},
      {{"pelorin32", "/u", "mailto:bob@example.org?Subject=Draft%20subject"},
       {"", "bob@example.org", "Draft subject", "Draft body"},
       true},
      {{"pelorin32", "/u", "mailto:bob@example.org?Subject=Link"},
       {"", "bob@example.org", "Link", ""},
       false},
  };
  const std::string state = pelorin::OutboxFolder::DefaultStateDirectory();
  std::filesystem::create_directories(state);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    window_.reset();  // the draft it owns goes with it
    app_test::WriteBytes(state + "/draft", pelorin::DraftFileBytes(left));
    TfrmMain& window = Create(c.arguments);
    window.KeepDraftsIn(std::make_unique<pelorin::DraftStore>(state));
    EXPECT_EQ(
        (DraftFields{window.edsName->currentText().toStdString(),
                     window.edsEmail->text().toStdString(), window.edsSubj->text().toStdString(),
                     window.edsMemo->toPlainText().toStdString()}),
        c.shown);
    EXPECT_EQ(window.lblStatus->text() ==
                  QStringLiteral("The text you were writing when the program last ended is back."),
              c.restored);
    ASSERT_NO_FATAL_FAILURE(FocusIn(window, window.edsMemo));
    QTest::keyClicks(window.edsMemo, QStringLiteral(" typed"));
    QTest::keyClick(window.edsMemo, Qt::Key_Escape);  // kept at once
    if (!c.restored) {
      EXPECT_EQ(testing_support::ReadFile(state + "/draft"), pelorin::DraftFileBytes(left));
    }
  }
}

// A port on 127.0.0.1 that refuses connections: bound, never listening, so that no other
// program can take it while the test runs.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot bind a port on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::string Port() const { return std::to_string(port_); }

 private:
  int fd_;
  unsigned short port_ = 0;
};

// While another copy's fields hold a draft, a link-mode window keeps what is typed in a file of
// its own when Escape ends it, and a later start takes that in.
TEST_F(FrmMainTest, ALinkWindowKeepsItsTextBesideAnotherCopysDraft) {
  const std::string state = pelorin::OutboxFolder::DefaultStateDirectory();
  const pelorin::DraftFields trayText{"", "tray@example.org", "Tray", "the tray's draft"};
  pelorin::DraftStore tray(state);
  std::string why;
  ASSERT_TRUE(tray.TakeFree(why)) << why;
  ASSERT_EQ(tray.Keep(trayText), "");
  TfrmMain& link = Create({"pelorin32", "/u", "mailto:ann@example.org"});
  link.KeepDraftsIn(std::make_unique<pelorin::DraftStore>(state));
  ASSERT_NO_FATAL_FAILURE(FocusIn(link, link.edsSubj));
  QTest::keyClicks(link.edsSubj, QStringLiteral("typed in link mode"));
  QTest::keyClick(link.edsSubj, Qt::Key_Escape);
  ASSERT_FALSE(link.isVisible());
  TfrmMain& later = Create();
  later.KeepDraftsIn(std::make_unique<pelorin::DraftStore>(state));
  EXPECT_EQ(later.edsEmail->text(), QStringLiteral("ann@example.org"));
  EXPECT_EQ(later.edsSubj->text(), QStringLiteral("typed in link mode"));
  EXPECT_EQ(tray.Read().draft, trayText);
}

TEST_F(FrmMainTest, CtrlReturnInTheBodySendsAsTheSendButtonDoes) {
  const RefusingPort server;
  pelorin::SmtpServer = "127.0.0.1";
  pelorin::SmtpPort = server.Port();
  for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
    SCOPED_TRACE(key == Qt::Key_Return ? "Return" : "Enter");
    TfrmMain& window = Create();
    std::vector<QString> statuses;
    QObject::connect(&window, &TfrmMain::StatusShown,
                     [&statuses](const QString& text) { statuses.push_back(text); });
    window.edsEmail->setText(QStringLiteral("x@example.org"));
    window.edsMemo->setPlainText(QStringLiteral("body"));
    ASSERT_NO_FATAL_FAILURE(FocusIn(window, window.edsMemo));
    statuses.clear();
    QTest::keyClick(window.edsMemo, key, Qt::ControlModifier);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), QStringLiteral("Creating mail..."));
    EXPECT_EQ(window.Workflow().Queue().Size(), 1u);
    EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("body")) << "no line break typed";
    // The refused connection ends the send; the window goes only once it has.
    EXPECT_TRUE(testing_support::RunEventsUntil(
        [&window] { return window.lblStatus->text().startsWith(QStringLiteral("Mail not sent")); },
        10000))
        << window.lblStatus->text().toStdString();
    // The refused message waits on disk: the next round starts without it.
    while (!window.Workflow().Queue().Empty()) window.Workflow().Queue().TakeHead();
    window_.reset();
  }
}

TEST_F(FrmMainTest, ReturnTabAndCtrlReturnElsewhereKeepTheirOwnMeaning) {
  TfrmMain& window = Create();
  std::vector<QString> statuses;
  QObject::connect(&window, &TfrmMain::StatusShown,
                   [&statuses](const QString& text) { statuses.push_back(text); });
  ASSERT_NO_FATAL_FAILURE(FocusIn(window, window.edsMemo));
  QTest::keyClicks(window.edsMemo, QStringLiteral("one"));
  QTest::keyClick(window.edsMemo, Qt::Key_Return);
  QTest::keyClicks(window.edsMemo, QStringLiteral("two"));
  EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("one\ntwo"));
  QTest::keyClick(window.edsMemo, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), window.cmdMake) << "Tab moves on";
  ASSERT_NO_FATAL_FAILURE(FocusIn(window, window.edsSubj));
  QTest::keyClick(window.edsSubj, Qt::Key_Return, Qt::ControlModifier);
  EXPECT_TRUE(std::none_of(statuses.begin(), statuses.end(), [](const QString& s) {
    return s == QStringLiteral("Creating mail...");
  }));
  EXPECT_TRUE(window.Workflow().Queue().Empty());
  EXPECT_TRUE(window.isVisible());
}

// Counts the close events a window receives: closing, unlike hiding, ends the program.
class CloseCounter : public QObject {
 public:
  explicit CloseCounter(QWidget* window) : QObject(window) { window->installEventFilter(this); }
  int Count() const { return count_; }

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Close) ++count_;
    return false;
  }

 private:
  int count_ = 0;
};

TEST_F(FrmMainTest, EscapeDoesWhatTheCloseButtonDoes) {
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    int closes;
  };
  const std::vector<Case> cases = {
      {"tray mode: the window hides, the program stays", {"pelorin32"}, 0},
      {"link mode: the window closes, which ends the program", {"pelorin32", "/u", "mailto:x"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TfrmMain& window = Create(c.arguments);
    const auto* closes = new CloseCounter(&window);
    ASSERT_NO_FATAL_FAILURE(FocusIn(window, window.edsSubj));
    QTest::keyClick(window.edsSubj, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(closes->Count(), c.closes);
  }
}

TEST_F(FrmMainTest, UpperCaseSwitchMeansTrayMode) {
  TfrmMain& window = Create({"pelorin32", "/U", "mailto:x"});
  EXPECT_TRUE(window.TaskIcon->Enabled());
  EXPECT_TRUE(window.edsEmail->text().isEmpty());
}

TEST_F(FrmMainTest, CloseFromTheMenuStopsTheTimeoutAndClosesTheWindow) {
  TfrmMain& window = Create();
  window.TaskIconClick(window.TaskIcon);
  window.Timer1->start();
  window.Close1->trigger();
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_FALSE(window.isVisible());
}

// Queued mail is on disk: closing asks nothing and keeps every queued message for the next
// run, from the menu and from the window system's close (in link mode, where it ends) alike.
TEST_F(FrmMainTest, ClosingWithMailStillQueuedKeepsItForTheNextRun) {
  for (const bool fromMenu : {true, false}) {
    SCOPED_TRACE(fromMenu ? "menu" : "window system");
    os::BoxRecorder answers(os::IDCANCEL);
    TfrmMain& window =
        fromMenu ? Create() : Create(std::vector<std::string>{"pelorin32", "/u", "mailto:x"});
    ASSERT_EQ(window.Workflow().Queue().Append("x@example.org", "Subject: s\r\n\r\nbody\r\n", {}),
              "");
    window.TaskIconClick(window.TaskIcon);
    window.Timer1->start();
    if (fromMenu) {
      window.Close1->trigger();
    } else {
      window.close();
    }
    EXPECT_EQ(answers.Texts(), std::vector<std::string>{});
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.Timer1->isActive());
    window_.reset();
    TfrmMain& next = Create();
    EXPECT_EQ(next.Workflow().Queue().Size(), fromMenu ? 1u : 2u) << "kept on disk";
    EXPECT_EQ(next.lblStatus->text().toStdString(),
              fromMenu ? "1 message waits; it goes out with the next send."
                       : "2 messages wait; they go out with the next send.");
    window_.reset();
  }
}

// A close from outside (the window manager's Alt+F4 or close box; close() takes the same path,
// through the platform's close event) does what "&Close" does: in the tray the window hides
// and the send and its time-out go on; where "&Close" ends the program, so does it.
TEST_F(FrmMainTest, CloseFromTheWindowManagerDoesWhatTheCloseButtonDoes) {
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    bool trayShown;
    bool ends;
  };
  const std::vector<Case> cases = {
      {"tray mode", {"pelorin32"}, true, false},
      {"tray mode without a tray", {"pelorin32"}, false, true},
      {"link mode", {"pelorin32", "/u", "mailto:x"}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    world_.shell.AcceptAll(c.trayShown);
    TfrmMain& window = Create(c.arguments);
    window.show();
    window.Timer1->start();
    EXPECT_EQ(window.close(), c.ends) << "whether the close was taken";
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.Timer1->isActive(), !c.ends);
  }
}

TEST_F(FrmMainTest, MenuOpensTheSettingsDialogAndTheAboutBoxOwnedByTheWindow) {
  TfrmMain& window = Create();
  window.Properties1->trigger();
  ASSERT_FALSE(pelorin::frmSettings.isNull());
  EXPECT_TRUE(pelorin::SettingsOpen);
  EXPECT_TRUE(pelorin::frmSettings->isVisible());
  EXPECT_EQ(pelorin::frmSettings->parentWidget(), &window);
  TfrmSettings* first = pelorin::frmSettings.data();
  window.Properties1->trigger();
  EXPECT_EQ(pelorin::frmSettings.data(), first) << "an open dialog is shown again, not made anew";

  window.AboutSkelmar1->trigger();
  ASSERT_FALSE(pelorin::frmAbout.isNull());
  EXPECT_TRUE(pelorin::AboutOpen);
  EXPECT_TRUE(pelorin::frmAbout->isVisible());
  EXPECT_EQ(pelorin::frmAbout->parentWidget(), &window);
  delete pelorin::frmSettings.data();
  delete pelorin::frmAbout.data();
  pelorin::SettingsOpen = false;
  pelorin::AboutOpen = false;
}

}  // namespace
