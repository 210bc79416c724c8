// The send workflow of the real quick-send window (offscreen) against an SMTP peer on 127.0.0.1
// that misbehaves at random: refusals, resets, closes, silence, answers that are not SMTP,
// held replies. Meanwhile the test types drafts, presses Send, closes boxes late (the box
// recorder's hook runs events, presses Send and types while a box is "open") and restarts the
// program: the window is destroyed abruptly and a new one loads the outbox from the same state
// directory.
//
// After each run every message typed is accounted for: delivered once, still queued on disk,
// still in the fields, or in the refused folder with a box and a status that said so. A message
// may be delivered twice only when its connection was lost after the end of its data reached
// the server and before the client saw the server's reply; the peer keeps count of those.
//
// Each run is seeded. PELORIN_INTERLEAVING_SEED=<seed> PELORIN_INTERLEAVING_RUNS=1 replays one
// (timing aside); without them the first seed is new each time and printed with any failure.
// PELORIN_INTERLEAVING_LOG=1 prints what each run did, failed or not.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "app/globals.h"
#include "app/program_world.h"
#include "app/scripted_smtp_peer.h"
#include "desktop/shell_tray.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "support/event_loop.h"
#include "support/read_file.h"
#include "transport/sockets.h"

namespace {

using app_test::ConnectionPlan;
using app_test::Fault;
using app_test::MisbehavingSmtpPeer;
using app_test::Step;
using pelorin::SendPhase;
using pelorin::SendReport;
using pelorin::TfrmMain;

// --- Plans ---

std::vector<Fault> FaultsAt(Step step) {
  switch (step) {
    case Step::Greeting:
    case Step::Helo:
      return {Fault::Transient, Fault::Permanent, Fault::Reset,
              Fault::Close,     Fault::Silence,   Fault::NotSmtp};
    case Step::MidData:
      return {Fault::Reset, Fault::Close};
    case Step::Quit:
      return {Fault::ByeOnly, Fault::OddBye, Fault::Silence, Fault::Reset, Fault::Close};
    default:
      return {Fault::Transient, Fault::Permanent, Fault::Reset, Fault::Close, Fault::Silence};
  }
}

// Which occurrence of the step in its connection: mostly the first, as a conversation often
// carries one message only.
int RandomOccurrence(std::mt19937& random, Step step) {
  const bool oncePerConnection = step == Step::Greeting || step == Step::Helo || step == Step::Quit;
  return oncePerConnection || std::bernoulli_distribution(0.7)(random) ? 0 : 1;
}

template <typename T>
const T& Pick(std::mt19937& random, const std::vector<T>& choices) {
  return choices[std::uniform_int_distribution<std::size_t>(0, choices.size() - 1)(random)];
}

bool Chance(std::mt19937& random, double p) {
  return std::bernoulli_distribution(p)(random);
}

int Between(std::mt19937& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

std::vector<ConnectionPlan> RandomPlans(std::mt19937& random) {
  const std::vector<Step> steps = {Step::Greeting, Step::Helo,    Step::Mail,      Step::Rcpt,
                                   Step::Data,     Step::MidData, Step::EndOfData, Step::Quit};
  std::vector<ConnectionPlan> plans(static_cast<std::size_t>(Between(random, 1, 4)));
  for (ConnectionPlan& plan : plans) {
    if (Chance(random, 0.85)) {
      plan.faultStep = Pick(random, steps);
      plan.fault = Pick(random, FaultsAt(plan.faultStep));
      plan.faultOccurrence = RandomOccurrence(random, plan.faultStep);
    }
    if (Chance(random, 0.4)) {
      plan.hold = true;
      plan.holdStep = Pick(random, steps);
      if (plan.holdStep == Step::MidData) plan.holdStep = Step::EndOfData;
      plan.holdOccurrence = RandomOccurrence(random, plan.holdStep);
    }
  }
  return plans;
}

// --- What the test typed and where it went ---

struct TypedMessage {
  std::string email;
  std::vector<std::string> bodyLines;
  bool handedOver = false;      // Send was pressed while the fields held it
  bool lostWithWindow = false;  // only in the fields when the program was ended
};

std::vector<std::string> RandomBody(std::mt19937& random) {
  std::vector<std::string> lines;
  if (Chance(random, 0.15)) {  // long enough to arrive in many pieces
    for (int i = 0; i < 1500; ++i) lines.push_back("line " + std::to_string(i) + " of many");
    return lines;
  }
  const std::vector<std::string> pieces = {"Hello,", ".", "..", "", "a line", "Bye"};
  for (int i = Between(random, 0, 4); i > 0; --i) lines.push_back(Pick(random, pieces));
  // The memo has no line after a final line break.
  if (!lines.empty() && lines.back().empty()) lines.back() = "Bye";
  return lines;
}

std::string JoinedWith(const std::vector<std::string>& lines, const std::string& end) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i > 0 ? end : "") + lines[i];
  return text;
}

