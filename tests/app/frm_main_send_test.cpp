// The send workflow of the quick-send window offscreen, against a scripted SMTP peer on
// 127.0.0.1: the message as the server receives it, the status texts in their order, dial-up
// through fake provider libraries, refusals, silence, resets, a second Send during a send, and
// the end of the program in link mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/frm_main.h"
#include "app/globals.h"
#include "app/scripted_smtp_peer.h"
#include "os/dynlib.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "os/registry.h"
#include "os/shell_tray.h"
#include "platform/dialup.h"
#include "platform/dialup_key.h"
#include "support/event_loop.h"
#include "transport/smtp_session.h"

// Readable failures for texts of the window.
void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace {

using pelorin::TfrmMain;
using testing_support::RunEventsFor;
using testing_support::RunEventsUntil;

const std::string kHeaderTail =
    "From: me@example.com\r\n"
    "X-Mailer: Pelorin 1.06\r\n"
    "X-Advertisment: Check out Vantrel at https://pelorin32.example.org/\r\n"
    "\r\n"
    "\r\n";
const QString kSent = QStringLiteral("Mail has been sent!");
const QString kStaysQueued =
    QStringLiteral("Mail not sent (the server refused it); it stays queued for the next send.");
const QString kRefused = QStringLiteral("Mail not sent: the server refused it.");

std::string HostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

// The dial-up key opens whatever this machine has installed: the tests bring their own provider.
class OpenKey : public os::VirtualKey {
 public:
  os::LSTATUS Open(os::REGSAM) override { return os::ERROR_SUCCESS; }
  std::optional<std::string> QueryString(const std::string&) override { return std::nullopt; }
  os::LSTATUS SetString(const std::string&, const std::string&) override {
    return os::ERROR_ACCESS_DENIED;
  }
};

class SendWorkflowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    pelorin::ResetGlobals();
    pelorin::OutboxBodies.clear();
    pelorin::OutboxRecipients.clear();
    pelorin::SmtpResetSession();
    pelorin::ResetDialupForTesting();
    pelorin::ProgramDir = dir_.path().toStdString() + "/";
    std::filesystem::copy_file(PELORIN_ICON_FILE, pelorin::ProgramDir + "skelmar32.ico");
    os::SetShellNotifyIconHandler([](unsigned, const os::NOTIFYICONDATA&) { return true; });
    pelorin::SenderAddress = "me@example.com";
    pelorin::SmtpServer = "127.0.0.1";
    pelorin::SmtpPort = peer_.Start();
  }
  void TearDown() override {
    window_.reset();
    os::SetShellNotifyIconHandler(nullptr);
    os::RegisterVirtualKey(os::HKEY_LOCAL_MACHINE, pelorin::kDialupKeyPath, nullptr);
    ::unsetenv("PELORIN_RAS_LIBRARY_DIR");
    pelorin::ResetDialupForTesting();
  }

  TfrmMain& Create(std::vector<std::string> arguments = {"pelorin32"}) {
    os::SetCommandLine(arguments);
    window_ = std::make_unique<TfrmMain>();
    QObject::connect(window_.get(), &TfrmMain::StatusShown,
                     [this](const QString& text) { statuses_.push_back(text); });
    // The window registers the key that stands for pppd; the tests bring their own provider.
    if (openRasKey_) {
      os::RegisterVirtualKey(os::HKEY_LOCAL_MACHINE, pelorin::kDialupKeyPath,
                             std::make_shared<OpenKey>());
    }
    if (arguments.size() < 2) window_->TaskIconClick(nullptr);
    window_->show();
    return *window_;
  }

  void UseDialup(const std::string& provider) {
    ::setenv("PELORIN_RAS_LIBRARY_DIR",
             (std::string(PELORIN_FAKE_RAS_DIR) + "/" + provider).c_str(), 1);
    openRasKey_ = true;
    pelorin::UseDialup = true;
    pelorin::DialEntry = "Home ISP";
  }

  static std::string FakeRasCalls() {
    using Calls = const char* (*)();
    auto calls = reinterpret_cast<Calls>(os::GetProcAddress(pelorin::RasLibrary, "FakeRasCalls"));
    return calls != nullptr ? calls() : "no fake provider loaded";
  }

  void Type(const QString& email, const QString& subject, const QString& body) {
    window_->edsEmail->setText(email);
    window_->edsSubj->setText(subject);
    window_->edsMemo->setPlainText(body);
  }

  // Presses Send and waits until the send has ended with one of its final texts.
  void SendAndWait(int timeoutMs = 10000) {
    statuses_.clear();
    window_->cmdMake->click();
    ASSERT_TRUE(WaitForFinalStatus(timeoutMs)) << "status: " << Status();
  }

  bool WaitForFinalStatus(int timeoutMs = 10000) {
    return RunEventsUntil(
        [this] {
          const QString status = window_->lblStatus->text();
          return status.startsWith(QStringLiteral("Mail")) ||
                 status.startsWith(QStringLiteral("TRas"));
        },
        timeoutMs);
  }

  std::string Status() const { return window_->lblStatus->text().toStdString(); }

  QTemporaryDir dir_;
  os::BoxRecorder boxes_;
  app_test::ScriptedSmtpPeer peer_;
  std::unique_ptr<TfrmMain> window_;
  std::vector<QString> statuses_;
  bool openRasKey_ = false;
};

