#include "app/send_workflow.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "os/winsock.h"
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

// Failures of the network, or of a server that is not there now, pass by themselves: another
// try later may go through. The rest (a socket that cannot be made, say) wait for the user.
bool PassesByItself(int socketError) {
  using namespace os::ws;
  switch (socketError) {
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAENETRESET:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAETIMEDOUT:
    case WSAECONNREFUSED:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH:
    case WSAHOST_NOT_FOUND:
    case WSATRY_AGAIN:
      return true;
    default:
      return false;
  }
}

// The subject of a queued message, for naming it to the user.
std::string SubjectOf(const OutboxMessage& message) {
  return message.draft.subject;
}

}  // namespace

// How a worker reaches the workflow: every call it makes is queued to the window thread (as
// muduo's runInLoop), and only while the workflow exists; once the workflow has cleared the
// link, nothing of the worker reaches it any more. The lock is held only to queue a call, and
// while the connecting worker is inside the socket component; neither ever waits for the window
// thread, so the destructor may wait for the lock without running events.
class SendWorkerLink {
 public:
  explicit SendWorkerLink(SendWorkflow* workflow) : workflow_(workflow) {}

  // Any thread: `call` runs on the window thread later; false when the workflow is gone.
  template <typename Call>
  bool RunInLoop(Call call) {
    std::lock_guard lock(mutex_);
    if (workflow_ == nullptr) return false;
    SendWorkflow* workflow = workflow_;
    QMetaObject::invokeMethod(
        workflow, [workflow, call = std::move(call)] { call(*workflow); }, Qt::QueuedConnection);
    return true;
  }

  // The connecting worker: runs `use` on its own thread while the workflow cannot go away;
  // false when it is gone.
  template <typename Use>
  bool WhileAlive(Use use) {
    std::lock_guard lock(mutex_);
    if (workflow_ == nullptr) return false;
    use(*workflow_);
    return true;
  }

  // Window thread, from the workflow's destructor: waits for a worker inside the connect.
  void Clear() {
    closing_ = true;
    std::lock_guard lock(mutex_);
    workflow_ = nullptr;
  }

  // The program is ending: nobody will hang up a line that a worker's dial brings up from now.
  void Close() { closing_ = true; }
  bool Closing() const { return closing_; }

 private:
  std::mutex mutex_;
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
  Sockets1->OnDataNeeded = [this](TSockets*, int) { DataSent(); };
  Sockets1->OnErrorOccurred = [this](TSockets* sender, int socket, int error,
                                     const std::string& msg) {
    ErrorOccurred(sender, socket, error, msg);
  };
  Sockets1->OnTlsEstablished = [this](TSockets*, int) {
    AssertInWindowThread();
    Follow(session_.TlsEstablished(*Sockets1));
  };
}

// No event runs from here on: what is queued for the workflow goes with it, and a box it
// opened closes without telling it.
SendWorkflow::~SendWorkflow() {
  Timer1->stop();
  // A worker inside the socket component is waited for; the handlers stay until it has left.
  workerLink_->Clear();
  Sockets1->OnDataAvailable = nullptr;
  Sockets1->OnSessionClosed = nullptr;
  Sockets1->OnDataNeeded = nullptr;
  // A later error is dropped: without a handler the component would show a box of its own
  // and end the program.
  Sockets1->OnErrorOccurred = [](TSockets*, int, int, const std::string&) {};
  Sockets1->OnTlsEstablished = nullptr;
}

// A call from another thread is a fault of the program's own: it ends the program at once
// rather than race with the window thread.
void SendWorkflow::AssertInWindowThread() const {
  if (QThread::currentThread() != thread()) qFatal("The send workflow was called off its thread");
}

void SendWorkflow::LoadQueued() {
  AssertInWindowThread();
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
  AssertInWindowThread();
  // A send the user joins is the user's: what goes wrong is shown, a sign-in may open.
  if (std::exchange(unattended_, false)) tokenTries_.signedIn = false;
  if (phase_ == SendPhase::Idle) {
    settings_ = settings;
    report_ = {};
    tokenTries_ = {};
    StartSend();
    return;
  }
  // One socket carries one conversation: the messages join the one under way, or the next.
  if (ConversationTakesNewMessages()) return;
  if (phase_ == SendPhase::Conversing) phase_ = SendPhase::ConversingThenAgain;
  if (phase_ == SendPhase::ShowingBox) phase_ = SendPhase::ShowingBoxThenAgain;
}