using testing_support::ReadFile;

// The files in `directory` that end with `suffix`, each with its text.
std::map<std::string, std::string> FilesIn(const std::string& directory,
                                           const std::string& suffix) {
  std::map<std::string, std::string> files;
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(directory, failed)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(suffix) && name[0] != '.') files[entry.path().string()] = ReadFile(entry);
  }
  return files;
}

int LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

const QString kSent = QStringLiteral("Mail has been sent!");
constexpr int kUsualTimeOutMs = 60000;
constexpr int kSettleMs = 20000;  // only ends a wait for a send that never ends

// --- One run ---

class InterleavingRun {
 public:
  InterleavingRun(unsigned seed, os::BoxRecorder& boxes)
      : seed_(seed), random_(seed), boxes_(boxes) {}
  ~InterleavingRun() {
    boxes_.OnBox(nullptr);
    window_.reset();
    peer_.reset();
  }

  void Play() {
    ASSERT_TRUE(stateDirectory_.isValid());
    qputenv("XDG_STATE_HOME", stateDirectory_.path().toUtf8());
    const std::vector<ConnectionPlan> plans = RandomPlans(random_);
    for (const ConnectionPlan& plan : plans) Note(Describe(plan));
    peer_ = std::make_unique<MisbehavingSmtpPeer>(plans);
    pelorin::SmtpPort = peer_->Start();
    ASSERT_FALSE(pelorin::SmtpPort.empty()) << "the peer cannot listen on 127.0.0.1";
    boxes_.Clear();
    boxes_.OnBox([this](const os::BoxRequest& box) { InsideBox(box); });
    OpenWindow();

    TypeDraft();
    PressSend();
    for (int i = Between(random_, 3, 10); i > 0 && !::testing::Test::HasFailure(); --i) {
      Act();
    }
    ASSERT_TRUE(Settle()) << Stuck();
    CheckPlaces(false);
    Flush();
  }

  std::string Log() const { return JoinedWith(log_, "\n  "); }

 private:
  void Note(const std::string& what) { log_.push_back(what); }

  // --- The window ---

  void OpenWindow() {
    os::SetCommandLine({"pelorin32"});
    window_ = std::make_unique<TfrmMain>();
    QObject::connect(window_.get(), &TfrmMain::StatusShown,
                     [this](const QString& text) { statuses_.push_back(text.toStdString()); });
    QObject::connect(&window_->Workflow(), &pelorin::SendWorkflow::SendEnded,
                     [this](const SendReport& report) { CheckOutcome(report); });
    // After the time-out that the silence brought, the next conversation gets the usual one.
    QTimer* timer = window_->Timer1;
    QObject::connect(timer, &QTimer::timeout, [timer] { timer->setInterval(kUsualTimeOutMs); });
    boxesAtLastEnd_ = boxes_.Boxes().size();
    window_->TaskIconClick(nullptr);
    window_->show();
  }

