#include "app/send_workflow.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "app/startup.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "platform/dialup.h"
#include "transport/sockets.h"
#include "transport/tls_channel.h"

namespace pelorin {

namespace {

const QString kEstablishingConnection = QStringLiteral("Establishing ISP connection...");
const QString kSendingMail = QStringLiteral("Sending mail...");
const QString kHangingUp = QStringLiteral("Hanging up...");

constexpr int kSendTimeoutMs = 60000;
constexpr int kReceiveBufferSize = 4097;
constexpr int kReceiveSize = 4096;

// The subject of a queued message, for naming it to the user.
std::string SubjectOf(const OutboxMessage& message) {
  return message.draft.subject;
}

}  // namespace

// How the worker thread reaches the workflow: only through calls queued to the user-interface
// thread, and only while the workflow exists. The lock is recursive: a failure that the
// connect reports at once posts from inside WithWorkflow.
class SendWorkerLink {
 public:
  explicit SendWorkerLink(SendWorkflow* workflow) : workflow_(workflow) {}

  // Runs `call` on the user-interface thread later; nothing when the workflow is gone.
  template <typename Call>
  void Post(Call call) {
    std::lock_guard lock(mutex_);
    if (workflow_ == nullptr) return;
    SendWorkflow* workflow = workflow_;
    QMetaObject::invokeMethod(
        workflow, [workflow, call] { call(*workflow); }, Qt::QueuedConnection);
  }

  // Runs `call` on the user-interface thread and waits for it; false when the workflow is gone.
  // The worker waits on a promise rather than on Qt's blocking call: what `call` did is then
  // handed over in a way a thread checker sees (Qt's own locks are invisible to it).
  template <typename Call>
  bool PostAndWait(Call call) {
    std::lock_guard lock(mutex_);
    if (workflow_ == nullptr) return false;
    SendWorkflow* workflow = workflow_;
    auto done = std::make_shared<std::promise<void>>();
    const std::future<void> called = done->get_future();
    QMetaObject::invokeMethod(
        workflow,
        [workflow, call, done] {
          call(*workflow);
          done->set_value();
        },
        Qt::QueuedConnection);
    called.wait();
    return true;
  }

  // Runs `use` on the calling thread while the workflow cannot go away.
  template <typename Use>
  bool WithWorkflow(Use use) {
    std::lock_guard lock(mutex_);
    if (workflow_ == nullptr) return false;
    use(*workflow_);
    return true;
  }