void SendWorkflow::SendUnattended(const SendSettings& settings) {
  AssertInWindowThread();
  if (phase_ != SendPhase::Idle) return;
  settings_ = settings;
  report_ = {};
  unattended_ = true;
  // No browser opens for a send nobody started: a token that cannot be had without signing in
  // ends the try.
  tokenTries_ = {};
  tokenTries_.signedIn = true;
  StartSend();
}

// The conversation reads the outbox again after every accepted message until it asks to end;
// one that is still being started has not read it at all. What comes while the failure of a
// connect is shown waits for the next send.
bool SendWorkflow::ConversationTakesNewMessages() const {
  switch (phase_) {
    case SendPhase::Conversing:
      return SmtpCarriesMessages(session_.State());
    case SendPhase::ConversingThenAgain:
    case SendPhase::ShowingBox:
    case SendPhase::ShowingBoxThenAgain:
      return false;
    default:
      return true;
  }
}

bool SendWorkflow::Connecting() const {
  return phase_ == SendPhase::Connecting || phase_ == SendPhase::ConnectingTimedOut;
}

// The conversation begins from the event queue: a send started again by FinishSend is still
// inside the socket component's handler, which must return before the component is set anew.
// Every send, also one that follows another, first takes in what a copy that ran meanwhile left.
void SendWorkflow::StartSend() {
  LoadQueued();
  const unsigned generation = ++sendGeneration_;
  if (settings_.useDialup) {
    phase_ = SendPhase::Dialling;
    SetProgress(kEstablishingConnection);
    std::thread(DialThread, settings_.dialEntry, workerLink_, generation).detach();
    return;
  }
  phase_ = SendPhase::Starting;
  QMetaObject::invokeMethod(
      this, [this, generation] { Connect(generation); }, Qt::QueuedConnection);
}

void SendWorkflow::DialThread(std::string dialEntry, std::shared_ptr<SendWorkerLink> link,
                              unsigned generation) {
  os::SetCurrentThreadPriorityLowest();
  LoadRasLibrary();
  const std::string refusal = DialForSend(dialEntry, *link);
  if (link->Closing()) return;
  link->RunInLoop(
      [generation, refusal](SendWorkflow& workflow) { workflow.DialEnded(generation, refusal); });
  if (!refusal.empty()) TrimWorkingSet();
}

void SendWorkflow::DialEnded(unsigned generation, const std::string& refusal) {
  AssertInWindowThread();
  if (generation != sendGeneration_) return;
  if (!refusal.empty()) return DialRefused(refusal);
  Connect(generation);
}

void SendWorkflow::SetProgress(const QString& text) {
  emit Progress(text);
}

// A send nobody started shows no box: the answer is the one that asks for nothing more, given
// from the event queue as a box's closing would be.
void SendWorkflow::OpenConversationBox(const os::BoxRequest& request,
                                       std::function<void(int)> closed) {
  if (!unattended_) return os::OpenBox(request, this, std::move(closed));
  const int answer = request.buttons == os::BoxButtons::OkCancel ? os::IDCANCEL : os::IDOK;
  QMetaObject::invokeMethod(
      this, [closed = std::move(closed), answer] { closed(answer); }, Qt::QueuedConnection);
}

// Only the first trouble of a conversation says what kind it was: what follows is its echo.
void SendWorkflow::NoteTrouble(bool forNow) {
  if (!troubleForNow_) troubleForNow_ = forNow;
}

void SendWorkflow::DialRefused(const std::string& text) {
  // The dial-up unit may report a problem although the line came up: it must not stay up.
  if (RasDialledByUs) {
    SetProgress(kHangingUp);
    HangUpRas();
  }
  phase_ = SendPhase::Idle;
  report_.dialRefusal = text;
  report_.failedForNow = true;
  EndSend();
}

// With OAuth2 a token comes first (over the line just dialled, where one was).
void SendWorkflow::Connect(unsigned generation) {
  if (generation != sendGeneration_) return;
  if (settings_.oauth) return AskForToken(generation, false);
  BeginConversation(generation);
}

