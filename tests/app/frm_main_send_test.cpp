// The send workflow of the quick-send window offscreen, against a scripted SMTP peer on
// 127.0.0.1: the message as the server receives it, the status texts in their order, dial-up
// through fake provider libraries, refusals, silence, resets, presses of Send during a send,
// the outbox kept on disk between runs, and the end of the program in link mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "app/scripted_smtp_peer.h"
#include "app/security_settings.h"
#include "app/send_workflow.h"
#include "app/sign_in_settings.h"
#include "desktop/shell_tray.h"
#include "os/dynlib.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "os/registry.h"
#include "os/winsock.h"
#include "outbox/outbox_file.h"
#include "outbox/outbox_folder.h"
#include "platform/dialup.h"
#include "platform/dialup_key.h"
#include "support/event_loop.h"
#include "support/read_file.h"
#include "support/scripted_tokens.h"
#include "transport/sockets.h"

// Readable failures for texts of the window.
void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace {

using pelorin::SendPhase;
using pelorin::TfrmMain;
using testing_support::RunEventsUntil;

const std::string kHeaderTail =
    "From: me@example.com\r\n"
    "X-Mailer: Pelorin 1.06\r\n"
    "X-Advertisment: Check out Vantrel at https://pelorin32.example.org/\r\n"
    "Date: <date>\r\n"
    "Message-ID: <id>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=UTF-8\r\n"
    "Content-Transfer-Encoding: 7bit\r\n"
    "\r\n"
    "\r\n";
const QString kSent = QStringLiteral("Mail has been sent!");
const QString kStaysQueued =
    QStringLiteral("Mail not sent (the server refused it); it stays queued for the next send.");
const QString kRefused = QStringLiteral("Mail not sent: the server refused it.");
// Long enough for any machine, well short of the program's time-out of a minute: what comes
// within it came at once, not after the time-out.
constexpr int kWithinTheTimeOutMs = 20000;
const std::string kDialParamsRefusal =
    "TRasGetEntryDialParams failed: The phone book entry could not be found.";

// The name the program gives in HELO: the host name when fully qualified, else the address
// literal of its end of the connection to the peer on 127.0.0.1.
std::string HeloName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return std::string(name).find('.') != std::string::npos ? name : "[127.0.0.1]";
}

using testing_support::ReadFile;

std::string LastCommand(const app_test::ScriptedSmtpPeer& peer) {
  const std::vector<std::string> commands = peer.Commands();
  return commands.empty() ? "(none)" : commands.back();
}

// The box that names a queued message refused for good.
std::string RefusedForGoodBox(const std::string& reply, const std::string& recipient,
                              const std::string& subject) {
  return reply + "\r\n\r\nThe message to " + recipient + " (subject \"" + subject +
         "\") is refused for good and leaves the outbox.";
}

// The message as composed from a typed address, subject and one-line body.
std::string ComposedMessage(const std::string& email, const std::string& subject,
                            const std::string& body) {
  return "Subject: " + subject + "\r\nTo:  <" + email + ">\r\n" + kHeaderTail + body + "\r\n";
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

class SendWorkflowTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    world_.PlaceTrayIcon();
    UseStateDirectory(dir_.path().toStdString() + "/state");
    pelorin::SenderAddress = "me@example.com";
    pelorin::SmtpServer = "127.0.0.1";
    pelorin::SmtpPort = peer_.Start();
  }
  void TearDown() override { window_.reset(); }

  // Where the window keeps its outbox: $XDG_STATE_HOME, read when the window is made.
  void UseStateDirectory(const std::string& path) {
    stateHome_ = path;
    environment_.Set("XDG_STATE_HOME", path);
  }
  std::string OutboxDirectory() const { return stateHome_ + "/pelorin32/outbox"; }
  std::vector<std::string> OutboxFiles() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(OutboxDirectory(), ignored)) {
      const std::string name = entry.path().filename().string();
      if (name != ".lock") names.push_back(name);
    }
    return names;
  }

  TfrmMain& Create(std::vector<std::string> arguments = {"pelorin32"}) {
    os::SetCommandLine(arguments);
    window_ = std::make_unique<TfrmMain>();
    QObject::connect(window_.get(), &TfrmMain::StatusShown,
                     [this](const QString& text) { statuses_.push_back(text); });
    // After the window's own handler: the outcome is shown once this one runs.
    QObject::connect(&window_->Workflow(), &pelorin::SendWorkflow::SendEnded,
                     [this](const pelorin::SendReport&) { ++sendsEnded_; });
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
    // The provider stays loaded for the whole process: calls of earlier tests are forgotten.
    using Clear = void (*)();
    os::HMODULE provider_library = os::LoadLibraryA("RASAPI32.DLL");
    ASSERT_NE(provider_library, nullptr) << "fake provider " << provider << " is not built";
    auto clear = reinterpret_cast<Clear>(os::GetProcAddress(provider_library, "FakeRasClearCalls"));
    ASSERT_NE(clear, nullptr);
    clear();
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

  // Presses Send and waits until the send has ended and the window has shown its outcome.
  testing::AssertionResult SendAndWait(int timeoutMs = kWithinTheTimeOutMs) {
    statuses_.clear();
    const int ended = sendsEnded_;
    window_->cmdMake->click();
    if (WaitForSendEnd(ended, timeoutMs)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the send did not end; status: " << Status();
  }

  // Waits until a send that had not ended when `ended` sends had ends.
  bool WaitForSendEnd(int ended, int timeoutMs = kWithinTheTimeOutMs) {
    return RunEventsUntil([this, ended] { return sendsEnded_ > ended; }, timeoutMs);
  }

  std::string Status() const { return window_->lblStatus->text().toStdString(); }
  std::size_t Queued() const { return window_->Workflow().Queue().Size(); }

  // Runs `act` inside the first box shown on the user-interface thread, while it is open.
  // Hands on everything that is due now: socket readiness, posted notifications and deferred
  // errors, until a round brings nothing new. What has not come by then was never coming,
  // without waiting for an arbitrary time.
  static void HandleAllDue() {
    for (int round = 0; round < 5; ++round) {
      os::ws::PostReadinessNow();
      QCoreApplication::sendPostedEvents();
      QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
  }

  // The time-out runs out now, as it would once the server had been silent for its whole
  // length: the test decides when, so that no outcome depends on how fast the machine is.
  testing::AssertionResult RunOutTheTimeOut() {
    if (!window_->Timer1->isActive()) return testing::AssertionFailure() << "no time-out runs";
    window_->Workflow().Timer1Timer(window_->Timer1);
    return testing::AssertionSuccess();
  }

  // Presses Send, runs out the time-out once the peer has received `command` and left it
  // unanswered, and waits until the send has ended.
  testing::AssertionResult SendAndTimeOutAfter(const app_test::ScriptedSmtpPeer& peer,
                                               const std::string& command) {
    statuses_.clear();
    const int ended = sendsEnded_;
    window_->cmdMake->click();
    if (!RunEventsUntil([&] { return LastCommand(peer).rfind(command, 0) == 0; },
                        kWithinTheTimeOutMs)) {
      return testing::AssertionFailure() << "the peer never received " << command;
    }
    testing::AssertionResult ranOut = RunOutTheTimeOut();
    if (!ranOut) return ranOut;
    if (WaitForSendEnd(ended)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the send did not end; status: " << Status();
  }

  // Another copy of the program queues a message with a one-line body "1", and ends.
  testing::AssertionResult QueueFromAnotherCopy(const std::string& email,
                                                const std::string& subject) {
    pelorin::OutboxFolder folder(stateHome_ + "/pelorin32");
    pelorin::Outbox other(&folder);
    const std::string failure = other.Append(email, ComposedMessage(email, subject, "1"), {});
    if (failure.empty()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << failure;
  }

  void InFirstBox(std::function<void()> act) {
    boxes_.OnBox([this, act](const os::BoxRequest&) {
      if (QThread::currentThread() != QCoreApplication::instance()->thread()) return;
      if (std::exchange(boxActed_, true)) return;
      act();
    });
  }

  QTemporaryDir dir_;
  app_test::ScriptedSmtpPeer peer_;
  std::unique_ptr<TfrmMain> window_;
  std::vector<QString> statuses_;
  std::string stateHome_;
  int sendsEnded_ = 0;
  bool openRasKey_ = false;
  bool boxActed_ = false;
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
  ASSERT_TRUE(SendAndWait());

  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], "Subject: Hello\r\nTo: Bob <bob@example.org>\r\n" + kHeaderTail +
                                     "First line\r\n.\r\nLast line\r\n");
  EXPECT_EQ(peer_.Commands(),
            (std::vector<std::string>{"HELO " + HeloName(), "MAIL FROM: <me@example.com>",
                                      "RCPT TO: <bob@example.org>", "DATA", "QUIT"}));
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{}) << "a sent message leaves the disk";
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SendWorkflowTest, ATypedNameAndAnEmptyMemoGiveNoNameAndNoBodyLines) {
  pelorin::NameList = {"Ann"};
  pelorin::AddressList = {"ann@example.org"};
  TfrmMain& window = Create();
  window.edsName->setEditText(QStringLiteral("Somebody"));
  Type(QStringLiteral("x@example.org"), QStringLiteral("Hi"), QStringLiteral(""));
  ASSERT_TRUE(SendAndWait());
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], "Subject: Hi\r\nTo:  <x@example.org>\r\n" + kHeaderTail);
}

