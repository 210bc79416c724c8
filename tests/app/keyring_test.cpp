// The password's way through a real keyring: GNOME Keyring's Secret Service in a private D-Bus
// session, and, in a run of its own, a session bus that is not there. run_in_keyring_session.sh
// makes either, with a home of its own; CTest runs each suite through it. After every test no
// file under the test's homes and XDG directories holds a password it used.
#include "desktop/keyring.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

#include "app/frm_advanced.h"
#include "app/frm_main.h"
#include "app/frm_settings.h"
#include "app/globals.h"
#include "app/password_source.h"
#include "app/program_world.h"
#include "app/security_settings.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "support/event_loop.h"
#include "support/files_holding.h"

namespace pelorin {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using testing_support::FilesHolding;
using testing_support::RunEventsUntil;

constexpr int kKeyringTimeoutMs = 20000;
constexpr const char* kServer = "smtp.example.org";
constexpr const char* kUser = "ann@example.org";
// Distinctive, so that finding them in a file means they were written there.
constexpr const char* kPassword = "Quokka-7391-pass";
constexpr const char* kOtherPassword = "W\xC3\xB6mbat-\xE2\x9C\x93-2804";

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// The keyring's answer, waited for.
keyring::Answer Await(const std::function<void(keyring::Done)>& start) {
  auto answer = std::make_shared<std::optional<keyring::Answer>>();
  start([answer](const keyring::Answer& given) { *answer = given; });
  EXPECT_TRUE(RunEventsUntil([&] { return answer->has_value(); }, kKeyringTimeoutMs))
      << "the keyring did not answer";
  return answer->value_or(keyring::Answer{});
}

keyring::Answer ReadKeyring(const std::string& key) {
  return Await([&](keyring::Done done) { keyring::Read(key, done); });
}

const std::string kKey = keyring::KeyFor(kServer, kUser);

// A fetch under way: its answer, once given.
struct Fetch {
  bool answered = false;
  std::optional<std::string> password;
};

std::shared_ptr<Fetch> StartFetch(QWidget* parent) {
  auto fetch = std::make_shared<Fetch>();
  FetchPassword(parent, kServer, kUser, [fetch](std::optional<std::string> password) {
    fetch->answered = true;
    fetch->password = std::move(password);
  });
  return fetch;
}

std::vector<QInputDialog*> OpenQuestions() {
  std::vector<QInputDialog*> open;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    auto* question = qobject_cast<QInputDialog*>(window);
    if (question != nullptr && question->isVisible()) open.push_back(question);
  }
  return open;
}

// Waits for the question, or for the fetch to be answered without one.
QInputDialog* AwaitQuestion(const Fetch& fetch) {
  RunEventsUntil([&] { return !OpenQuestions().empty() || fetch.answered; }, kKeyringTimeoutMs);
  const std::vector<QInputDialog*> open = OpenQuestions();
  return open.empty() ? nullptr : open.front();
}

void Answer(QInputDialog* question, const std::string& password) {
  question->setTextValue(QString::fromStdString(password));
  question->accept();
}

bool AwaitAnswer(const Fetch& fetch) {
  return RunEventsUntil([&] { return fetch.answered; }, kKeyringTimeoutMs);
}

void AwaitSettled(const std::function<void(std::function<void()>)>& start) {
  bool settled = false;
  start([&settled] { settled = true; });
  EXPECT_TRUE(RunEventsUntil([&] { return settled; }, kKeyringTimeoutMs));
}

class KeyringTestBase : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override { ResetPasswordSourceForTesting(); }
  void TearDown() override {
    for (QInputDialog* question : OpenQuestions()) question->reject();
    delete frmSettings.data();
    ResetPasswordSourceForTesting();
    // The wrapper's homes (the keyring's own files among them), this test's home, hives and
    // state directory of queued mail, and the program directory.
    for (const std::string& directory : {Environment("PELORIN_KEYRING_SCRATCH"),
                                         environment_.Scratch().Dir(), world_.program.Dir()}) {
      if (directory.empty()) continue;
      for (const char* password : {kPassword, kOtherPassword}) {
        EXPECT_THAT(FilesHolding(directory, password), IsEmpty())
            << "a password was written to a file";
      }
    }
  }

  // The way the run was made; the wrapper script says which.
  static bool RunBy(const std::string& mode) { return Environment("PELORIN_TEST_KEYRING") == mode; }

  QWidget window_;
};