// --- The message ---

TEST_F(SendWorkflowTest, SendsTheComposedMessageWithTheChosenName) {
  pelorin::NameList = {"Ann", "Bob"};
  pelorin::AddressList = {"ann@example.org", "bob@example.org"};
  TfrmMain& window = Create();
  window.edsName->setCurrentIndex(1);
  window.edsNameClick(window.edsName);
  window.edsSubj->setText(QStringLiteral("Hello"));
  window.edsMemo->setPlainText(QStringLiteral("First line\n.\nLast line"));
  SendAndWait();

  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], "Subject: Hello\r\nTo: Bob <bob@example.org>\r\n" + kHeaderTail +
                                     "First line\r\n.\r\nLast line\r\n");
  EXPECT_EQ(peer_.Commands(),
            (std::vector<std::string>{"HELO " + HostName(), "MAIL FROM: <me@example.com>",
                                      "RCPT TO: <bob@example.org>", "DATA", "QUIT"}));
  EXPECT_TRUE(pelorin::OutboxBodies.empty());
  EXPECT_TRUE(pelorin::OutboxRecipients.empty());
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SendWorkflowTest, ATypedNameAndAnEmptyMemoGiveNoNameAndNoBodyLines) {
  pelorin::NameList = {"Ann"};
  pelorin::AddressList = {"ann@example.org"};
  TfrmMain& window = Create();
  window.edsName->setEditText(QStringLiteral("Somebody"));
  Type(QStringLiteral("x@example.org"), QStringLiteral(""), QStringLiteral(""));
  SendAndWait();
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], "Subject: \r\nTo:  <x@example.org>\r\n" + kHeaderTail);
}

TEST_F(SendWorkflowTest, AWrappedParagraphGivesTheLinesTheMemoShows) {
  Create();
  const QString paragraph = QStringLiteral(
      "This paragraph is much longer than the memo is wide, so that the memo wraps it onto "
      "several lines of its own, and each of them becomes a line of the message.");
  Type(QStringLiteral("x@example.org"), QStringLiteral("wrap"), paragraph + "\n\nend\n");
  SendAndWait();
  ASSERT_EQ(peer_.Messages().size(), 1u);
  const std::string message = peer_.Messages()[0];
  const std::string body = message.substr(message.find("\r\n\r\n\r\n") + 6);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < body.size();) {
    const std::size_t end = body.find("\r\n", start);
    lines.push_back(body.substr(start, end - start));
    start = end + 2;
  }
  ASSERT_GE(lines.size(), 5u) << body;  // wrapped lines, an empty one, "end"; no trailing one
  EXPECT_EQ(lines[lines.size() - 2], "");
  EXPECT_EQ(lines.back(), "end");
  std::string rejoined;
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) rejoined += lines[i];
  EXPECT_EQ(QString::fromStdString(rejoined), paragraph);
}

// --- Status and fields ---

TEST_F(SendWorkflowTest, ASendShowsItsStatusesAndEmptiesSubjectAndBody) {
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  window.edsName->setEditText(QStringLiteral("Name"));
  SendAndWait();
  EXPECT_EQ(statuses_, (std::vector<QString>{QStringLiteral("Creating mail..."),
                                             QStringLiteral("Sending mail..."), kSent}));
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_EQ(window.edsSubj->text(), QString());
  EXPECT_EQ(window.edsMemo->toPlainText(), QString());
  EXPECT_EQ(window.edsEmail->text(), QStringLiteral("x@example.org"));
  EXPECT_EQ(window.edsName->currentText(), QStringLiteral("Name"));
  EXPECT_EQ(window.focusWidget(), window.edsSubj);
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_TRUE(window.isVisible());
}