TEST_F(SendWorkflowTest, AWrappedParagraphGivesTheLinesTheMemoShows) {
  Create();
  const QString paragraph = QStringLiteral(
      "This paragraph is much longer than the memo is wide, so that the memo wraps it onto "
      "several lines of its own, and each of them becomes a line of the message.");
  Type(QStringLiteral("x@example.org"), QStringLiteral("wrap"), paragraph + "\n\nend\n");
  ASSERT_TRUE(SendAndWait());
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
  ASSERT_TRUE(SendAndWait());
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

// Only the text that went into the outbox is emptied at the end: a newer draft typed while the
// conversation ran stays in the window.
TEST_F(SendWorkflowTest, ANewerDraftTypedDuringTheSendStaysInTheWindow) {
  peer_.Script("data", {"<hold>250 accepted"});
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  Type(QStringLiteral("y@example.org"), QStringLiteral("newer"), QStringLiteral("draft"));
  peer_.Release();
  ASSERT_TRUE(WaitForSendEnd(ended)) << Status();
  EXPECT_EQ(window.lblStatus->text(), kSent);
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], ComposedMessage("x@example.org", "S", "B"));
  EXPECT_EQ(window.edsEmail->text(), QStringLiteral("y@example.org"));
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("newer"));
  EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("draft"));
}

TEST_F(SendWorkflowTest, SendWithoutSubjectOrBodyQueuesNothing) {
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QString(), QString());
  window.cmdMake->click();
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Nothing to send: write a subject or a body first."));
  EXPECT_EQ(window.Workflow().Phase(), SendPhase::Idle) << "no send started";
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
}

// An address that would end early in RCPT TO or a To line, or add parameters after it, from a
// link, typed, or the user's own: refused before anything is queued or sent.
TEST_F(SendWorkflowTest, AnAddressThatWouldBreakItsCommandIsRefusedBeforeAnythingIsQueued) {
  struct Case {
    std::vector<std::string> arguments;
    QString typed;  // empty: the link's
    std::string sender;
    std::string status;
  };
  const std::vector<std::string> link = {"pelorin32", "/u",
                                         "mailto:bob@example.org%3E%20NOTIFY=SUCCESS?Subject=Hi"};
  const std::string notSent = "Mail not sent: the address ";
  const std::string correct = ", which no mail address may; correct it and send again.";
  const std::vector<Case> cases = {
      {link,
       {},
       "me@example.com",
       notSent + "\"bob@example.org> NOTIFY=SUCCESS\" holds \">\"" + correct},
      {{"pelorin32"},
       "ann@example.org; <bob@example.org",
       "me@example.com",
       notSent + "\"<bob@example.org\" holds \"<\"" + correct},
      {{"pelorin32"},
       "ann@example.org ",
       "me@example.com",
       notSent + "\"ann@example.org \" holds a blank" + correct},
      {{"pelorin32"},
       "ann\x7F@example.org",
       "me@example.com",
       notSent + "\"ann\x7F@example.org\" holds a control character" + correct},
      {{"pelorin32"},
       "ann@example.org",
       "me@example.com> SIZE=1",
       "Mail not sent: your address in the settings, \"me@example.com> SIZE=1\", holds \">\", "
       "which no mail address may; correct it under Properties and send again."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    pelorin::SenderAddress = c.sender;
    window_.reset();
    TfrmMain& window = Create(c.arguments);
    if (!c.typed.isEmpty()) window.edsEmail->setText(c.typed);
    window.edsMemo->setPlainText(QStringLiteral("Body"));
    window.cmdMake->click();
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(window.Workflow().Phase(), SendPhase::Idle);
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
    EXPECT_TRUE(window.isVisible());
  }
  EXPECT_EQ(peer_.Commands(), std::vector<std::string>{});
}

// A password or a token never goes in plain text: with no encryption chosen nobody is asked
// for one, the status says so at once, and the mail waits in the outbox for corrected settings.
TEST_F(SendWorkflowTest, SigningInWithoutEncryptionIsRefusedAtOnceWithoutAskingForThePassword) {
  testing_support::TokenScript tokens;
  testing_support::UseScriptedTokens(tokens);
  std::size_t queued = 0;
  for (const auto& [signIn, what] :
       {std::pair{pelorin::SignInChoice::Password, "password"},
        std::pair{pelorin::SignInChoice::OAuthGoogle, "sign-in token"}}) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(pelorin::WriteSecuritySettings({pelorin::SmtpSecurity::None, "ann"}));
    ASSERT_TRUE(pelorin::WriteSignInSettings({signIn, {}, {}}));
    window_.reset();
    TfrmMain& window = Create();
    Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
    window.cmdMake->click();
    EXPECT_NE(Status().find(std::string("as a ") + what +
                            " is never sent in plain text; it stays queued"),
              std::string::npos)
        << Status();
    EXPECT_EQ(window.Workflow().Phase(), SendPhase::Idle);
    EXPECT_EQ(Queued(), ++queued) << "the earlier one waits too";
    HandleAllDue();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no password question";
  }
  EXPECT_TRUE(boxes_.Boxes().empty());
  EXPECT_EQ(peer_.Commands(), std::vector<std::string>{});
  EXPECT_EQ(tokens.made, 0);
  pelorin::oauth::UseTokenSourceMaker({});
}

TEST_F(SendWorkflowTest, SendWithoutSubjectOrBodySendsWhatIsQueuedAndNothingElse) {
  peer_.Script("data", {"451 later", "250 accepted"});
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  ASSERT_EQ(window.lblStatus->text(), kStaysQueued);
  ASSERT_EQ(window.edsSubj->text(), QString());
  ASSERT_EQ(window.edsMemo->toPlainText(), QString());
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  const std::vector<std::string> messages = peer_.Messages();
  ASSERT_EQ(messages.size(), 2u) << "the refused try and the queued message, no empty one";
  EXPECT_EQ(messages[1], ComposedMessage("x@example.org", "S", "B"));
  EXPECT_EQ(Queued(), 0u);
}

// --- Dial-up ---

TEST_F(SendWorkflowTest, WithDialupTheLineIsDialledFirstAndHungUpAfterwards) {
  UseDialup("complete");
  Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
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

// The provider fails to read the entry's saved parameters, reports it, and dials all the
// same: the line that came up must not stay up.
TEST_F(SendWorkflowTest, ADialThatReportsAFailureAlthoughTheLineCameUpHangsItUp) {
  UseDialup("dial_params_fail");
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  const QString refusal =
      QString::fromStdString(kDialParamsRefusal + "; the mail stays queued for the next send.");
  EXPECT_EQ(statuses_, (std::vector<QString>{QStringLiteral("Creating mail..."),
                                             QStringLiteral("Establishing ISP connection..."),
                                             QStringLiteral("Hanging up..."), refusal}));
  const std::string calls = FakeRasCalls();
  EXPECT_NE(calls.find("RasDialA"), std::string::npos) << calls;
  EXPECT_NE(calls.find("RasHangUpA handle=20817"), std::string::npos) << calls;
  EXPECT_FALSE(pelorin::RasDialledByUs);
  EXPECT_EQ(window.lblStatus->text(), refusal);
  EXPECT_EQ(peer_.Connections(), 0);
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_TRUE(boxes_.Boxes().empty());
}

// The refused dial leaves the message queued; the fields that held it are emptied, so that the
// next Send cannot queue it a second time.
TEST_F(SendWorkflowTest, ARefusedDialKeepsTheMessageQueuedOnceAndTheNextSendSendsItOnce) {
  UseDialup("dial_params_fail");
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  ASSERT_EQ(Status(), kDialParamsRefusal + "; the mail stays queued for the next send.");
  EXPECT_EQ(Queued(), 1u);
  EXPECT_EQ(OutboxFiles().size(), 1u);
  EXPECT_EQ(window.edsSubj->text(), QString());
  EXPECT_EQ(window.edsMemo->toPlainText(), QString());
  EXPECT_EQ(window.edsEmail->text(), QStringLiteral("x@example.org"));

  pelorin::UseDialup = false;  // the network is up some other way now
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], ComposedMessage("x@example.org", "S", "B"));
  EXPECT_EQ(Queued(), 0u);
}