constexpr const char* kRunThroughTheWrapper =
    "run this test through tests/app/run_in_keyring_session.sh (CTest does), which provides the "
    "keyring or its absence";

// ---- With a keyring ------------------------------------------------------------------

class KeyringSession : public KeyringTestBase {
 protected:
  void SetUp() override {
    KeyringTestBase::SetUp();
    ASSERT_TRUE(RunBy("keyring")) << kRunThroughTheWrapper;
    // A fresh start whatever an earlier test left.
    const keyring::Answer removed = Await([](keyring::Done done) { keyring::Remove(kKey, done); });
    ASSERT_NE(removed.outcome, keyring::Outcome::Failed) << removed.error;
  }
};

TEST_F(KeyringSession, StoresReadsBackAndRemovesAPassword) {
  for (const char* password : {kPassword, kOtherPassword}) {
    SCOPED_TRACE(password);
    const keyring::Answer written =
        Await([&](keyring::Done done) { keyring::Write(kKey, password, done); });
    ASSERT_EQ(written.outcome, keyring::Outcome::Done) << written.error;
    const keyring::Answer read = ReadKeyring(kKey);
    EXPECT_EQ(read.outcome, keyring::Outcome::Done) << read.error;
    EXPECT_EQ(read.secret, password);
    EXPECT_EQ(ReadKeyring(keyring::KeyFor(kServer, "bob")).outcome, keyring::Outcome::NotFound)
        << "another user's key holds nothing";
  }
  const keyring::Answer removed = Await([](keyring::Done done) { keyring::Remove(kKey, done); });
  EXPECT_EQ(removed.outcome, keyring::Outcome::Done) << removed.error;
  EXPECT_EQ(ReadKeyring(kKey).outcome, keyring::Outcome::NotFound);
  EXPECT_EQ(ReadKeyring(kKey).secret, "");
  EXPECT_NE(Await([](keyring::Done done) { keyring::Remove(kKey, done); }).outcome,
            keyring::Outcome::Failed)
      << "removing what is not there is no failure";
}