  // The program ends abruptly and starts again on the same state directory.
  void Restart() {
    Note("restart");
    const std::string inFields = FieldsToken();
    if (!inFields.empty() && typed_.count(inFields) && QueuedFiles(inFields) == 0) {
      typed_[inFields].lostWithWindow = true;  // typed text the program never kept
    }
    window_.reset();
    EXPECT_TRUE(Pump([this] {
      peer_->Release();
      return !peer_->ConnectionOpen();
    })) << "the connection stayed open after the window was destroyed";
    OpenWindow();
    const std::size_t waiting = QueuedFiles().size();
    const QString expected =
        waiting == 0   ? QStringLiteral("Waiting...")
        : waiting == 1 ? QStringLiteral("1 message waits; it goes out with the next send.")
                       : QStringLiteral("%1 messages wait; they go out with the next send.")
                             .arg(static_cast<qulonglong>(waiting));
    EXPECT_EQ(window_->lblStatus->text().toStdString(), expected.toStdString());
    EXPECT_EQ(window_->Workflow().Queue().Size(), waiting);
  }

  // --- What the user does ---

  void Act() {
    switch (Between(random_, 0, 9)) {
      case 0:
      case 1:
        return TypeDraft();
      case 2:
      case 3:
        return PressSend();
      case 4:
      case 5:
        return WaitForThePeer();
      case 6:
        Note("release");
        return peer_->Release();
      case 7:
        return Restart();
      case 8:
        Note("settle");
        EXPECT_TRUE(Settle()) << Stuck();
        return;
      default:
        Note("one pass of events");
        QCoreApplication::processEvents();
        return;
    }
  }

  // A new draft, only over fields that hold nothing or what is queued already: the user does
  // not throw text away.
  void TypeDraft() {
    const std::string inFields = FieldsToken();
    const bool empty =
        window_->edsSubj->text().isEmpty() && window_->edsMemo->toPlainText().isEmpty();
    if (!empty && (inFields.empty() || QueuedFiles(inFields) == 0)) return;
    char token[32];
    std::snprintf(token, sizeof token, "m%010u-%02zu", seed_, typed_.size());
    TypedMessage message{"r" + std::to_string(typed_.size()) + "@example.org", RandomBody(random_)};
    Note(std::string("type ") + token + " (" + std::to_string(message.bodyLines.size()) +
         " lines)");
    window_->edsEmail->setText(QString::fromStdString(message.email));
    window_->edsSubj->setText(QString::fromLatin1(token));
    window_->edsMemo->setPlainText(QString::fromStdString(JoinedWith(message.bodyLines, "\n")));
    typed_[token] = message;
  }

  void PressSend() {
    const std::string inFields = FieldsToken();
    Note("send" + (inFields.empty() ? std::string() : " with " + inFields));
    window_->cmdMake->click();
    EXPECT_FALSE(window_->lblStatus->text().startsWith(QStringLiteral("The mail could not be")))
        << window_->lblStatus->text().toStdString();
    if (typed_.count(inFields)) typed_[inFields].handedOver = true;
  }

  // Until the peer is a few steps further, holds a reply, or all is quiet.
  void WaitForThePeer() {
    const int target = peer_->Steps() + Between(random_, 1, 4);
    Note("wait for step " + std::to_string(target));
    Pump([&] { return peer_->Steps() >= target || peer_->Holding() || Quiet(); }, 3000);
  }

  // A box is "open" while this runs: the user may take a moment, press Send or type first.
  void InsideBox(const os::BoxRequest& box) {
    if (QThread::currentThread() != QCoreApplication::instance()->thread() || insideBox_) return;
    insideBox_ = true;
    Note("box: " + box.text.substr(0, box.text.find('\r')));
    switch (Between(random_, 0, 5)) {
      case 0:
        break;
      case 1:
        Note("  events until the peer is gone");
        Pump([this] { return !peer_->ConnectionOpen(); }, 100);
        break;
      case 2:
        Note("  one pass of events");
        QCoreApplication::processEvents();
        break;
      case 3:
        PressSend();
        break;
      case 4:
        TypeDraft();
        break;
      default:
        TypeDraft();
        PressSend();
        break;
    }
    if (Chance(random_, 0.3)) peer_->Release();
    insideBox_ = false;
  }