TEST_F(SendWorkflowTest, ClosingTheProgramDuringADialledSendHangsUp) {
  UseDialup("complete");
  peer_.Script("HELO", {"<hold>250 hello"});
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  ASSERT_TRUE(pelorin::RasDialledByUs);
  window.Close1->trigger();
  EXPECT_FALSE(window.isVisible());
  EXPECT_NE(FakeRasCalls().find("RasHangUpA handle=20817"), std::string::npos) << FakeRasCalls();
  EXPECT_FALSE(pelorin::RasDialledByUs);
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_TRUE(boxes_.Boxes().empty()) << "closing asks nothing: the message is on disk";
  EXPECT_EQ(OutboxFiles().size(), 1u);
}

// The program ends while the line is still being dialled: the window goes at once, and the
// line, once it comes up, is hung up before the process ends.
TEST_F(SendWorkflowTest, EndingTheProgramWhileDiallingHangsTheLineUpOnceItComesUp) {
  UseDialup("dial_blocks");
  // Reached through a handle of the test's own: the worker is loading the unit's meanwhile.
  os::HMODULE provider = os::LoadLibraryA("RASAPI32.DLL");
  const auto calls =
      reinterpret_cast<const char* (*)()>(os::GetProcAddress(provider, "FakeRasCalls"));
  const auto release =
      reinterpret_cast<void (*)()>(os::GetProcAddress(provider, "FakeRasReleaseDial"));
  ASSERT_TRUE(calls != nullptr && release != nullptr);
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil(
      [calls] { return std::string(calls()).find("RasDialA") != std::string::npos; }));
  window.Close1->trigger();
  window_.reset();
  EXPECT_FALSE(pelorin::WaitForDialsToSettle(std::chrono::milliseconds(0)));
  release();
  ASSERT_TRUE(pelorin::WaitForDialsToSettle(std::chrono::seconds(30)));
  EXPECT_NE(FakeRasCalls().find("RasHangUpA handle=20817"), std::string::npos) << FakeRasCalls();
  EXPECT_FALSE(pelorin::RasDialledByUs);
  EXPECT_EQ(peer_.Connections(), 0);
}

// --- Refusals ---

TEST_F(SendWorkflowTest, ARefusalAtEachStepIsShownAndNeverCountsAsSent) {
  struct Case {
    const char* step;
    const char* reply;
    bool messageStaysQueued;
  };
  const std::vector<Case> cases = {
      {"greeting", "421 closing down", true}, {"HELO", "501 bad hello", true},
      {"MAIL", "451 try later", true},        {"RCPT", "450 mailbox busy", true},
      {"RCPT", "550 no such user", false},    {"DATA", "554 no data", false},
      {"data", "552 too big", false},         {"data", "451 later", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.step) + " " + c.reply);
    UseStateDirectory(dir_.path().toStdString() + "/refusal" + std::to_string(++n));
    boxes_.Clear();
    app_test::ScriptedSmtpPeer peer;
    peer.Script(c.step, {c.reply});
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window = Create();
    Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
    ASSERT_TRUE(SendAndWait());

    const std::string box = c.messageStaysQueued ? std::string(c.reply) + "\r\n"
                                                 : RefusedForGoodBox(c.reply, "x@example.org", "S");
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{box});
    EXPECT_EQ(Queued(), c.messageStaysQueued ? 1u : 0u);
    EXPECT_EQ(OutboxFiles().size(), c.messageStaysQueued ? 1u : 0u);
    EXPECT_EQ(window.lblStatus->text(), c.messageStaysQueued ? kStaysQueued : kRefused);
    // Queued, the text waits in the outbox; refused for good, it stays for a corrected send.
    EXPECT_EQ(window.edsSubj->text(), c.messageStaysQueued ? QString() : QStringLiteral("S"));
    EXPECT_EQ(window.edsMemo->toPlainText(),
              c.messageStaysQueued ? QString() : QStringLiteral("B"));
    EXPECT_EQ(LastCommand(peer), "QUIT");
    EXPECT_FALSE(window.Timer1->isActive());
    window_.reset();
  }
}

// Whatever 4xx or 5xx reply the greeting, HELO or MAIL FROM gets, it is a refusal shown at
// once: no waiting for the time-out, and the message stays queued.
TEST_F(SendWorkflowTest, EveryRefusalBeforeTheRecipientIsShownAtOnce) {
  struct Case {
    const char* step;
    const char* reply;
  };
  const std::vector<Case> cases = {
      {"greeting", "554 no SMTP service here"}, {"greeting", "450 too busy"},
      {"HELO", "502 command not implemented"},  {"HELO", "550 not welcome"},
      {"MAIL", "550 sender rejected"},          {"MAIL", "530 authentication required"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.step) + " " + c.reply);
    UseStateDirectory(dir_.path().toStdString() + "/early" + std::to_string(++n));
    boxes_.Clear();
    app_test::ScriptedSmtpPeer peer;
    peer.Script(c.step, {c.reply});
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window = Create();  // the time-out as the program has it
    Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
    ASSERT_TRUE(SendAndWait());
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{std::string(c.reply) + "\r\n"});
    EXPECT_EQ(window.lblStatus->text(), kStaysQueued);
    EXPECT_EQ(Queued(), 1u);
    EXPECT_EQ(window.edsSubj->text(), QString());
    EXPECT_EQ(LastCommand(peer), "QUIT");
    EXPECT_TRUE(peer.Messages().empty());
    window_.reset();
  }
}

// The time-out rests while a refusal is shown: the user is waited for, not the server. Once
// the box is closed QUIT goes out, and the refused text stays in the window.
TEST_F(SendWorkflowTest, ATimeOutCannotRunOutWhileARefusalIsShown) {
  peer_.Script("RCPT", {"550 no such user"});
  TfrmMain& window = Create();
  bool timerRanDuringBox = true;
  InFirstBox([&] {
    timerRanDuringBox = window.Timer1->isActive();
    HandleAllDue();
    timerRanDuringBox = timerRanDuringBox || window.Timer1->isActive();
  });
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_FALSE(timerRanDuringBox);
  EXPECT_EQ(boxes_.Texts(),
            std::vector<std::string>{RefusedForGoodBox("550 no such user", "x@example.org", "S")});
  EXPECT_EQ(window.lblStatus->text(), kRefused);
  EXPECT_EQ(LastCommand(peer_), "QUIT");
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("S"));
  EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("B"));
  EXPECT_FALSE(window.Timer1->isActive());
}

// A queued message that the server refuses for good is named in the box, and its text is not
// lost: back in the window when that holds no draft, otherwise kept as a file.
TEST_F(SendWorkflowTest, AQueuedMessageRefusedForGoodIsNamedAndItsTextKept) {
  for (const bool draftInWindow : {false, true}) {
    SCOPED_TRACE(draftInWindow ? "a draft in the window" : "no draft in the window");
    UseStateDirectory(dir_.path().toStdString() + (draftInWindow ? "/draft" : "/nodraft"));
    boxes_.Clear();
    app_test::ScriptedSmtpPeer peer;
    peer.Script("RCPT", {"450 mailbox busy", "<hold>550 no such user", "250 ok"});
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window = Create();
    Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
    ASSERT_TRUE(SendAndWait());
    ASSERT_EQ(window.lblStatus->text(), kStaysQueued);
    boxes_.Clear();

    Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
    const int ended = sendsEnded_;
    window.cmdMake->click();
    ASSERT_TRUE(RunEventsUntil([&] { return peer.Holding(); }));
    if (draftInWindow) {
      Type(QStringLiteral("c@example.org"), QStringLiteral("third"), QStringLiteral("3"));
    }
    peer.Release();
    ASSERT_TRUE(WaitForSendEnd(ended)) << Status();

    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{
                                  RefusedForGoodBox("550 no such user", "a@example.org", "first")});
    EXPECT_EQ(Queued(), 1u) << "the second message waits for the next send";
    if (!draftInWindow) {
      EXPECT_EQ(Status(), "Mail to a@example.org was refused; its text is back in the window.");
      EXPECT_EQ(window.edsEmail->text(), QStringLiteral("a@example.org"));
      EXPECT_EQ(window.edsSubj->text(), QStringLiteral("first"));
      EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("1"));
    } else {
      const std::string lead = "Mail to a@example.org was refused; its text is kept in ";
      ASSERT_EQ(Status().substr(0, lead.size()), lead) << Status();
      ASSERT_EQ(Status().back(), '.');
      const std::string path = Status().substr(lead.size(), Status().size() - lead.size() - 1);
      EXPECT_EQ(std::filesystem::path(path).parent_path(),
                std::filesystem::path(stateHome_ + "/pelorin32/refused"));
      EXPECT_EQ(testing_support::WithStampReplaced(ReadFile(path), "example.com"),
                ComposedMessage("a@example.org", "first", "1"));
      EXPECT_EQ(window.edsSubj->text(), QStringLiteral("third")) << "the draft stays";
      EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("3"));
    }
    window_.reset();
  }
}