TEST_F(SendWorkflowTest, WithDialupTheLineIsDialledFirstAndHungUpAfterwards) {
  UseDialup("complete");
  Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  SendAndWait();
  EXPECT_EQ(statuses_, (std::vector<QString>{QStringLiteral("Creating mail..."),
                                             QStringLiteral("Establishing ISP connection..."),
                                             QStringLiteral("Sending mail..."),
                                             QStringLiteral("Hanging up..."), kSent}));
  const std::string calls = FakeRasCalls();
  EXPECT_NE(calls.find("RasDialA ext=null book=null size=1052 entry=Home ISP"), std::string::npos)
      << calls;
  EXPECT_NE(calls.find("RasHangUpA handle=20817"), std::string::npos) << calls;
  EXPECT_FALSE(pelorin::RasDialledByUs);
  EXPECT_EQ(peer_.Messages().size(), 1u);
}

TEST_F(SendWorkflowTest, ARefusedDialStopsTheSendBeforeAnyConnection) {
  UseDialup("dial_params_fail");
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  SendAndWait();
  const QString refusal =
      QStringLiteral("TRasGetEntryDialParams failed: The phone book entry could not be found.");
  EXPECT_EQ(statuses_,
            (std::vector<QString>{QStringLiteral("Creating mail..."),
                                  QStringLiteral("Establishing ISP connection..."), refusal}));
  RunEventsFor(200);
  EXPECT_EQ(window.lblStatus->text(), refusal);
  EXPECT_EQ(peer_.Connections(), 0);
  EXPECT_EQ(pelorin::OutboxBodies.size(), 1u);
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("S"));
}

// --- Refusals ---

TEST_F(SendWorkflowTest, ARefusalAtEachStepIsShownAndNeverCountsAsSent) {
  struct Case {
    const char* step;
    const char* reply;
    bool messageStaysQueued;
  };
  const std::vector<Case> cases = {
      {"greeting", "421 closing down", true},
      {"HELO", "501 bad hello", true},
      {"MAIL", "451 try later", true},
      {"RCPT", "550 no such user", false},
      {"DATA", "554 no data", false},
      {"data", "552 too big", false},
      {"data", "451 later", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.step) + " " + c.reply);
    pelorin::OutboxBodies.clear();
    pelorin::OutboxRecipients.clear();
    boxes_.Clear();
    app_test::ScriptedSmtpPeer peer;
    peer.Script(c.step, {c.reply});
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window = Create();
    Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
    SendAndWait();

    EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{std::string(c.reply) + "\r\n"}));
    EXPECT_EQ(pelorin::OutboxBodies.size(), c.messageStaysQueued ? 1u : 0u);
    EXPECT_EQ(window.lblStatus->text(), c.messageStaysQueued ? kStaysQueued : kRefused);
    // Queued, the text waits in the outbox; refused for good, it stays for a corrected send.
    EXPECT_EQ(window.edsSubj->text(), c.messageStaysQueued ? QString() : QStringLiteral("S"));
    EXPECT_EQ(window.edsMemo->toPlainText(),
              c.messageStaysQueued ? QString() : QStringLiteral("B"));
    EXPECT_FALSE(window.Timer1->isActive());
    window_.reset();
  }
}

TEST_F(SendWorkflowTest, AQueuedMessageGoesFirstWithTheNextSendInOneConnection) {
  peer_.Script("data", {"451 later", "250 accepted"});
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  SendAndWait();
  EXPECT_EQ(window.lblStatus->text(), kStaysQueued);
  Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
  SendAndWait();
  EXPECT_EQ(window.lblStatus->text(), kSent);
  const std::vector<std::string> messages = peer_.Messages();
  ASSERT_EQ(messages.size(), 3u);  // the first one twice: refused, then accepted
  EXPECT_EQ(messages[1].substr(0, 15), "Subject: first\r");
  EXPECT_EQ(messages[2].substr(0, 16), "Subject: second\r");
  EXPECT_EQ(peer_.Connections(), 2);
  EXPECT_TRUE(pelorin::OutboxBodies.empty());
}