  // --- Waiting ---

  // Runs events until `done`, shortening the time-out while the peer is silent on the
  // window's connection: a time-out never cuts a conversation that the peer goes on with.
  bool Pump(const std::function<bool()>& done, int timeoutMs = kSettleMs) {
    return testing_support::RunEventsUntil(
        [&] {
          ShortenTimeOutOnSilence();
          return done();
        },
        timeoutMs);
  }

  void ShortenTimeOutOnSilence() {
    if (!window_) return;
    const int silent = peer_->SilentClientPort();
    if (silent == 0 || silent == shortenedFor_ || !window_->Timer1->isActive()) return;
    if (LocalPort(window_->Sockets1->SocketHandle()) != silent) return;
    shortenedFor_ = silent;
    window_->Timer1->setInterval(Between(random_, 1, 50));
  }

  bool Quiet() const {
    return window_->Workflow().Phase() == SendPhase::Idle && !window_->Timer1->isActive() &&
           !peer_->ConnectionOpen() && !peer_->Holding();
  }

  bool Settle() {
    return Pump([this] {
      peer_->Release();
      return Quiet();
    });
  }

  std::string Stuck() const {
    return std::string("the send did not end: phase ") +
           std::string(pelorin::kSendPhaseNames[static_cast<int>(window_->Workflow().Phase())]) +
           (window_->Timer1->isActive() ? ", time-out running" : "") +
           (peer_->ConnectionOpen() ? ", connection open" : "") +
           (peer_->Holding() ? ", peer holding" : "");
  }

  // The peer behaves, the time-out is the usual one, and Send goes once more: whatever was
  // queued or in the fields is delivered now.
  void Flush() {
    Note("flush");
    peer_->EndFaults();
    window_->Timer1->setInterval(kUsualTimeOutMs);
    PressSend();
    ASSERT_TRUE(Settle()) << Stuck();
    CheckPlaces(true);
  }

  // --- Where the messages are ---

  std::string FieldsToken() const { return window_->edsSubj->text().toStdString(); }

  std::map<std::string, std::string> QueuedFiles() const {
    return FilesIn(window_->Workflow().Folder()->OutboxDirectory(), ".msg");
  }

  std::size_t QueuedFiles(const std::string& token) const {
    std::size_t count = 0;
    for (const auto& [path, text] : QueuedFiles()) {
      count += text.find("Subject: " + token + "\r\n") != std::string::npos ? 1 : 0;
    }
    return count;
  }

  std::vector<std::string> RefusedFiles(const std::string& token) const {
    std::vector<std::string> paths;
    for (const auto& [path, text] :
         FilesIn(window_->Workflow().Folder()->RefusedDirectory(), ".eml")) {
      if (text.find("Subject: " + token + "\r\n") != std::string::npos) paths.push_back(path);
    }
    return paths;
  }

  bool InFields(const std::string& token, const TypedMessage& message) const {
    if (FieldsToken() != token) return false;
    EXPECT_EQ(window_->edsMemo->toPlainText().toStdString(), JoinedWith(message.bodyLines, "\n"))
        << token << ": the fields hold its subject with another body";
    return true;
  }