// Send pressed while a refusal is shown: the new message goes out after the box, in a
// conversation of its own, and the refused text comes back into the emptied window.
TEST_F(SendWorkflowTest, ASendPressedWhileARefusalIsShownGoesOutAfterIt) {
  peer_.Script("RCPT", {"550 no such user", "250 ok"});
  TfrmMain& window = Create();
  InFirstBox([&] {
    Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
    window.cmdMake->click();
  });
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(boxes_.Texts().size(), 1u);
  EXPECT_EQ(peer_.Connections(), 2);
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], ComposedMessage("b@example.org", "second", "2"));
  EXPECT_EQ(Status(), "Mail to a@example.org was refused; its text is back in the window.");
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("first"));
  EXPECT_EQ(Queued(), 0u);
}

// Boxes answered from the event queue, as a user answers them: the send goes on after each as
// after one answered at once. QUIT follows the refusal's box, a Send pressed while it is open
// gets a conversation of its own, and the connect's failure ends the send once its box closes.
TEST_F(SendWorkflowTest, BoxesAnsweredLaterContinueTheSendAsBoxesAnsweredAtOnce) {
  boxes_.AnswerLater(true);
  peer_.Script("RCPT", {"550 no such user", "250 ok"});
  TfrmMain& window = Create();
  InFirstBox([&] {
    Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
    window.cmdMake->click();
  });
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{
                                RefusedForGoodBox("550 no such user", "a@example.org", "first")});
  EXPECT_EQ(peer_.Connections(), 2);
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], ComposedMessage("b@example.org", "second", "2"));
  EXPECT_EQ(Status(), "Mail to a@example.org was refused; its text is back in the window.");
  EXPECT_EQ(Queued(), 0u);

  window_.reset();
  boxes_.Clear();
  pelorin::SmtpPort = "2x5";
  TfrmMain& again = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"'2x5' is not a valid integer value."});
  EXPECT_EQ(again.lblStatus->text(),
            QStringLiteral("Mail not sent ('2x5' is not a valid integer value); it stays queued "
                           "for the next send."));
  EXPECT_FALSE(again.Timer1->isActive());
  EXPECT_EQ(again.Workflow().Phase(), SendPhase::Idle);
}

TEST_F(SendWorkflowTest, AQueuedMessageGoesFirstWithTheNextSendInOneConnection) {
  peer_.Script("data", {"451 later", "250 accepted"});
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(window.lblStatus->text(), kStaysQueued);
  Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  const std::vector<std::string> messages = peer_.Messages();
  ASSERT_EQ(messages.size(), 3u);  // the first one twice: refused, then accepted
  EXPECT_EQ(messages[1].substr(0, 15), "Subject: first\r");
  EXPECT_EQ(messages[2].substr(0, 16), "Subject: second\r");
  EXPECT_EQ(peer_.Connections(), 2);
  EXPECT_EQ(Queued(), 0u);
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
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.step) + " " + c.fault);
    UseStateDirectory(dir_.path().toStdString() + "/fault" + std::to_string(++n));
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
    Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QString(3000, QLatin1Char('1')));
    if (std::string(c.fault) == "<silent>") {
      ASSERT_TRUE(SendAndTimeOutAfter(peer, c.step));
    } else {
      ASSERT_TRUE(SendAndWait());
    }
    ASSERT_NE(window.lblStatus->text(), kSent);
    const bool queued = Queued() == 1;
    const bool inWindow = window.edsSubj->text() == QStringLiteral("first") &&
                          window.edsMemo->toPlainText().size() == 3000;
    ASSERT_NE(queued, inWindow) << "the message is in exactly one place: " << Status();

    if (queued) {
      Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
    }
    const std::size_t before = peer.Messages().size();
    ASSERT_TRUE(SendAndWait());
    EXPECT_EQ(window.lblStatus->text(), kSent);
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
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

// --- The server's replies as bytes ---

// A NUL byte inside a reply does not cut it short, a bare LF ends a line, and a line that is
// not SMTP ends the conversation at once instead of after the time-out.
TEST_F(SendWorkflowTest, RepliesAreTakenByTheirBytes) {
  struct Case {
    const char* what;
    std::function<void(app_test::ScriptedSmtpPeer&)> script;
    QString status;
    std::vector<std::string> boxes;
    std::size_t messages;
  };
  const std::vector<Case> cases = {
      {"a NUL in the acceptance of the data",
       [](app_test::ScriptedSmtpPeer& peer) {
         peer.Script("data", {std::string("250 ok\0 queued as 12", 20)});
       },
       kSent,
       {},
       1},
      {"a NUL in the greeting",
       [](app_test::ScriptedSmtpPeer& peer) {
         peer.Script("greeting", {std::string("220 peer\0ready", 14)});
       },
       kSent,
       {},
       1},
      {"bare LF line ends",
       [](app_test::ScriptedSmtpPeer& peer) {
         peer.EndRepliesWithBareLf();
         peer.Script("HELO", {"250-hello\n250 pleased to meet you"});
       },
       kSent,
       {},
       1},
      {"a greeting that is not SMTP",
       [](app_test::ScriptedSmtpPeer& peer) {
         peer.Script("greeting", {std::string("+OK POP3\0 ready", 15)});
       },
       QStringLiteral(
           "Mail not sent (the server's answer is not SMTP); it stays queued for the next send."),
       {"The server's answer is not SMTP, so the conversation ends here: \"+OK POP3<NUL> "
        "ready\""},
       0},
      {"a line without a code after a continuation line",
       [](app_test::ScriptedSmtpPeer& peer) { peer.Script("MAIL", {"250-fine\r\nsure"}); },
       QStringLiteral(
           "Mail not sent (the server's answer is not SMTP); it stays queued for the next send."),
       {"The server's answer is not SMTP, so the conversation ends here: \"sure\""},
       0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UseStateDirectory(dir_.path().toStdString() + "/bytes" + std::to_string(++n));
    boxes_.Clear();
    app_test::ScriptedSmtpPeer peer;
    c.script(peer);
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window = Create();  // the time-out as the program has it
    Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
    ASSERT_TRUE(SendAndWait());
    EXPECT_EQ(window.lblStatus->text(), c.status);
    EXPECT_EQ(boxes_.Texts(), c.boxes);
    EXPECT_EQ(peer.Messages().size(), c.messages);
    EXPECT_EQ(Queued(), c.messages == 1 ? 0u : 1u);
    window_.reset();
  }
}

// --- The session ending the conversation itself ---

TEST_F(SendWorkflowTest, ASilentServerTimesOutOnceAndTheLineIsHungUp) {
  UseDialup("complete");
  peer_.Script("HELO", {"<silent>"});
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndTimeOutAfter(peer_, "HELO"));
  HandleAllDue();  // the time-out is stopped, so no further one can come
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{"500 TimeOut\r\n"}));
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Mail not sent (the server stopped answering after HELO); it stays "
                           "queued for the next send."));
  EXPECT_NE(statuses_.end(), std::find(statuses_.begin(), statuses_.end(), "Hanging up..."));
  EXPECT_NE(FakeRasCalls().find("RasHangUpA"), std::string::npos);
  EXPECT_EQ(Queued(), 1u);
  EXPECT_EQ(window.edsSubj->text(), QString());
}

// A time-out that runs out while the worker may still be inside the connect must not reach
// the socket component under it: the failure that the connect reports at once is shown once,
// and nothing else.
TEST_F(SendWorkflowTest, ATimeOutWhileTheWorkerIsStillConnectingWaitsForIt) {
  pelorin::SmtpServer = "";
  TfrmMain& window = Create();
  // Posted as the conversation begins, before the worker goes on into the connect: the
  // time-out runs out ahead of everything the worker posts from there.
  std::optional<testing::AssertionResult> ranOut;
  QObject::connect(&window.Workflow(), &pelorin::SendWorkflow::Progress, &window,
                   [&](const QString& text) {
                     if (text != QStringLiteral("Sending mail...")) return;
                     QMetaObject::invokeMethod(
                         &window, [&] { ranOut = RunOutTheTimeOut(); }, Qt::QueuedConnection);
                   });
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  HandleAllDue();
  ASSERT_TRUE(ranOut.has_value());
  EXPECT_TRUE(*ranOut);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"500 No IP Address Specified\r\n"});
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Mail not sent (No IP Address Specified); it stays queued for the next "
                           "send."));
}