// After any fault of the server, what it did not accept is still queued (and the window
// emptied) or still in the window, and the next send delivers it.
TEST_F(SendWorkflowTest, AfterAnyFaultTheNextSendDeliversWhatWasNotAccepted) {
  struct Case {
    const char* step;
    const char* fault;  // the step's first answer; later ones are the usual
    const char* usual;
  };
  const std::vector<Case> cases = {
      {"greeting", "421 closing down", "220 ready"},
      {"greeting", "<reset>", "220 ready"},
      {"HELO", "501 bad hello", "250 hello"},
      {"HELO", "<silent>", "250 hello"},
      {"MAIL", "451 try later", "250 ok"},
      {"MAIL", "<close>", "250 ok"},
      {"RCPT", "450 mailbox busy", "250 ok"},
      {"RCPT", "550 no such user", "250 ok"},
      {"DATA", "554 no data", "354 go ahead"},
      {"DATA", "<reset>", "354 go ahead"},
      {"data", "451 later", "250 accepted"},
      {"data", "552 too big", "250 accepted"},
      {"data", "<close>", "250 accepted"},
      {"mid-data", "<reset>", ""},
      {"mid-data", "<close>", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.step) + " " + c.fault);
    pelorin::OutboxBodies.clear();
    pelorin::OutboxRecipients.clear();
    app_test::ScriptedSmtpPeer peer;
    if (std::string(c.step) != "mid-data") {
      peer.Script(c.step, {c.fault, c.usual});
    } else if (std::string(c.fault) == "<reset>") {
      peer.ResetMidData();
    } else {
      peer.CloseMidData();
    }
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window = Create();
    const int usualTimeOut = window.Timer1->interval();
    window.Timer1->setInterval(500);  // for the silent server
    Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QString(3000, QLatin1Char('1')));
    SendAndWait();
    ASSERT_NE(window.lblStatus->text(), kSent);
    const bool queued = pelorin::OutboxBodies.size() == 1;
    const bool inWindow = window.edsSubj->text() == QStringLiteral("first") &&
                          window.edsMemo->toPlainText().size() == 3000;
    ASSERT_NE(queued, inWindow) << "the message is in exactly one place: " << Status();

    window.Timer1->setInterval(usualTimeOut);
    if (queued) {
      Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
    }
    const std::size_t before = peer.Messages().size();
    SendAndWait();
    EXPECT_EQ(window.lblStatus->text(), kSent);
    EXPECT_TRUE(pelorin::OutboxBodies.empty());
    const std::vector<std::string> messages = peer.Messages();
    ASSERT_EQ(messages.size(), before + (queued ? 2u : 1u));
    EXPECT_EQ(messages[before].substr(0, 15), "Subject: first\r");
    // The body went out whole, in the lines the memo wrapped it into.
    std::string unwrapped = messages[before];
    std::erase(unwrapped, '\r');
    std::erase(unwrapped, '\n');
    EXPECT_NE(unwrapped.find(std::string(3000, '1')), std::string::npos);
    window_.reset();
    boxes_.Clear();
  }
}

// --- The session ending the conversation itself ---

TEST_F(SendWorkflowTest, ASilentServerTimesOutOnceAndTheLineIsHungUp) {
  UseDialup("complete");
  peer_.Script("HELO", {"<silent>"});
  TfrmMain& window = Create();
  window.Timer1->setInterval(300);
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  SendAndWait();
  RunEventsFor(1000);  // three more intervals: no further time-out
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{"500 TimeOut\r\n"}));
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(
      window.lblStatus->text(),
      QStringLiteral(
          "Mail not sent (the server stopped answering); it stays queued for the next send."));
  EXPECT_NE(statuses_.end(), std::find(statuses_.begin(), statuses_.end(), "Hanging up..."));
  EXPECT_NE(FakeRasCalls().find("RasHangUpA"), std::string::npos);
  EXPECT_EQ(pelorin::OutboxBodies.size(), 1u);
  EXPECT_EQ(window.edsSubj->text(), QString());
}

// A time-out that runs out while the worker is still inside the connect must not reach the
// socket component under it. Here the worker is held in the box of a failure that the connect
// reports at once, long past the time-out: the user sees that failure once, and nothing else.
TEST_F(SendWorkflowTest, ATimeOutWhileTheWorkerIsStillConnectingWaitsForIt) {
  pelorin::SmtpServer = "";
  boxes_.OnBox([](const os::BoxRequest&) {
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) QThread::msleep(200);
  });
  TfrmMain& window = Create();
  window.Timer1->setInterval(1);
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  SendAndWait();
  RunEventsFor(100);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"500 No IP Address Specified\r\n"});
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Mail not sent (No IP Address Specified); it stays queued for the next "
                           "send."));
}

TEST_F(SendWorkflowTest, DataKeepsTheTimeOutAway) {
  peer_.Script("HELO", {"<hold>250 hello"});
  TfrmMain& window = Create();
  window.Timer1->setInterval(1500);
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  RunEventsFor(1000);
  peer_.Release();  // 1000 ms after the greeting, 500 ms before the time-out
  ASSERT_TRUE(WaitForFinalStatus());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SendWorkflowTest, AResetInTheMiddleOfTheDataEndsTheSend) {
  peer_.ResetMidData();
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QString(2000, QLatin1Char('x')));
  SendAndWait();
  RunEventsFor(200);
  ASSERT_EQ(boxes_.Texts().size(), 1u) << boxes_.Texts().back();
  EXPECT_EQ(boxes_.Texts()[0].substr(0, 4), "500 ");
  EXPECT_TRUE(window.lblStatus->text().startsWith(QStringLiteral("Mail not sent ("))) << Status();
  EXPECT_TRUE(
      window.lblStatus->text().endsWith(QStringLiteral("); it stays queued for the next send.")));
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(pelorin::OutboxBodies.size(), 1u);
}