// Status, timer and conversation state are in place before the worker connects, so before any
// socket event can arrive.
void SendWorkflow::BeginConversation(unsigned generation) {
  AssertInWindowThread();
  if (generation != sendGeneration_) return;
  SetProgress(kSendingMail);
  Timer1->start();
  ++conversation_;
  troubleForNow_.reset();
  session_.Prepare(*Sockets1, settings_.server, settings_.port, settings_.smtp);
  stepsSeen_ = session_.Steps();
  StepTimer->start();
  Sockets1->SetTls(settings_.server, settings_.trustedCertificate,
                   settings_.smtp.security == SmtpSecurity::Tls);
  phase_ = SendPhase::Connecting;
  std::thread(SendThread, workerLink_, generation).detach();
}

namespace {

// Where the connecting worker keeps the failures that the connect reports on its thread; null
// on every other thread.
thread_local std::vector<SendWorkflow::SocketFailure>* t_connectFailures = nullptr;

// Connects on the worker (the name look-up blocks); returns what the connect threw, such as a
// port that is no number. The session always gives a port, so the component shows no box of
// its own here: the connect never waits for the window thread.
std::string ConnectOnWorker(TSockets& sockets, std::vector<SendWorkflow::SocketFailure>& failures) {
  t_connectFailures = &failures;
  std::string thrown;
  try {
    sockets.SConnect();
  } catch (const std::exception& error) {
    thrown = error.what();
  }
  t_connectFailures = nullptr;
  return thrown;
}

}  // namespace

void SendWorkflow::SendThread(std::shared_ptr<SendWorkerLink> link, unsigned generation) {
  os::SetCurrentThreadPriorityLowest();
  std::vector<SocketFailure> reported;
  std::string failure;
  const bool alive = link->WhileAlive(
      [&](SendWorkflow& workflow) { failure = ConnectOnWorker(*workflow.Sockets1, reported); });
  if (!alive) return;
  link->RunInLoop([generation, failure, reported](SendWorkflow& workflow) {
    workflow.ConnectReturned(generation, failure, reported);
  });
}

// The failures the connect reported come first, as they came before it returned. A box one of
// them opens, or an event of the connection that came before the worker's end, moves the send
// on without the worker: nothing is left for it to do then.
void SendWorkflow::ConnectReturned(unsigned generation, const std::string& failure,
                                   const std::vector<SocketFailure>& reported) {
  AssertInWindowThread();
  if (generation != sendGeneration_) return;
  for (const SocketFailure& error : reported) {
    HandleSocketError(conversation_, true, error.error, error.msg);
  }
  if (!Connecting()) return;
  if (!failure.empty()) return ShowStartFailure(failure);
  const bool timedOut = phase_ == SendPhase::ConnectingTimedOut;
  phase_ = SendPhase::Conversing;
  if (timedOut) Timer1Timer(Timer1);
}

// While the box is open the user is waited for, not the server.
void SendWorkflow::ShowStartFailure(const std::string& failure) {
  phase_ = SendPhase::ShowingStartFailure;
  Timer1->stop();
  NoteTrouble(false);  // the settings name no server that can be asked
  OpenConversationBox(os::ErrorRequest(failure),
                      [this, failure, conversation = conversation_](int) {
                        if (!LeaveBox(conversation)) return;
                        session_.Abandon(failure);
                        FinishSend();
                      });
}

// --- Events of the conversation ---