// The time-out counts from the last data that came: each reply starts it afresh. Stopped by
// the test while the reply to HELO is held, it runs again once that reply has come.
TEST_F(SendWorkflowTest, DataKeepsTheTimeOutAway) {
  peer_.Script("HELO", {"<hold>250 hello"});
  peer_.Script("MAIL", {"<silent>"});
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  window.Timer1->stop();
  peer_.Release();
  ASSERT_TRUE(RunEventsUntil([&] { return LastCommand(peer_).rfind("MAIL FROM:", 0) == 0; }));
  EXPECT_TRUE(window.Timer1->isActive()) << "the reply to HELO did not start the time-out";
  EXPECT_EQ(window.Timer1->interval(), 60000);
  ASSERT_TRUE(RunOutTheTimeOut());
  ASSERT_TRUE(WaitForSendEnd(ended));
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{"500 TimeOut\r\n"}));
}

// Data going out, however slowly, keeps both time-outs away. The peer reads nothing of a large
// message until its socket takes no more, and never answers it. Once the data is in, both
// time-outs have more time left than if they had run on since before the peer read: only the
// sending restarted them. Nothing waits for a time-out to run out.
TEST_F(SendWorkflowTest, SendingTheDataKeepsTheTimeOutsAway) {
  app_test::ConnectionPlan readsLate;
  readsLate.hold = true;
  readsLate.holdStep = app_test::Step::MidData;
  app_test::ScriptedSmtpPeer peer({readsLate});
  peer.Script("data", {"<silent>"});
  pelorin::SmtpPort = peer.Start();
  const std::string path = dir_.path().toStdString() + "/large.bin";
  std::ofstream(path, std::ios::binary) << std::string(8u << 20, 'Z');
  TfrmMain& window = Create();
  pelorin::SendWorkflow& workflow = window.Workflow();
  const std::vector<QTimer*> timers = {workflow.Timer1, workflow.StepTimer};
  for (QTimer* timer : timers) timer->setTimerType(Qt::PreciseTimer);  // exact time left
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  window.AttachFiles({path});
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer.Holding() && workflow.Sockets1->TextWaiting(); }));
  HandleAllDue();
  const int blockedAt = workflow.Timer1->remainingTime();
  constexpr int kSlackMs = 50;  // time the timers have run before the peer reads
  ASSERT_TRUE(RunEventsUntil([&] {
    return workflow.Timer1->remainingTime() < blockedAt - kSlackMs &&
           workflow.StepTimer->remainingTime() < blockedAt - kSlackMs;
  }));
  ASSERT_TRUE(workflow.Sockets1->TextWaiting());
  std::vector<int> leftAtRelease;
  for (QTimer* timer : timers) leftAtRelease.push_back(timer->remainingTime());
  QElapsedTimer sinceRelease;
  sinceRelease.start();
  peer.Release();
  ASSERT_TRUE(RunEventsUntil([&] { return !peer.Messages().empty(); }));
  for (std::size_t i = 0; i < timers.size(); ++i) {
    const int leftIfRunOn = leftAtRelease[i] - static_cast<int>(sinceRelease.elapsed());
    EXPECT_GT(timers[i]->remainingTime(), leftIfRunOn + kSlackMs / 2)
        << timers[i]->objectName().toStdString();
  }
  ASSERT_TRUE(RunOutTheTimeOut());
  ASSERT_TRUE(WaitForSendEnd(ended));
}

// Lines that answer nothing restart Timer1 but not the step: the step's own time-out, run
// out by the test once MAIL FROM is out, ends the send, and the message stays queued.
TEST_F(SendWorkflowTest, AStepWithoutAFinalReplyEndsThoughTheServerKeepsSending) {
  peer_.Script("MAIL", {"100 wait\r\n100 still waiting"});
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return LastCommand(peer_).starts_with("MAIL FROM"); }));
  window.Workflow().StepTimer->setInterval(1);  // restarts it: the step's time is up
  ASSERT_TRUE(WaitForSendEnd(ended));
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"500 No final reply after MAIL FROM within "
                                                     "the time-out, although the server kept "
                                                     "sending\r\n"});
  EXPECT_EQ(Queued(), 1u);
}

TEST_F(SendWorkflowTest, AResetInTheMiddleOfTheDataEndsTheSend) {
  peer_.ResetMidData();
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QString(2000, QLatin1Char('x')));
  ASSERT_TRUE(SendAndWait());
  HandleAllDue();
  ASSERT_EQ(boxes_.Texts().size(), 1u) << testing::PrintToString(boxes_.Texts());
  EXPECT_EQ(boxes_.Texts()[0].substr(0, 4), "500 ");
  EXPECT_TRUE(window.lblStatus->text().startsWith(QStringLiteral("Mail not sent ("))) << Status();
  EXPECT_TRUE(
      window.lblStatus->text().endsWith(QStringLiteral("); it stays queued for the next send.")));
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(Queued(), 1u);
}

TEST_F(SendWorkflowTest, AnOddAnswerToQuitAfterEveryMessageWasAcceptedIsStillASend) {
  peer_.Script("QUIT", {"500 what"});
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{"500 what\r\n"}));
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_FALSE(window.Timer1->isActive());
}

// A server that answers QUIT and keeps the connection open: the program closes it and the
// send ends at once, in link mode with the program.
TEST_F(SendWorkflowTest, AServerThatKeepsTheConnectionOpenAfterQuitDoesNotHoldTheSend) {
  for (const bool linkMode : {false, true}) {
    SCOPED_TRACE(linkMode ? "link mode" : "tray mode");
    UseStateDirectory(dir_.path().toStdString() + (linkMode ? "/link" : "/tray"));
    app_test::ScriptedSmtpPeer peer;
    peer.Script("QUIT", {"<stay>221 bye"});
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window =
        linkMode ? Create({"pelorin32", "/u", "mailto:x@example.org?Subject=S"}) : Create();
    Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
    ASSERT_TRUE(SendAndWait());  // the time-out as the program has it: a minute
    EXPECT_EQ(window.lblStatus->text(), kSent);
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_FALSE(window.Timer1->isActive());
    EXPECT_EQ(window.isVisible(), !linkMode);
    EXPECT_TRUE(RunEventsUntil([&] { return !peer.ConnectionOpen(); }))
        << "the connection is closed from this side";
    window_.reset();
  }
}

TEST_F(SendWorkflowTest, APortThatIsNoNumberIsReportedAndNothingBreaks) {
  pelorin::SmtpPort = "2x5";
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  ASSERT_EQ(boxes_.Boxes().size(), 1u);
  EXPECT_EQ(boxes_.Boxes()[0].text, "'2x5' is not a valid integer value.");
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Mail not sent ('2x5' is not a valid integer value); it stays queued "
                           "for the next send."));
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(window.Workflow().Session().State(), pelorin::SmtpState::Idle);
  EXPECT_EQ(window.Workflow().Phase(), SendPhase::Idle);
}

// The box of a failure that the connect throws is the user's time as well: no time-out may
// run out behind it.
TEST_F(SendWorkflowTest, NoTimeOutRunsOutWhileTheConnectsFailureIsShown) {
  pelorin::SmtpPort = "2x5";
  TfrmMain& window = Create();
  bool timerRanDuringBox = true;
  InFirstBox([&] {
    HandleAllDue();
    timerRanDuringBox = window.Timer1->isActive();
  });
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"'2x5' is not a valid integer value."});
  EXPECT_FALSE(timerRanDuringBox);
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Mail not sent ('2x5' is not a valid integer value); it stays queued "
                           "for the next send."));
  EXPECT_FALSE(window.Timer1->isActive());
}

TEST_F(SendWorkflowTest, AFailureTheConnectReportsAtOnceEndsTheSend) {
  pelorin::SmtpServer = "";
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  HandleAllDue();
  // One box: the failing QUIT and close of the socket that never was report nothing more.
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"500 No IP Address Specified\r\n"});
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("Mail not sent (No IP Address Specified); it stays queued for the next "
                           "send."));
  EXPECT_FALSE(window.Timer1->isActive());
  EXPECT_EQ(Queued(), 1u);
  EXPECT_EQ(peer_.Connections(), 0);
}

// --- Presses of Send during a send ---

TEST_F(SendWorkflowTest, ASecondSendDuringTheDataJoinsTheConversationUnderWay) {
  peer_.Script("data", {"<hold>250 accepted"});
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
  window.cmdMake->click();
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Sending mail..."));
  peer_.Release();
  ASSERT_TRUE(WaitForSendEnd(ended));
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_EQ(peer_.Connections(), 1);
  ASSERT_EQ(peer_.Messages().size(), 2u);
  EXPECT_EQ(peer_.Messages()[1].substr(0, 16), "Subject: second\r");
  const std::vector<std::string> commands = peer_.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "QUIT"), 1);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(window.edsSubj->text(), QString());
}