TEST_F(KeyringSession, AskedOnceKeptInTheKeyringAndAskedAgainOnceForgotten) {
  const auto first = StartFetch(&window_);
  QInputDialog* question = AwaitQuestion(*first);
  ASSERT_NE(question, nullptr) << "nothing in the keyring: the user is asked";
  EXPECT_EQ(question->parentWidget(), &window_);
  EXPECT_EQ(question->windowTitle(), QStringLiteral("Pelorin32"));
  EXPECT_EQ(question->labelText(),
            QStringLiteral("Password of ann@example.org at smtp.example.org:"));
  EXPECT_EQ(question->textEchoMode(), QLineEdit::Password);
  Answer(question, kPassword);
  ASSERT_TRUE(AwaitAnswer(*first));
  EXPECT_EQ(first->password, kPassword);
  EXPECT_EQ(ReadKeyring(kKey).secret, kPassword) << "kept in the keyring before the send goes on";

  const auto fromMemory = StartFetch(&window_);
  EXPECT_TRUE(fromMemory->answered) << "this run remembers it";
  EXPECT_EQ(fromMemory->password, kPassword);

  ResetPasswordSourceForTesting();  // as at the next start of the program
  const auto fromKeyring = StartFetch(&window_);
  EXPECT_EQ(AwaitQuestion(*fromKeyring), nullptr) << "no question: the keyring has it";
  ASSERT_TRUE(AwaitAnswer(*fromKeyring));
  EXPECT_EQ(fromKeyring->password, kPassword);

  AwaitSettled([](std::function<void()> settled) { ForgetPassword(kServer, kUser, settled); });
  EXPECT_EQ(ReadKeyring(kKey).outcome, keyring::Outcome::NotFound);
  const auto afterRefusal = StartFetch(&window_);
  QInputDialog* again = AwaitQuestion(*afterRefusal);
  ASSERT_NE(again, nullptr) << "forgotten by memory and keyring";
  again->reject();
  ASSERT_TRUE(AwaitAnswer(*afterRefusal));
  EXPECT_EQ(afterRefusal->password, std::nullopt) << "cancelled";
  EXPECT_EQ(ReadKeyring(kKey).outcome, keyring::Outcome::NotFound) << "nothing kept";
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

TEST_F(KeyringSession, FetchesUnderWayShareOneQuestion) {
  const auto first = StartFetch(&window_);
  const auto second = StartFetch(&window_);
  QInputDialog* question = AwaitQuestion(*first);
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(OpenQuestions().size(), 1u);
  Answer(question, kPassword);
  ASSERT_TRUE(AwaitAnswer(*first));
  ASSERT_TRUE(AwaitAnswer(*second));
  EXPECT_EQ(first->password, kPassword);
  EXPECT_EQ(second->password, kPassword);
}

TEST_F(KeyringSession, AQuestionWhoseWindowCloses) {
  auto window = std::make_unique<QWidget>();
  const auto fetch = StartFetch(window.get());
  ASSERT_NE(AwaitQuestion(*fetch), nullptr);
  window.reset();
  EXPECT_TRUE(OpenQuestions().empty()) << "went with its window";
  EXPECT_FALSE(fetch->answered) << "whoever asked went with the window too";
  const auto next = StartFetch(&window_);
  ASSERT_NE(AwaitQuestion(*next), nullptr) << "a later fetch is not held up";
}

// The password given in the advanced settings belongs to the server the settings save: it is
// kept only with their OK, under that server, and not at all when they are cancelled.
TEST_F(KeyringSession, ThePasswordIsKeptWithTheSettingsOkForTheServerTheySave) {
  NeedsSetup = false;
  SmtpServer = "old.example.org";
  const std::string oldKey = keyring::KeyFor(SmtpServer, kUser);
  for (const bool ok : {false, true}) {
    SCOPED_TRACE(ok ? "OK" : "Cancel");
    frmSettings = new TfrmSettings();
    frmSettings->edsSMTP->setText(QString::fromLatin1(kServer));  // typed, not yet saved
    frmSettings->cmdAdvanced->click();
    ASSERT_TRUE(frmSettings->frmAdvanced);
    TfrmAdvanced& advanced = *frmSettings->frmAdvanced;
    advanced.edsUserName->setText(QString::fromLatin1(kUser));
    advanced.edsPassword->setText(QString::fromLatin1(kPassword));
    advanced.cmdOk->click();
    (ok ? frmSettings->cmdOk : frmSettings->cmdCancel)->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (ok) {
      EXPECT_TRUE(
          RunEventsUntil([] { return ReadKeyring(kKey).secret == kPassword; }, kKeyringTimeoutMs))
          << "kept under " << kKey;
    } else {
      EXPECT_EQ(ReadKeyring(kKey).outcome, keyring::Outcome::NotFound);
      EXPECT_EQ(ReadSecuritySettings().userName, "");
    }
    EXPECT_EQ(ReadKeyring(oldKey).outcome, keyring::Outcome::NotFound);
  }
  EXPECT_EQ(ReadSecuritySettings().userName, kUser);

  ResetPasswordSourceForTesting();
  const auto fetch = StartFetch(&window_);
  EXPECT_EQ(AwaitQuestion(*fetch), nullptr);
  EXPECT_EQ(fetch->password, kPassword);

  // Opened again, the field is empty; OK with it empty keeps the password.
  frmSettings = new TfrmSettings();
  frmSettings->cmdAdvanced->click();
  ASSERT_TRUE(frmSettings->frmAdvanced);
  EXPECT_EQ(frmSettings->frmAdvanced->edsPassword->text(), QString());
  frmSettings->frmAdvanced->cmdOk->click();
  frmSettings->cmdOk->click();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(ReadKeyring(kKey).secret, kPassword);
  EXPECT_THAT(boxes_.Boxes(), IsEmpty());
}

// A sign-in refused at the end of a send forgets the password that send used, even when the
// settings name another server and user by then.
TEST_F(KeyringSession, ARefusedSignInForgetsThePasswordOfTheSendNotOfTheSettingsNow) {
  const std::string otherKey = keyring::KeyFor("other.example.org", "bob");
  AwaitSettled([](std::function<void()> settled) {
    SavePassword("other.example.org", "bob", kOtherPassword, settled);
  });
  AwaitSettled(
      [](std::function<void()> settled) { SavePassword(kServer, kUser, kPassword, settled); });
  ASSERT_TRUE(WriteSecuritySettings({SmtpSecurity::StartTls, kUser}));
  SmtpServer = kServer;
  SmtpPort = "1";  // refused at once: the send ends without a conversation
  os::SetCommandLine({"pelorin32", "/u", "mailto:x@example.org?Subject=Hi"});
  TfrmMain window;
  int ended = 0;
  QObject::connect(&window.Workflow(), &SendWorkflow::SendEnded,
                   [&ended](const SendReport&) { ++ended; });
  window.cmdMake->click();
  ASSERT_TRUE(RunEventsUntil([&ended] { return ended == 1; }, kKeyringTimeoutMs));

  SmtpServer = "other.example.org";
  ASSERT_TRUE(WriteSecuritySettings({SmtpSecurity::StartTls, "bob"}));
  SendReport refused;
  refused.signInRefused = true;
  emit window.Workflow().SendEnded(refused);
  EXPECT_TRUE(RunEventsUntil([] { return ReadKeyring(kKey).outcome == keyring::Outcome::NotFound; },
                             kKeyringTimeoutMs));
  EXPECT_EQ(ReadKeyring(otherKey).secret, kOtherPassword);
}

// ---- Without a keyring ---------------------------------------------------------------

class NoKeyring : public KeyringTestBase {
 protected:
  void SetUp() override {
    KeyringTestBase::SetUp();
    ASSERT_TRUE(RunBy("none")) << kRunThroughTheWrapper;
  }
};

TEST_F(NoKeyring, SaysSoOnceAndAsksAtEachSend) {
  for (int send = 1; send <= 2; ++send) {
    SCOPED_TRACE("send " + std::to_string(send));
    const auto fetch = StartFetch(&window_);
    QInputDialog* question = AwaitQuestion(*fetch);
    ASSERT_NE(question, nullptr) << "asked at each send";
    Answer(question, kPassword);
    ASSERT_TRUE(AwaitAnswer(*fetch));
    EXPECT_EQ(fetch->password, kPassword);
  }
  ASSERT_EQ(boxes_.Boxes().size(), 1u) << "said once";
  const os::BoxRequest box = boxes_.Boxes().front();
  EXPECT_THAT(box.text, StartsWith(std::string(kNoKeyringText) + "\n\n"));
  EXPECT_GT(box.text.size(), std::string(kNoKeyringText).size() + 2)
      << "the keyring's own words follow";
  EXPECT_EQ(box.caption, "Pelorin32");
  EXPECT_EQ(box.buttons, os::BoxButtons::Ok);

  AwaitSettled(
      [](std::function<void()> settled) { SavePassword(kServer, kUser, kOtherPassword, settled); });
  AwaitSettled([](std::function<void()> settled) { ForgetPassword(kServer, kUser, settled); });
  EXPECT_EQ(boxes_.Boxes().size(), 1u) << "still said once";
  const auto afterSave = StartFetch(&window_);
  QInputDialog* question = AwaitQuestion(*afterSave);
  ASSERT_NE(question, nullptr) << "nothing was kept, not even for this run";
  question->reject();
  ASSERT_TRUE(AwaitAnswer(*afterSave));
  EXPECT_EQ(afterSave->password, std::nullopt);
}

TEST_F(NoKeyring, SettingsOkSaysSoAndKeepsThePasswordNowhere) {
  frmSettings = new TfrmSettings();
  frmSettings->edsSMTP->setText(QString::fromLatin1(kServer));
  frmSettings->cmdAdvanced->click();
  ASSERT_TRUE(frmSettings->frmAdvanced);
  frmSettings->frmAdvanced->edsUserName->setText(QString::fromLatin1(kUser));
  frmSettings->frmAdvanced->edsPassword->setText(QString::fromLatin1(kPassword));
  frmSettings->frmAdvanced->cmdOk->click();
  frmSettings->cmdOk->click();
  ASSERT_TRUE(RunEventsUntil([this] { return !boxes_.Boxes().empty(); }, kKeyringTimeoutMs));
  EXPECT_THAT(boxes_.Texts().front(), StartsWith(kNoKeyringText));
  EXPECT_EQ(ReadSecuritySettings().userName, kUser) << "the user name is kept all the same";
}

}  // namespace
}  // namespace pelorin