void SendWorkflow::DataAvailable(TSockets*, int) {
  AssertInWindowThread();
  if (Connecting() || phase_ == SendPhase::Conversing || phase_ == SendPhase::ConversingThenAgain) {
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

// The socket took text that had waited for room: the server is taking the data, however
// slowly. Without this a large message over a slow link would have to go out whole, with the
// final reply, within one time-out. A resting time-out (a box is open) stays stopped.
void SendWorkflow::DataSent() {
  AssertInWindowThread();
  if (phase_ != SendPhase::Conversing && phase_ != SendPhase::ConversingThenAgain) return;
  for (QTimer* timer : {Timer1, StepTimer}) {
    if (timer->isActive()) timer->start();
  }
}

// On the window thread, errors are handled later, from the event queue: raised from inside a
// socket call that the session made, they would otherwise enter the session in the middle of
// its own step. On the connecting worker they are kept for its end, which takes them to the
// window thread; nothing of the workflow is read there.
void SendWorkflow::ErrorOccurred(TSockets*, int, int Error, const std::string& Msg) {
  if (t_connectFailures != nullptr) {
    t_connectFailures->push_back({Error, Msg});
    return;
  }
  AssertInWindowThread();
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
  if (error == kTlsHandshakeFailed) {
    NoteTrouble(false);
    return HandleTlsFailure(msg);
  }
  NoteTrouble(PassesByItself(error));
  Follow(session_.SmtpError(*Sockets1, msg));
}

// Nothing more goes over a connection that could not be secured, not even QUIT. A certificate
// that could not be verified may be trusted, exactly that one, for this server from now on.
void SendWorkflow::HandleTlsFailure(const std::string& msg) {
  EnterBox();
  const unsigned conversation = conversation_;
  const TlsRejection* rejection = Sockets1->TlsFailure();
  if (rejection == nullptr) {
    OpenConversationBox(os::MessageRequest(msg + ". The messages stay queued."),
                        [this, conversation](int) { AbortAfterBox(conversation); });
    return;
  }
  const std::string question =
      "The connection to " + settings_.server + " could not be secured: " + rejection->reason +
      ".\r\n\r\nThe certificate's SHA-256 fingerprint is\r\n" + rejection->fingerprint +
      "\r\n\r\nTrust exactly this certificate for " + settings_.server +
      " from now on? Only do so if you know it is the server's own. The messages stay queued "
      "either way.";
  OpenConversationBox(os::OkCancelRequest(question),
                      [this, conversation, fingerprint = rejection->fingerprint](int answer) {
                        if (answer == os::IDOK)
                          emit CertificateTrusted(QString::fromStdString(fingerprint));
                        AbortAfterBox(conversation);
                      });
}

void SendWorkflow::AbortAfterBox(unsigned conversation) {
  if (!LeaveBox(conversation)) return;
  Follow(session_.Abort(*Sockets1, "the connection could not be secured"));
}

void SendWorkflow::Timer1Timer(QObject*) {
  AssertInWindowThread();
  // The worker may still be inside SConnect (a slow name look-up, say): ending the
  // conversation now would close the socket under it. The time-out waits for it instead.
  if (Connecting()) {
    phase_ = SendPhase::ConnectingTimedOut;
    return;
  }
  NoteTrouble(true);
  Follow(session_.SmtpError(*Sockets1, "TimeOut"));
}

// Counts only while the server is waited for (Timer1 runs): not while a box is open, nor after
// the send. A step after a box starts its own time-out, as it sends QUIT.
void SendWorkflow::StepTimerTimer() {
  AssertInWindowThread();
  if (!Timer1->isActive()) return;
  if (Connecting()) return Timer1Timer(Timer1);  // waits for the worker likewise
  NoteTrouble(true);
  Follow(session_.StepOverdue(*Sockets1));
}

void SendWorkflow::Sockets1SessionClosed(TSockets*, int) {
  AssertInWindowThread();
  Follow(session_.ConnectionClosed(*Sockets1));
}

void SendWorkflow::Follow(const SmtpTurn& turn) {
  if (session_.Steps() != stepsSeen_) {
    stepsSeen_ = session_.Steps();
    StepTimer->start();
  }
  switch (turn.kind) {
    case SmtpTurn::Kind::Going:
      return;
    case SmtpTurn::Kind::Notice:
      return OpenConversationBox(os::MessageRequest(turn.halt.shown), [](int) {});
    case SmtpTurn::Kind::Halted:
      return ShowHalt(turn.halt);
    case SmtpTurn::Kind::Over:
      return FinishSend();
  }
}

// The box first, QUIT once it is closed. Meanwhile the time-out rests: the user, not the
// server, is being waited for.
void SendWorkflow::ShowHalt(const SmtpHalt& halt) {
  // A refused token that a new one may mend is not the user's business yet.
  if (TokenRetryLeft()) return Follow(session_.GoOn(*Sockets1));
  EnterBox();
  NoteTrouble(halt.kind == SmtpHalt::Kind::Refusal && halt.shown.starts_with('4'));
  OpenConversationBox(os::MessageRequest(HaltText(halt)),
                      [this, conversation = conversation_](int) {
                        if (!LeaveBox(conversation)) return;
                        const SmtpTurn turn = session_.GoOn(*Sockets1);
                        if (turn.kind == SmtpTurn::Kind::Going) Timer1->start();
                        Follow(turn);
                      });
}

// A box is open: the conversation takes no new message until it goes on. A second box may
// open meanwhile (a handshake that fails behind a halt); the first one closed goes on.
void SendWorkflow::EnterBox() {
  Timer1->stop();
  const bool again =
      phase_ == SendPhase::ConversingThenAgain || phase_ == SendPhase::ShowingBoxThenAgain;
  phase_ = again ? SendPhase::ShowingBoxThenAgain : SendPhase::ShowingBox;
}

// The box of `conversation` is closed: false when nothing waits for it any more (the program
// is closing, or another box has already ended that conversation).
bool SendWorkflow::LeaveBox(unsigned conversation) {
  if (conversation != conversation_) return false;
  switch (phase_) {
    case SendPhase::ShowingBox:
    case SendPhase::ShowingStartFailure:
      phase_ = SendPhase::Conversing;
      return true;
    case SendPhase::ShowingBoxThenAgain:
      phase_ = SendPhase::ConversingThenAgain;
      return true;
    default:
      return false;
  }
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
  report_.tokenRefused = report_.tokenRefused || outcome.tokenRefused;
  report_.deferredRecipients.insert(report_.deferredRecipients.end(),
                                    outcome.deferredRecipients.begin(),
                                    outcome.deferredRecipients.end());
  report_.refusedRecipients.insert(report_.refusedRecipients.end(),
                                   outcome.refusedRecipients.begin(),
                                   outcome.refusedRecipients.end());
  if (report_.failure.empty() && outcome.failed) {
    // A conversation that ended with nothing but a lost connection met no other trouble.
    report_.failedForNow = troubleForNow_.value_or(true);
  }
  if (report_.failure.empty()) report_.failure = outcome.failure;
  // Recipients refused for now keep their message queued for a later try.
  if (!outcome.deferredRecipients.empty() && report_.failure.empty()) report_.failedForNow = true;
}

void SendWorkflow::FinishSend() {
  const bool again =
      phase_ == SendPhase::ConversingThenAgain || phase_ == SendPhase::ShowingBoxThenAgain;
  Timer1->stop();
  StepTimer->stop();
  phase_ = SendPhase::Idle;
  if (RetryRefusedToken()) return;
  GatherOutcome();
  if (again && !outbox_.Empty()) {
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
  settings_.smtp.accessToken.clear();  // the source keeps it; a send needs it no longer
  outbox_.ReturnSetAside();            // owed to recipients refused for now, for the next send
  report_.stillQueued = outbox_.Size();
  NoteLastErrors();
  const std::vector<OutboxMessage> refused = report_.refused;
  keptInOutbox_.clear();
  emit SendEnded(report_);
  LetGoOfRefused(refused);
  ReportStoreProblems();
}

std::string SendWorkflow::LastError(std::uint64_t id) const {
  const auto found = lastErrors_.find(id);
  return found != lastErrors_.end() ? found->second : std::string();
}

// What kept the mail still queued from going this time is its last error; a message this
// send did not fail keeps the one it had.
void SendWorkflow::NoteLastErrors() {
  std::string why = report_.dialRefusal.empty() ? report_.failure : report_.dialRefusal;
  if (why.empty() && !report_.deferredRecipients.empty()) {
    why = "refused for now:";
    for (const std::string& refusal : report_.deferredRecipients) why += " " + refusal;
  }
  std::map<std::uint64_t, std::string> noted;
  for (std::size_t i = 0; i < outbox_.Size(); ++i) {
    const std::uint64_t id = outbox_.At(i).id;
    std::string error = why.empty() ? LastError(id) : why;
    if (!error.empty()) noted.emplace(id, std::move(error));
  }
  lastErrors_ = std::move(noted);
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
// A box still open goes unanswered: nothing of the send follows its closing.
void SendWorkflow::Shutdown() {
  AssertInWindowThread();
  Timer1->stop();
  if (phase_ == SendPhase::ShowingBox || phase_ == SendPhase::ShowingBoxThenAgain ||
      phase_ == SendPhase::ShowingStartFailure || phase_ == SendPhase::GettingToken) {
    phase_ = SendPhase::Idle;
  }
  workerLink_->Close();
  if (RasDialledByUs) HangUpRas();
}

}  // namespace pelorin