// Send pressed again while the fields still hold the text already queued queues nothing more.
TEST_F(SendWorkflowTest, PressingSendAgainOnTheSameTextDeliversOneCopy) {
  struct Case {
    const char* what;
    bool beforeTheConversation;  // else while the server is slow to answer HELO
  };
  for (const Case& c : {Case{"two presses before the conversation starts", true},
                        Case{"three presses during a slow conversation", false}}) {
    SCOPED_TRACE(c.what);
    UseStateDirectory(dir_.path().toStdString() + (c.beforeTheConversation ? "/two" : "/three"));
    app_test::ScriptedSmtpPeer peer;
    if (!c.beforeTheConversation) peer.Script("HELO", {"<hold>250 hello"});
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window = Create();
    Type(QStringLiteral("a@example.org"), QStringLiteral("same"), QStringLiteral("1"));
    const int ended = sendsEnded_;
    window.cmdMake->click();
    if (!c.beforeTheConversation) {
      ASSERT_TRUE(RunEventsUntil([&] { return peer.Holding(); }));
      window.cmdMake->click();
    }
    window.cmdMake->click();
    peer.Release();
    ASSERT_TRUE(WaitForSendEnd(ended));
    EXPECT_EQ(window.lblStatus->text(), kSent);
    EXPECT_EQ(peer.Connections(), 1);
    EXPECT_EQ(peer.Messages(),
              std::vector<std::string>{ComposedMessage("a@example.org", "same", "1")});
    EXPECT_EQ(Queued(), 0u);
    window_.reset();
  }
}

// The text was accepted and QUIT is on its way: Send pressed again on the same text has
// nothing new to queue, and says the send is under way rather than that nothing was written.
TEST_F(SendWorkflowTest, SendPressedAgainAfterTheTextWasAcceptedShowsTheSendUnderWay) {
  peer_.Script("QUIT", {"<hold>221 bye"});
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  window.cmdMake->click();
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Sending mail..."));
  peer_.Release();
  ASSERT_TRUE(WaitForSendEnd(ended));
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Connections(), 1);
}

// The send that follows also takes in what another copy queued meanwhile.
TEST_F(SendWorkflowTest, ASecondSendAfterQuitGetsAConversationOfItsOwn) {
  peer_.Script("QUIT", {"<hold>221 bye", "221 bye"});
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
  window.cmdMake->click();
  ASSERT_TRUE(QueueFromAnotherCopy("c@example.org", "left"));
  peer_.Release();
  ASSERT_TRUE(WaitForSendEnd(ended));
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_EQ(peer_.Connections(), 2);
  ASSERT_EQ(peer_.Messages().size(), 3u);
  EXPECT_EQ(peer_.DeliveriesOf("second").size(), 1u);
  EXPECT_EQ(peer_.DeliveriesOf("left").size(), 1u);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
  EXPECT_TRUE(boxes_.Boxes().empty());
}

// --- The outbox on disk ---

// Closing with mail queued asks nothing; the next run says what waits and sends it first,
// ahead of the new message, in one conversation.
TEST_F(SendWorkflowTest, MailQueuedWhenTheProgramClosedGoesFirstWithTheNextRunsSend) {
  peer_.Script("data", {"451 later", "250 accepted"});
  TfrmMain& first = Create();
  Type(QStringLiteral("a@example.org"), QStringLiteral("first"), QStringLiteral("1"));
  ASSERT_TRUE(SendAndWait());
  ASSERT_EQ(first.lblStatus->text(), kStaysQueued);
  boxes_.Clear();
  first.Close1->trigger();
  EXPECT_TRUE(boxes_.Boxes().empty()) << "closing asks nothing";
  window_.reset();

  TfrmMain& next = Create();
  EXPECT_EQ(next.lblStatus->text(),
            QStringLiteral("1 message waits; it goes out with the next send."));
  EXPECT_EQ(Queued(), 1u);
  Type(QStringLiteral("b@example.org"), QStringLiteral("second"), QStringLiteral("2"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(next.lblStatus->text(), kSent);
  const std::vector<std::string> messages = peer_.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1], ComposedMessage("a@example.org", "first", "1"));
  EXPECT_EQ(messages[2], ComposedMessage("b@example.org", "second", "2"));
  EXPECT_EQ(peer_.Connections(), 2);
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
}

TEST_F(SendWorkflowTest, InLinkModeMailLeftQueuedGoesFirstAndTheProgramEnds) {
  {
    pelorin::OutboxFolder folder(stateHome_ + "/pelorin32");
    pelorin::Outbox earlier(&folder);
    ASSERT_EQ(earlier.Append("a@example.org", ComposedMessage("a@example.org", "one", "1"), {}),
              "");
    ASSERT_EQ(earlier.Append("b@example.org", ComposedMessage("b@example.org", "two", "2"), {}),
              "");
  }  // the earlier run has ended
  TfrmMain& window = Create({"pelorin32", "/u", "mailto:x@example.org?Subject=Hi"});
  EXPECT_EQ(window.lblStatus->text(),
            QStringLiteral("2 messages wait; they go out with the next send."));
  window.edsMemo->setPlainText(QStringLiteral("Body"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(peer_.Connections(), 1);
  EXPECT_EQ(peer_.Messages(), (std::vector<std::string>{
                                  ComposedMessage("a@example.org", "one", "1"),
                                  ComposedMessage("b@example.org", "two", "2"),
                                  ComposedMessage("x@example.org", "Hi", "Body"),
                              }));
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
}

TEST_F(SendWorkflowTest, AQueuedFileThatCannotBeReadIsReportedAtStartAndLeft) {
  std::filesystem::create_directories(OutboxDirectory());
  const std::string damaged = OutboxDirectory() + "/00000000000000000001-1-1.msg";
  std::ofstream(damaged) << "not a message";
  TfrmMain& window = Create();
  EXPECT_EQ(boxes_.Texts(),
            std::vector<std::string>{"A queued message cannot be read and is left where it is: " +
                                     damaged + ": it is not a queued message of this program"});
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(ReadFile(damaged), "not a message");
  EXPECT_EQ(window.lblStatus->text(), QStringLiteral("Waiting...")) << "nothing waits";
}

TEST_F(SendWorkflowTest, AMessageThatCannotBeKeptOnDiskStaysInTheWindow) {
  const std::string blocker = dir_.path().toStdString() + "/blocker";
  std::ofstream(blocker) << "a file where a directory should be";
  UseStateDirectory(blocker);
  TfrmMain& window = Create();
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  window.cmdMake->click();
  EXPECT_EQ(Status(), "The mail could not be queued (cannot create " + blocker +
                          "/pelorin32: Not a directory); it stays in the window.");
  EXPECT_EQ(window.Workflow().Phase(), SendPhase::Idle);
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("S"));
  EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("B"));
  HandleAllDue();
  EXPECT_EQ(peer_.Connections(), 0);
}

// A recipient refused for now while another took the message: the message stays queued for
// it alone, the status says so, and the next send goes to it and to nobody else.
TEST_F(SendWorkflowTest, ARecipientRefusedForNowKeepsTheMessageQueuedForItAlone) {
  peer_.Script("RCPT", {"250 ok", "450 greylisted", "250 ok"});
  TfrmMain& window = Create();
  Type(QStringLiteral("a@example.org, b@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(Status(),
            "Mail has been sent, but the server refused these recipients for now; it stays "
            "queued for them alone: b@example.org: 450 greylisted");
  EXPECT_TRUE(boxes_.Boxes().empty());
  ASSERT_EQ(OutboxFiles().size(), 1u);
  std::string why;
  const auto left =
      pelorin::ParseOutboxFile(ReadFile(OutboxDirectory() + "/" + OutboxFiles()[0]), why);
  ASSERT_TRUE(left) << why;
  EXPECT_EQ(left->recipient, "b@example.org");

  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  const std::vector<std::string> commands = peer_.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RCPT TO: <a@example.org>"), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RCPT TO: <b@example.org>"), 2);
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
}