TEST_F(SendWorkflowTest, AnOddAnswerToQuitAfterEveryMessageWasAcceptedIsStillASend) {
  peer_.Script("QUIT", {"500 what"});
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  SendAndWait();
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{"500 what\r\n"}));
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_FALSE(window.Timer1->isActive());
}

TEST_F(SendWorkflowTest, APortThatIsNoNumberIsReportedAndNothingBreaks) {
  pelorin::SmtpPort = "2x5";
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  SendAndWait();
  ASSERT_EQ(boxes_.Boxes().size(), 1u);
  EXPECT_EQ(boxes_.Boxes()[0].text, "'2x5' is not a valid integer value.");
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Mail not sent ('2x5' is not a valid integer value); it stays queued "
                           "for the next send."));
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(pelorin::SmtpState, 0);
}

TEST_F(SendWorkflowTest, AFailureTheConnectReportsAtOnceEndsTheSend) {
  pelorin::SmtpServer = "";
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  SendAndWait();
  RunEventsFor(200);
  // One box: the failing QUIT and close of the socket that never was report nothing more.
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"500 No IP Address Specified\r\n"});
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Mail not sent (No IP Address Specified); it stays queued for the next "
                           "send."));
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(pelorin::OutboxBodies.size(), 1u);
  EXPECT_EQ(peer_.Connections(), 0);
}

// --- Two presses of Send ---

TEST_F(SendWorkflowTest, ASecondSendDuringTheDataJoinsTheConversationUnderWay) {
  peer_.Script("data", {"<hold>250 accepted"});
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
  window.cmdMake->click();
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Sending mail..."));
  peer_.Release();
  ASSERT_TRUE(WaitForFinalStatus());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_EQ(peer_.Connections(), 1);
  ASSERT_EQ(peer_.Messages().size(), 2u);
  EXPECT_EQ(peer_.Messages()[1].substr(0, 16), "Subject: second\r");
  const std::vector<std::string> commands = peer_.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "QUIT"), 1);
  EXPECT_TRUE(pelorin::OutboxBodies.empty());
}

TEST_F(SendWorkflowTest, TwoPressesBeforeTheConversationStartsShareIt) {
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("same"), QStringLiteral("1"));
  window.cmdMake->click();
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Messages().size() == 2; }));
  ASSERT_TRUE(WaitForFinalStatus());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_EQ(peer_.Connections(), 1);
  EXPECT_TRUE(pelorin::OutboxBodies.empty());
}

TEST_F(SendWorkflowTest, ASecondSendAfterQuitGetsAConversationOfItsOwn) {
  peer_.Script("QUIT", {"<hold>221 bye", "221 bye"});
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
  window.cmdMake->click();
  peer_.Release();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Messages().size() == 2; }));
  ASSERT_TRUE(WaitForFinalStatus());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_EQ(peer_.Connections(), 2);
  EXPECT_EQ(peer_.Messages()[1].substr(0, 16), "Subject: second\r");
  EXPECT_TRUE(pelorin::OutboxBodies.empty());
  EXPECT_TRUE(boxes_.Boxes().empty());
}

// --- Link mode ---

TEST_F(SendWorkflowTest, InLinkModeTheProgramEndsAfterASend) {
  TfrmMain& window = Create({"pelorin32", "/u", "mailto:x@example.org?Subject=Hi"});
  window.edsMemo->setPlainText(QStringLiteral("Body"));
  SendAndWait();
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_FALSE(window.isVisible());
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0],
            "Subject: Hi\r\nTo:  <x@example.org>\r\n" + kHeaderTail + "Body\r\n");
}

TEST_F(SendWorkflowTest, InLinkModeARefusalKeepsTheWindowOpen) {
  peer_.Script("RCPT", {"550 no such user"});
  TfrmMain& window = Create({"pelorin32", "/u", "mailto:x@example.org?Subject=Hi"});
  window.edsMemo->setPlainText(QStringLiteral("Body"));
  SendAndWait();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.lblStatus->text(), kRefused);
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("Hi"));
  EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("Body"));
}

}  // namespace