  bool BoxNamedItRefused(const std::string& token) const {
    const std::string naming = "(subject \"" + token + "\") is refused for good";
    const std::vector<std::string> texts = boxes_.Texts();
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
      return text.find(naming) != std::string::npos;
    });
  }

  // One status said `sentence`, alone or among the sentences for other refused messages.
  bool StatusSaid(const std::string& sentence) const {
    return std::any_of(statuses_.begin(), statuses_.end(), [&](const std::string& status) {
      return status.find(sentence) != std::string::npos;
    });
  }

  void CheckDeliveries(const std::string& token, const TypedMessage& message) const {
    const std::string head = "Subject: " + token + "\r\nTo:  <" + message.email + ">\r\n";
    const std::string tail = "\r\n\r\n" + JoinedWith(message.bodyLines, "\r\n") +
                             (message.bodyLines.empty() ? "" : "\r\n");
    for (const MisbehavingSmtpPeer::Delivery& delivery : peer_->DeliveriesOf(token)) {
      EXPECT_EQ(delivery.recipient, message.email) << token;
      EXPECT_TRUE(delivery.data.starts_with(head) && delivery.data.ends_with(tail))
          << token << " arrived as:\n"
          << delivery.data.substr(0, 300);
    }
  }

  void CheckPlaces(bool afterFlush) {
    Note(afterFlush ? "check after the flush" : "check");
    EXPECT_EQ(window_->Workflow().Queue().Size(), QueuedFiles().size());
    for (const std::string& text : boxes_.Texts()) {
      EXPECT_EQ(text.find("cannot be read"), std::string::npos) << text;
    }
    for (const std::string& token : peer_->Tokens()) {
      EXPECT_TRUE(typed_.count(token)) << "the peer received a message nobody typed: " << token;
    }
    for (const auto& [token, message] : typed_) CheckPlacesOf(token, message, afterFlush);
  }

  void CheckPlacesOf(const std::string& token, const TypedMessage& message, bool afterFlush) {
    CheckDeliveries(token, message);
    const int delivered = static_cast<int>(peer_->DeliveriesOf(token).size());
    const int queued = static_cast<int>(QueuedFiles(token));
    const std::vector<std::string> refused = RefusedFiles(token);
    const bool inFields = InFields(token, message);
    const int places = delivered + queued + static_cast<int>(refused.size()) + (inFields ? 1 : 0);
    const std::string where = token + ": delivered " + std::to_string(delivered) + " (" +
                              std::to_string(peer_->UnconfirmedOf(token)) +
                              " unconfirmed), queued " + std::to_string(queued) +
                              ", refused files " + std::to_string(refused.size()) +
                              (inFields ? ", in the fields" : "");
    if (!message.lostWithWindow) {
      EXPECT_GE(places, 1) << "lost: " << where;
    }
    EXPECT_LE(places, 1 + peer_->UnconfirmedOf(token)) << "doubled: " << where;
    EXPECT_LE(queued, 1) << where;
    for (const std::string& path : refused) {
      EXPECT_TRUE(BoxNamedItRefused(token)) << "no box named it: " << where;
      EXPECT_TRUE(StatusSaid("Mail to " + message.email + " was refused; its text is kept in " +
                             path + "."))
          << "no status named " << path << ": " << where;
    }
    if (inFields && message.handedOver) {
      EXPECT_EQ(queued, 0) << "queued and still in the fields: " << where;
      EXPECT_TRUE(BoxNamedItRefused(token)) << "sent, back in the fields, but no box: " << where;
    }
    if (afterFlush) {
      EXPECT_EQ(queued, 0) << "still queued after a send to a willing server: " << where;
      EXPECT_FALSE(inFields) << "still in the fields after a send: " << where;
    }
  }

  // The status that ends a send agrees with what became of the messages: the outbox and the
  // boxes that named refused messages since the previous send ended.
  void CheckOutcome(const SendReport& report) {
    const std::vector<std::string> texts = boxes_.Texts();
    const bool refusal = std::any_of(texts.begin() + static_cast<std::ptrdiff_t>(boxesAtLastEnd_),
                                     texts.end(), [](const std::string& text) {
                                       return text.find("is refused for good") != std::string::npos;
                                     });
    boxesAtLastEnd_ = texts.size();
    // In memory: the refused messages' files go only once this has returned.
    const std::size_t queued = window_->Workflow().Queue().Size();
    const std::string status = window_->lblStatus->text().toStdString();
    Note("send ended: " + status);
    EXPECT_EQ(report.stillQueued, queued);
    const bool allWentOut = queued == 0 && !refusal;
    EXPECT_EQ(status == kSent.toStdString(), allWentOut)
        << "status \"" << status << "\" with " << queued << " queued"
        << (refusal ? ", a message refused" : "");
    if (status.find("queued for the next send") != std::string::npos) {
      EXPECT_GT(queued, 0u) << status;
    }
    if (status.find("was refused") != std::string::npos ||
        status == "Mail not sent: the server refused it.") {
      EXPECT_TRUE(refusal) << "status \"" << status << "\" but no message was refused";
    }
  }

  const unsigned seed_;
  std::mt19937 random_;
  os::BoxRecorder& boxes_;
  QTemporaryDir stateDirectory_;
  std::unique_ptr<MisbehavingSmtpPeer> peer_;
  std::unique_ptr<TfrmMain> window_;
  std::map<std::string, TypedMessage> typed_;
  std::vector<std::string> statuses_;
  std::vector<std::string> log_;
  std::size_t boxesAtLastEnd_ = 0;
  int shortenedFor_ = 0;
  bool insideBox_ = false;
};