// Mail that a link-mode copy left while this copy ran goes with this copy's next send.
TEST_F(SendWorkflowTest, MailLeftByAnotherCopyGoesWithTheNextSend) {
  Create();
  ASSERT_TRUE(QueueFromAnotherCopy("a@example.org", "left"));
  Type(QStringLiteral("b@example.org"), QStringLiteral("new"), QStringLiteral("2"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(peer_.Messages(), (std::vector<std::string>{
                                  ComposedMessage("a@example.org", "left", "1"),
                                  ComposedMessage("b@example.org", "new", "2"),
                              }));
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
}

// A queued message refused for good whose text can be kept nowhere (a draft in the window, no
// refused folder) keeps its file in the outbox.
TEST_F(SendWorkflowTest, ARefusedMessageWhoseTextCannotBeKeptStaysInTheOutbox) {
  ASSERT_TRUE(QueueFromAnotherCopy("bad@example.org", "s"));  // an earlier run's, as on disk
  std::ofstream(stateHome_ + "/pelorin32/refused") << "a file where the folder should be";
  peer_.Script("RCPT", {"<hold>550 no such user"});
  TfrmMain& window = Create();
  const int ended = sendsEnded_;
  window.cmdMake->click();  // nothing typed: what is queued goes
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  Type(QStringLiteral("c@example.org"), QStringLiteral("draft"), QStringLiteral("3"));
  peer_.Release();
  ASSERT_TRUE(WaitForSendEnd(ended)) << Status();
  EXPECT_EQ(Status(),
            "Mail to bad@example.org was refused and could not be kept (Not a directory); it "
            "stays in the outbox until it can be.");
  EXPECT_EQ(OutboxFiles().size(), 1u);
  EXPECT_EQ(Queued(), 1u);
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("draft"));
}

// --- Link mode ---

TEST_F(SendWorkflowTest, InLinkModeTheProgramEndsAfterASend) {
  TfrmMain& window = Create({"pelorin32", "/u", "mailto:x@example.org?Subject=Hi"});
  window.edsMemo->setPlainText(QStringLiteral("Body"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_FALSE(window.isVisible());
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(peer_.Messages()[0], ComposedMessage("x@example.org", "Hi", "Body"));
}

TEST_F(SendWorkflowTest, InLinkModeADoubleClickOnSendDeliversOneCopy) {
  TfrmMain& window = Create({"pelorin32", "/u", "mailto:x@example.org?Subject=Hi"});
  window.edsMemo->setPlainText(QStringLiteral("Body"));
  const int ended = sendsEnded_;
  window.cmdMake->click();
  window.cmdMake->click();
  ASSERT_TRUE(WaitForSendEnd(ended));
  EXPECT_EQ(window.lblStatus->text(), kSent);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(peer_.Messages(),
            std::vector<std::string>{ComposedMessage("x@example.org", "Hi", "Body")});
}

TEST_F(SendWorkflowTest, InLinkModeARefusalKeepsTheWindowOpen) {
  peer_.Script("RCPT", {"550 no such user"});
  TfrmMain& window = Create({"pelorin32", "/u", "mailto:x@example.org?Subject=Hi"});
  window.edsMemo->setPlainText(QStringLiteral("Body"));
  ASSERT_TRUE(SendAndWait());
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.lblStatus->text(), kRefused);
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("Hi"));
  EXPECT_EQ(window.edsMemo->toPlainText(), QStringLiteral("Body"));
}

// --- Attachments ---

// The bytes of the message's first attached file.
std::string FirstAttachment(const std::string& message) {
  const std::string start = "Content-Transfer-Encoding: base64\r\n\r\n";
  const std::size_t from = message.find(start);
  if (from == std::string::npos) return "<nothing attached>";
  const std::size_t to = message.find("\r\n--", from);
  return QByteArray::fromBase64(QByteArray::fromStdString(
                                    message.substr(from + start.size(), to - from - start.size())))
      .toStdString();
}

TEST_F(SendWorkflowTest, ALinksFileIsListedAndGoesFromTheOutboxCopyWhenDeletedAfterQueuing) {
  const std::string path = dir_.path().toStdString() + "/My Report.pdf";
  const std::string bytes = "%PDF-1.4\n" + std::string(300000, '\xA7');
  std::ofstream(path, std::ios::binary) << bytes;
  peer_.Script("greeting", {"<hold>220 peer ready"});
  const QByteArray encoded = QUrl::toPercentEncoding(QString::fromStdString(path), "/");
  TfrmMain& window = Create(
      {"pelorin32", "/u", "mailto:x@example.org?subject=Report&attach=" + encoded.toStdString()});
  ASSERT_EQ(window.lstAttachments->count(), 1);
  EXPECT_EQ(window.lstAttachments->item(0)->text(), QStringLiteral("My Report.pdf"));
  EXPECT_TRUE(window.lstAttachments->isVisible());
  EXPECT_EQ(Queued(), 0u) << "nothing goes before Send";
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  ASSERT_TRUE(std::filesystem::remove(path));
  peer_.Release();
  ASSERT_TRUE(WaitForSendEnd(ended)) << Status();
  ASSERT_EQ(peer_.Messages().size(), 1u);
  EXPECT_EQ(FirstAttachment(peer_.Messages()[0]), bytes);
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(SendWorkflowTest, AFileGoneBeforeSendIsNamedAndNothingIsQueued) {
  TfrmMain& window = Create();
  const std::string path = dir_.path().toStdString() + "/gone.txt";
  std::ofstream(path) << "text";
  window.AttachFiles({path});
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(std::filesystem::remove(path));
  window.cmdMake->click();
  HandleAllDue();
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
  EXPECT_EQ(peer_.Connections(), 0);
  ASSERT_EQ(boxes_.Boxes().size(), 1u);
  EXPECT_EQ(boxes_.Boxes()[0].text, "The file " + path +
                                        " cannot be read: it no longer exists. Nothing was "
                                        "queued; the mail stays in the window.");
  EXPECT_EQ(window.lstAttachments->count(), 1);
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("S"));
}

// The window keeps only the files' paths: the message refused for good is kept whole.
TEST_F(SendWorkflowTest, TheWindowsMessageRefusedWithAFileIsKeptWholeThoughTheFileIsGone) {
  const std::string path = dir_.path().toStdString() + "/notes.bin";
  const std::string bytes = std::string(5000, '\x9C') + "end";
  std::ofstream(path, std::ios::binary) << bytes;
  peer_.Script("RCPT", {"<hold>250 ok"});
  peer_.Script("DATA", {"554 no data"});
  TfrmMain& window = Create();
  window.AttachFiles({path});
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  const int ended = sendsEnded_;
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&] { return peer_.Holding(); }));
  ASSERT_TRUE(std::filesystem::remove(path));
  peer_.Release();
  ASSERT_TRUE(WaitForSendEnd(ended)) << Status();
  const std::string lead =
      "Mail to x@example.org was refused; its text stays in the window, and the whole message "
      "with its files is kept in ";
  ASSERT_EQ(Status().substr(0, lead.size()), lead) << Status();
  const std::string kept = Status().substr(lead.size(), Status().size() - lead.size() - 1);
  EXPECT_EQ(FirstAttachment(ReadFile(kept)), bytes);
  EXPECT_EQ(OutboxFiles(), std::vector<std::string>{});
  EXPECT_EQ(window.edsSubj->text(), QStringLiteral("S"));
}

// RFC 1870: a message beyond the SIZE the server announced is refused before any of it goes,
// in lock-step and pipelined, while the others are delivered.
TEST_F(SendWorkflowTest, AMessageBeyondTheServersSizeIsRefusedBeforeItsData) {
  for (const bool pipelined : {false, true}) {
    SCOPED_TRACE(pipelined ? "pipelined" : "lock-step");
    app_test::ScriptedSmtpPeer peer;
    peer.Script("HELO", {pipelined ? "250-peer\r\n250-PIPELINING\r\n250 SIZE 1000"
                                   : "250-peer\r\n250 SIZE 1000"});
    pelorin::SendSettings settings{"127.0.0.1", peer.Start(), "", false, {}, {}};
    settings.smtp.extended = true;
    boxes_.Clear();
    if (!window_) Create();
    pelorin::Outbox& queue = window_->Workflow().Queue();
    const std::string small = "Subject: small\r\n\r\nsmall\r\n";
    std::string big = "Subject: Big\r\n\r\n";
    for (int i = 0; i < 20; ++i) big += std::string(72, 'x') + "\r\n";
    ASSERT_EQ(queue.Append("a@example.org", small, {}), "");
    ASSERT_EQ(queue.Append("b@example.org", big, {"", "b@example.org", "Big", ""}), "");
    ASSERT_EQ(queue.Append("c@example.org", small, {}), "");
    const int ended = sendsEnded_;
    window_->Workflow().Send(settings);
    ASSERT_TRUE(WaitForSendEnd(ended)) << Status();
    EXPECT_EQ(peer.Messages(), std::vector<std::string>{small});
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text,
              "The server takes messages of at most 1000 bytes (0.0 MiB); this one comes to " +
                  std::to_string(big.size()) +
                  " bytes (0.0 MiB), so it is not sent.\r\nThe message to b@example.org "
                  "(subject \"Big\") is refused for good and leaves the outbox.");
    for (const std::string& command : peer.Commands())
      EXPECT_NE(command, "RCPT TO: <b@example.org>");
    EXPECT_EQ(Queued(), 1u) << "the one after it waits for the next send";
    while (Queued() > 0) window_->Workflow().Queue().TakeHead();
  }
}