  // On the user-interface thread, from the workflow's destructor. A worker that holds the link
  // may be waiting for a call on this thread, so its events keep flowing meanwhile.
  void Forget() {
    closing_ = true;
    std::unique_lock lock(mutex_, std::defer_lock);
    while (!lock.try_lock()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    workflow_ = nullptr;
  }

  // The program is ending: nobody will hang up a line that a worker's dial brings up from now.
  void Close() { closing_ = true; }
  bool Closing() const { return closing_; }

 private:
  std::recursive_mutex mutex_;
  SendWorkflow* workflow_;
  std::atomic<bool> closing_{false};
};

namespace {

// Dials under way on send workers. The end of the program waits for them, so that a line that
// comes up after the window has gone is still hung up.
class DialsUnderWay {
 public:
  static DialsUnderWay& Instance() {
    static DialsUnderWay dials;
    return dials;
  }
  void Begin() {
    const std::lock_guard lock(mutex_);
    ++count_;
  }
  void End() {
    const std::lock_guard lock(mutex_);
    --count_;
    settled_.notify_all();
  }
  bool WaitUntilNone(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return settled_.wait_for(lock, limit, [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable settled_;
  int count_ = 0;
};

// Dials for a send. A dial that returns once the program has begun to end is hung up here:
// the workflow that would have hung it up after the send is gone, or going.
std::string DialForSend(const std::string& entry, const SendWorkerLink& link) {
  DialsUnderWay::Instance().Begin();
  std::string refusal = DialRasEntry(entry, "");
  if (link.Closing()) HangUpRas();
  DialsUnderWay::Instance().End();
  return refusal;
}

}  // namespace

bool WaitForDialsToSettle(std::chrono::milliseconds limit) {
  return DialsUnderWay::Instance().WaitUntilNone(limit);
}

SendWorkflow::SendWorkflow(std::unique_ptr<OutboxFolder> folder, QObject* parent)
    : QObject(parent),
      folder_(std::move(folder)),
      outbox_(folder_.get()),
      session_(outbox_),
      workerLink_(std::make_shared<SendWorkerLink>(this)) {
  Sockets1 = new TSockets(this);
  Sockets1->setObjectName(QStringLiteral("Sockets1"));
  Sockets1->SetMaximumReceiveLength(8192);
  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(kSendTimeoutMs);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(Timer1); });
  StepTimer = new QTimer(this);
  StepTimer->setObjectName(QStringLiteral("StepTimer"));
  StepTimer->setSingleShot(true);
  StepTimer->setInterval(kSendTimeoutMs);
  connect(StepTimer, &QTimer::timeout, this, [this] { StepTimerTimer(); });
  Sockets1->OnDataAvailable = [this](TSockets* sender, int socket) {
    DataAvailable(sender, socket);
  };
  Sockets1->OnSessionClosed = [this](TSockets* sender, int socket) {
    Sockets1SessionClosed(sender, socket);
  };
  Sockets1->OnErrorOccurred = [this](TSockets* sender, int socket, int error,
                                     const std::string& msg) {
    ErrorOccurred(sender, socket, error, msg);
  };
  Sockets1->OnTlsEstablished = [this](TSockets*, int) {
    Follow(session_.TlsEstablished(*Sockets1));
  };
}

SendWorkflow::~SendWorkflow() {
  // Nothing of a send is shown or reported any more: the worker's posts carry an old
  // generation, and the session's turns are not followed.
  goingAway_ = true;
  ++sendGeneration_;
  Timer1->stop();
  // The worker may be inside the socket component: the handlers stay until it has left.
  workerLink_->Forget();
  Sockets1->OnDataAvailable = nullptr;
  Sockets1->OnSessionClosed = nullptr;
  // A later error is dropped: without a handler the component would show a box of its own
  // and end the program.
  Sockets1->OnErrorOccurred = [](TSockets*, int, int, const std::string&) {};
  Sockets1->OnTlsEstablished = nullptr;
}

void SendWorkflow::LoadQueued() {
  if (!folder_ || phase_ != SendPhase::Idle) return;
  OutboxFolder::Loaded loaded = folder_->Load();
  outbox_.Restore(std::move(loaded.messages));
  if (!loaded.problem.empty()) emit OutboxTrouble(QString::fromStdString(loaded.problem));
  for (const std::string& file : loaded.damaged) {
    emit OutboxTrouble(
        QString::fromStdString("A queued message cannot be read and is left where it is: " + file));
  }
}

// --- Starting a send ---

void SendWorkflow::Send(const SendSettings& settings) {
  if (phase_ == SendPhase::Idle) {
    settings_ = settings;
    report_ = {};
    LoadQueued();  // a copy that ran meanwhile may have left mail
    StartSend();
    return;
  }
  // One socket carries one conversation: the messages join the one under way, or the next.
  if (!ConversationTakesNewMessages()) sendAgain_ = true;
}

// The conversation reads the outbox again after every accepted message until it asks to end;
// one that is still being started has not read it at all.
bool SendWorkflow::ConversationTakesNewMessages() const {
  if (phase_ == SendPhase::Dialling || phase_ == SendPhase::Connecting) return true;
  return phase_ == SendPhase::Conversing && SmtpCarriesMessages(session_.State());
}

void SendWorkflow::StartSend() {
  ++sendGeneration_;
  phase_ = settings_.useDialup ? SendPhase::Dialling : SendPhase::Connecting;
  sessionStartReturned_ = false;
  timeOutWhileStarting_ = false;
  std::thread(SendThread, settings_, workerLink_, sendGeneration_).detach();
}

void SendWorkflow::SendThread(SendSettings settings, std::shared_ptr<SendWorkerLink> link,
                              unsigned generation) {
  os::SetCurrentThreadPriorityLowest();
  if (settings.useDialup) {
    link->Post([](SendWorkflow& workflow) { workflow.SetProgress(kEstablishingConnection); });
    LoadRasLibrary();
    const std::string refusal = DialForSend(settings.dialEntry, *link);
    if (link->Closing()) return;
    if (!refusal.empty()) {
      link->Post([generation, refusal](SendWorkflow& workflow) {
        workflow.DialRefused(generation, refusal);
      });
      TrimWorkingSet();
      return;
    }
  }
  // Status, timer and conversation state are in place before any socket event can arrive.
  if (!link->PostAndWait(
          [generation](SendWorkflow& workflow) { workflow.BeginConversation(generation); })) {
    return;
  }
  std::string failure;
  link->WithWorkflow([&](SendWorkflow& workflow) {
    try {
      workflow.Sockets1->SConnect();
    } catch (const std::exception& error) {
      failure = error.what();  // such as a port that is no number
    }
  });
  link->Post([generation, failure](SendWorkflow& workflow) {
    workflow.SessionStartReturned(generation, failure);
  });
}

void SendWorkflow::SetProgress(const QString& text) {
  emit Progress(text);
}

void SendWorkflow::DialRefused(unsigned generation, const std::string& text) {
  if (generation != sendGeneration_) return;
  // The dial-up unit may report a problem although the line came up: it must not stay up.
  if (RasDialledByUs) {
    SetProgress(kHangingUp);
    HangUpRas();
  }
  phase_ = SendPhase::Idle;
  sendAgain_ = false;
  report_.failed = true;
  report_.dialRefusal = text;
  EndSend();
}

void SendWorkflow::BeginConversation(unsigned generation) {
  if (generation != sendGeneration_) return;
  SetProgress(kSendingMail);
  Timer1->start();
  ++conversation_;
  session_.Prepare(*Sockets1, settings_.server, settings_.port, settings_.smtp);
  stepsSeen_ = session_.Steps();
  StepTimer->start();
  Sockets1->SetTls(settings_.server, settings_.trustedCertificate,
                   settings_.smtp.security == SmtpSecurity::Tls);
  phase_ = SendPhase::Conversing;
}

void SendWorkflow::SessionStartReturned(unsigned generation, const std::string& failure) {
  if (generation != sendGeneration_ || phase_ == SendPhase::Idle) return;
  sessionStartReturned_ = true;
  if (!failure.empty()) {
    Timer1->stop();  // while the box is open the user is waited for, not the server
    os::ShowErrorBox(failure);
    session_.Abandon(failure);
    FinishSend();
    return;
  }
  // A time-out that waited for the connect counts only if the conversation is still on.
  if (std::exchange(timeOutWhileStarting_, false) && session_.State() != SmtpState::Idle) {
    Timer1Timer(Timer1);
  }
}

// --- Events of the conversation ---

void SendWorkflow::DataAvailable(TSockets*, int) {
  if (phase_ == SendPhase::Conversing) {
    Timer1->stop();
    Timer1->start();
  }
  char buffer[kReceiveBufferSize] = {};
  const int size = kReceiveSize;
  const int received = Sockets1->SReceive(Sockets1->SocketHandle(), buffer, size);
  if (received <= 0) return;  // a failure is reported as an error; a close follows as such
  // By its byte count: a NUL byte in a reply must not cut it short.
  Follow(session_.SmtpHandleReply(*Sockets1,
                                  std::string_view(buffer, static_cast<std::size_t>(received))));
}

// Errors are handled later, from the event queue: raised from inside a socket call that the
// session made, they would otherwise enter the session in the middle of its own step. Also
// runs on the worker thread, inside the connect, for a failure reported at once.
void SendWorkflow::ErrorOccurred(TSockets*, int, int Error, const std::string& Msg) {
  const unsigned conversation = conversation_;
  const bool duringConversation = session_.State() != SmtpState::Idle;
  QMetaObject::invokeMethod(
      this,
      [this, conversation, duringConversation, Error, Msg] {
        HandleSocketError(conversation, duringConversation, Error, Msg);
      },
      Qt::QueuedConnection);
}

void SendWorkflow::HandleSocketError(unsigned conversation, bool duringConversation, int error,
                                     const std::string& msg) {
  // The failed QUIT and close of a conversation that has already ended are the same trouble
  // again: they are not shown a second time.
  if (conversation != conversation_) return;
  if (duringConversation && session_.State() == SmtpState::Idle) return;
  if (error == kTlsHandshakeFailed) return HandleTlsFailure(msg);
  Follow(session_.SmtpError(*Sockets1, msg));
}

// Nothing more goes over a connection that could not be secured, not even QUIT. A certificate
// that could not be verified may be trusted, exactly that one, for this server from now on.
void SendWorkflow::HandleTlsFailure(const std::string& msg) {
  phase_ = SendPhase::ShowingBox;
  Timer1->stop();
  const TlsRejection* rejection = Sockets1->TlsFailure();
  if (rejection == nullptr) {
    os::ShowMessage(msg + ". The messages stay queued.");
  } else {
    const std::string question =
        "The connection to " + settings_.server + " could not be secured: " + rejection->reason +
        ".\r\n\r\nThe certificate's SHA-256 fingerprint is\r\n" + rejection->fingerprint +
        "\r\n\r\nTrust exactly this certificate for " + settings_.server +
        " from now on? Only do so if you know it is the server's own. The messages stay queued "
        "either way.";
    const std::string fingerprint = rejection->fingerprint;
    if (os::AskOkCancel(question) == os::IDOK) {
      emit CertificateTrusted(QString::fromStdString(fingerprint));
    }
  }
  if (phase_ != SendPhase::ShowingBox) return;  // the program is closing
  phase_ = SendPhase::Conversing;
  Follow(session_.Abort(*Sockets1, "the connection could not be secured"));
}

void SendWorkflow::Timer1Timer(QObject*) {
  // The worker may still be inside SConnect (a slow name look-up, say): ending the
  // conversation now would close the socket under it. The time-out waits for it instead.
  if (phase_ == SendPhase::Conversing && !sessionStartReturned_) {
    timeOutWhileStarting_ = true;
    return;
  }
  Follow(session_.SmtpError(*Sockets1, "TimeOut"));
}

// Counts only while the server is waited for (Timer1 runs): not while a box is open, nor after
// the send. A step after a box starts its own time-out, as it sends QUIT.
void SendWorkflow::StepTimerTimer() {
  if (!Timer1->isActive()) return;
  if (!sessionStartReturned_) return Timer1Timer(Timer1);  // waits for the worker likewise
  Follow(session_.StepOverdue(*Sockets1));
}

void SendWorkflow::Sockets1SessionClosed(TSockets*, int) {
  Follow(session_.ConnectionClosed(*Sockets1));
}

void SendWorkflow::Follow(const SmtpTurn& turn) {
  if (session_.Steps() != stepsSeen_) {
    stepsSeen_ = session_.Steps();
    StepTimer->start();
  }
  if (goingAway_) return;
  switch (turn.kind) {
    case SmtpTurn::Kind::Going:
      return;
    case SmtpTurn::Kind::Notice:
      return os::ShowMessage(turn.halt.shown);
    case SmtpTurn::Kind::Halted:
      return ShowHalt(turn.halt);
    case SmtpTurn::Kind::Over:
      return FinishSend();
  }
}

// The box first, QUIT after it is closed. Meanwhile the time-out rests: the user, not the
// server, is being waited for.
void SendWorkflow::ShowHalt(const SmtpHalt& halt) {
  phase_ = SendPhase::ShowingBox;
  Timer1->stop();
  os::ShowMessage(HaltText(halt));
  if (phase_ != SendPhase::ShowingBox) return;  // the program is closing
  phase_ = SendPhase::Conversing;
  const SmtpTurn turn = session_.GoOn(*Sockets1);
  if (turn.kind == SmtpTurn::Kind::Going) Timer1->start();
  Follow(turn);
}

// The server's reply as received; a message refused for good is named, as it leaves the
// outbox and the user may not know which of several it was.
std::string SendWorkflow::HaltText(const SmtpHalt& halt) const {
  if (!halt.dropsMessage || outbox_.Empty()) return halt.shown;
  const OutboxMessage& message = outbox_.Head();
  return halt.shown + "\r\nThe message to " + message.recipient + " (subject \"" +
         SubjectOf(message) + "\") is refused for good and leaves the outbox.";
}

// --- The end of a send ---

void SendWorkflow::GatherOutcome() {
  const SmtpOutcome& outcome = session_.Outcome();
  report_.accepted.insert(report_.accepted.end(), outcome.accepted.begin(), outcome.accepted.end());
  report_.refused.insert(report_.refused.end(), outcome.dropped.begin(), outcome.dropped.end());
  report_.signInRefused = report_.signInRefused || outcome.signInRefused;
  report_.deferredRecipients.insert(report_.deferredRecipients.end(),
                                    outcome.deferredRecipients.begin(),
                                    outcome.deferredRecipients.end());
  report_.refusedRecipients.insert(report_.refusedRecipients.end(),
                                   outcome.refusedRecipients.begin(),
                                   outcome.refusedRecipients.end());
  if (outcome.failed && !report_.failed) {
    report_.failed = true;
    report_.failure = outcome.failure;
  }
}

void SendWorkflow::FinishSend() {
  Timer1->stop();
  StepTimer->stop();
  phase_ = SendPhase::Idle;
  GatherOutcome();
  if (std::exchange(sendAgain_, false) && !outbox_.Empty()) {
    // Messages queued after the conversation stopped taking them go out now, over the line
    // that is still up.
    StartSend();
    return;
  }
  HangUpIfDialled();
  TrimWorkingSet();
  EndSend();
}

// Receivers are connected directly: when the signal returns, the texts of the refused
// messages are back in the window or in the refused folder, and their files may go; one whose
// text could be kept nowhere stays queued.
void SendWorkflow::EndSend() {
  outbox_.ReturnSetAside();  // owed to recipients refused for now, for the next send
  report_.stillQueued = outbox_.Size();
  const std::vector<OutboxMessage> refused = report_.refused;
  keptInOutbox_.clear();
  emit SendEnded(report_);
  LetGoOfRefused(refused);
  ReportStoreProblems();
}

void SendWorkflow::LetGoOfRefused(const std::vector<OutboxMessage>& refused) {
  for (auto message = refused.rbegin(); message != refused.rend(); ++message) {
    if (std::find(keptInOutbox_.begin(), keptInOutbox_.end(), message->id) != keptInOutbox_.end()) {
      outbox_.PutBack(*message);
    } else {
      outbox_.Forget(*message);
    }
  }
  keptInOutbox_.clear();
}

// One box for all that went wrong on disk during the send.
void SendWorkflow::ReportStoreProblems() {
  std::string text;
  for (const std::string& problem : outbox_.TakeStoreProblems()) {
    text += (text.empty() ? "" : "\r\n\r\n") + problem;
  }
  if (!text.empty()) emit OutboxTrouble(QString::fromStdString(text));
}

// A line dialled for this send is hung up even if the setting changed meanwhile.
void SendWorkflow::HangUpIfDialled() {
  if (!settings_.useDialup && !RasDialledByUs) return;
  SetProgress(kHangingUp);
  HangUpRas();
}

// A dial still under way is hung up by its worker once it returns; the closing is raised
// before the line is looked at, so that either this thread or the worker sees it up.
void SendWorkflow::Shutdown() {
  Timer1->stop();
  if (phase_ == SendPhase::ShowingBox) phase_ = SendPhase::Idle;
  workerLink_->Close();
  if (RasDialledByUs) HangUpRas();
}

}  // namespace pelorin