// The program's own "end the program" paths call exit(): in the middle of a run that would end
// the test binary with exit code 0, as if it had passed.
std::atomic<bool> g_runUnderWay = false;
std::string g_runSeed;

void FailWhenEndedInARun() {
  if (!g_runUnderWay) return;
  std::cerr << "The program ended the process in the middle of the run with seed " << g_runSeed
            << std::endl;
  std::_Exit(3);
}

unsigned FirstSeed() {
  if (const char* seed = std::getenv("PELORIN_INTERLEAVING_SEED")) {
    return static_cast<unsigned>(std::strtoul(seed, nullptr, 10));
  }
  return std::random_device()();
}

int Runs() {
  const char* runs = std::getenv("PELORIN_INTERLEAVING_RUNS");
  return runs != nullptr ? std::atoi(runs) : 40;
}

class SendInterleavingTest : public app_test::ProgramWorldTest {
 protected:
  void SetUp() override {
    world_.PlaceTrayIcon();
    pelorin::SenderAddress = "me@example.com";
    pelorin::SmtpServer = "127.0.0.1";
  }

  void PlayRuns(int runs) {
    std::atexit(FailWhenEndedInARun);
    const unsigned first = FirstSeed();
    for (int i = 0; i < runs && !HasFailure(); ++i) {
      const unsigned seed = first + static_cast<unsigned>(i);
      SCOPED_TRACE("replay with PELORIN_INTERLEAVING_SEED=" + std::to_string(seed) +
                   " PELORIN_INTERLEAVING_RUNS=1");
      InterleavingRun run(seed, boxes_);
      g_runSeed = std::to_string(seed);
      g_runUnderWay = true;
      run.Play();
      g_runUnderWay = false;
      if (HasFailure()) {
        ADD_FAILURE() << "what happened:\n  " << run.Log();
      } else if (std::getenv("PELORIN_INTERLEAVING_LOG") != nullptr) {
        std::cout << "seed " << seed << ":\n  " << run.Log() << "\n";
      }
    }
  }
};

TEST_F(SendInterleavingTest, EveryTypedMessageIsDeliveredOnceOrKeptWhereItCanBeFound) {
  PlayRuns(Runs());
}

// The boxes answered from the event queue, as a user answers them, with whatever comes
// meanwhile: the same promise holds.
TEST_F(SendInterleavingTest, AlsoWhenBoxesAreAnsweredLater) {
  boxes_.AnswerLater(true);
  PlayRuns(std::max(1, Runs() / 2));
}

}  // namespace