TEST_F(SendWorkflowTest, FilesDroppedOnTheBodyAreListedAndCanBeRemoved) {
  TfrmMain& window = Create();
  const std::vector<QWidget*> partControls = {
      window.Label1,   window.Label2,  window.Label3,   window.Label4,  window.edsName,
      window.edsEmail, window.edsSubj, window.edsMemo,  window.cmdMake, window.cmdAdd,
      window.cmdDel,   window.cmdMin,  window.lblStatus};
  std::vector<QRect> placed;
  for (QWidget* control : partControls) placed.push_back(control->geometry());
  const std::string first = dir_.path().toStdString() + "/first.txt";
  const std::string second = dir_.path().toStdString() + "/second.txt";
  std::ofstream(first) << "1";
  std::ofstream(second) << "22";
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(first)),
                QUrl::fromLocalFile(QString::fromStdString(second))});
  // As a drag from a file manager ends: entering, then the drop.
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window.edsMemo->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window.edsMemo->viewport(), &drop);

  EXPECT_EQ(window.edsMemo->toPlainText(), QString()) << "the paths are not typed in";
  ASSERT_EQ(window.lstAttachments->count(), 2);
  EXPECT_EQ(window.lblAttachments->text(), QStringLiteral("3 bytes"));
  EXPECT_TRUE(window.rect().contains(window.lstAttachments->geometry()));
  for (std::size_t i = 0; i < partControls.size(); ++i) {
    EXPECT_EQ(partControls[i]->geometry(), placed[i]) << "no control of the window moves";
  }
  window.lstAttachments->setCurrentRow(0);
  window.lstAttachments->actions().at(0)->trigger();  // the list's "Remove", also on Delete
  ASSERT_EQ(window.lstAttachments->count(), 1);
  EXPECT_EQ(window.lstAttachments->item(0)->text(), QStringLiteral("second.txt"));
  window.lstAttachments->setCurrentRow(0);
  window.lstAttachments->actions().at(0)->trigger();
  EXPECT_FALSE(window.lstAttachments->isVisible());
  EXPECT_EQ(window.size(), QSize(357, 355));
}

// The window stays until the user has read that not everyone got the mail.
TEST_F(SendWorkflowTest, InLinkModeARecipientRefusedAmongOthersKeepsTheWindowOpen) {
  for (const char* refusal : {"450 greylisted", "550 no such user"}) {
    SCOPED_TRACE(refusal);
    UseStateDirectory(dir_.path().toStdString() + "/" + refusal);
    app_test::ScriptedSmtpPeer peer;
    peer.Script("RCPT", {"250 ok", refusal});
    pelorin::SmtpPort = peer.Start();
    TfrmMain& window = Create({"pelorin32", "/u", "mailto:a@example.org,b@example.org?Subject=Hi"});
    window.edsMemo->setPlainText(QStringLiteral("Body"));
    ASSERT_TRUE(SendAndWait());
    EXPECT_TRUE(window.isVisible()) << Status();
    EXPECT_NE(Status().find("b@example.org: " + std::string(refusal)), std::string::npos);
    window_.reset();
  }
}

}  // namespace

// --- Tries nobody started ---

// In the tray with queued mail tried again by itself: a 4xx leaves the message queued and the
// status names the next try; the try that follows, started by nobody, opens no box when the
// server refuses the message for good: it goes to the refused folder, and the status says so.
TEST_F(SendWorkflowTest, ATryNobodyStartedKeepsARefusedMessageInTheRefusedFolderWithoutABox) {
  peer_.Script("data", {"451 later", "554 refused for good"});
  TfrmMain& window = Create();
  window.ApplyRetrySetting();
  ASSERT_NE(window.Retry(), nullptr);
  Type(QStringLiteral("x@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  ASSERT_TRUE(SendAndWait());
  ASSERT_EQ(boxes_.Texts(), std::vector<std::string>{"451 later\r\n"});
  const std::string nextTry = window.Retry()->NextTryText();
  ASSERT_FALSE(nextTry.empty()) << "no try follows a 4xx";
  EXPECT_EQ(Status(),
            "Mail not sent (the server refused it); it will be tried again at " + nextTry + ".");

  boxes_.Clear();
  const int ended = sendsEnded_;
  window.Retry()->TryNow();
  ASSERT_TRUE(WaitForSendEnd(ended)) << Status();
  EXPECT_TRUE(boxes_.Texts().empty()) << boxes_.Texts().front();
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(window.Retry()->NextTry(), std::nullopt);
  const std::string lead = "Mail to x@example.org was refused; its text is kept in " + stateHome_ +
                           "/pelorin32/refused/";
  EXPECT_EQ(Status().substr(0, lead.size()), lead) << Status();
  EXPECT_TRUE(OutboxFiles().empty());
}

// A try nobody started never asks the user: no password question when neither memory nor the
// keyring has one, no browser for a token that needs a new sign-in; then the tries stop and the
// message waits for the user's next Send. A token that cannot be had for now (the provider out
// of reach) keeps the tries going.
TEST_F(SendWorkflowTest, ATryNobodyStartedThatCannotSignInAsksNobodyAndStopsTheTries) {
  struct Case {
    pelorin::SignInChoice signIn;
    pelorin::oauth::TokenAnswer token;
    bool triesGoOn;
  };
  const pelorin::oauth::TokenAnswer unreachable{
      pelorin::oauth::TokenResult::Failed, {}, "the provider cannot be reached"};
  const std::vector<Case> cases = {
      {pelorin::SignInChoice::Password, {}, false},
      {pelorin::SignInChoice::OAuthGoogle, testing_support::kSignInNeeded, false},
      {pelorin::SignInChoice::OAuthGoogle, unreachable, true},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(++round);
    testing_support::TokenScript tokens;
    tokens.tokens = {c.token};
    testing_support::UseScriptedTokens(tokens);
    window_.reset();
    UseStateDirectory(dir_.path().toStdString() + "/" + std::to_string(round));
    ASSERT_TRUE(pelorin::WriteSecuritySettings({pelorin::SmtpSecurity::StartTls, "ann"}));
    ASSERT_TRUE(pelorin::WriteSignInSettings({c.signIn, {}, {}}));
    ASSERT_TRUE(QueueFromAnotherCopy("x@example.org", "Waits"));
    TfrmMain& window = Create();
    window.ApplyRetrySetting();
    ASSERT_NE(window.Retry(), nullptr);
    ASSERT_NE(window.Retry()->NextTry(), std::nullopt);
    const int ended = sendsEnded_;
    window.Retry()->TryNow();
    if (c.signIn != pelorin::SignInChoice::Password) {
      ASSERT_TRUE(WaitForSendEnd(ended));
    }
    EXPECT_TRUE(RunEventsUntil([&] { return window.Retry()->NextTry().has_value() == c.triesGoOn; },
                               kWithinTheTimeOutMs));
    HandleAllDue();
    EXPECT_EQ(window.Retry()->NextTry().has_value(), c.triesGoOn);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "a question nobody expects";
    EXPECT_TRUE(boxes_.Boxes().empty());
    EXPECT_EQ(Queued(), 1u);
    EXPECT_EQ(std::count(tokens.asked.begin(), tokens.asked.end(), "sign-in"), 0)
        << "no browser opens";
  }
  EXPECT_EQ(peer_.Commands(), std::vector<std::string>{});
  pelorin::oauth::UseTokenSourceMaker({});
}

// The user's Send during a try nobody started joins it and makes it the user's: a certificate
// the user then trusts is kept for the server that try talks to.
TEST_F(SendWorkflowTest, ASendThatJoinsATryNobodyStartedAnswersForItsServer) {
  ASSERT_TRUE(QueueFromAnotherCopy("x@example.org", "Waits"));
  TfrmMain& window = Create();
  window.ApplyRetrySetting();
  ASSERT_NE(window.Retry(), nullptr);
  peer_.Script("data", {"<hold>250 accepted"});
  window.Retry()->TryNow();
  ASSERT_TRUE(RunEventsUntil([this] { return peer_.Holding(); }, kWithinTheTimeOutMs));
  Type(QStringLiteral("y@example.org"), QStringLiteral("S"), QStringLiteral("B"));
  window.cmdMake->click();
  ASSERT_FALSE(window.Workflow().Unattended());
  emit window.Workflow().CertificateTrusted(QStringLiteral("AB:CD"));
  EXPECT_EQ(pelorin::ReadTrustedCertificate(pelorin::SmtpServer, pelorin::SmtpPort), "AB:CD");
}
