// The send workflow of the main window: composing the message into the outbox, the worker
// thread that dials and starts the conversation, the socket and timer events that carry the
// conversation on, and the end of a send.
#include <QAbstractTextDocumentLayout>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QThread>
#include <QTimer>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "app/compose_message.h"
#include "app/frm_main.h"
#include "app/globals.h"
#include "app/mailto_link.h"
#include "app/startup.h"
#include "os/kernel.h"
#include "os/msgbox.h"
#include "platform/dialup.h"
#include "transport/smtp_session.h"
#include "transport/sockets.h"

namespace pelorin {

namespace {

const QString kCreatingMail = QStringLiteral("Creating mail...");
const QString kEstablishingConnection = QStringLiteral("Establishing ISP connection...");
const QString kSendingMail = QStringLiteral("Sending mail...");
const QString kHangingUp = QStringLiteral("Hanging up...");
const QString kMailSent = QStringLiteral("Mail has been sent!");

constexpr int kReceiveBufferSize = 4097;
constexpr int kReceiveSize = 4096;

constexpr const char* kNoAnswer = "the server stopped answering";
constexpr const char* kClosedEarly = "the server closed the connection";
constexpr const char* kRefusedByServer = "the server refused it";

QString FromLocal(const std::string& text) {
  return QString::fromLocal8Bit(text);
}
std::string ToLocal(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

// Set while the session ends a conversation after an error. Its QUIT and Disconnect on the
// failed socket then fail in turn; those failures are the same trouble again, already shown,
// and must not open further boxes. Per thread: a failure that SConnect reports at once
// arrives on the worker.
thread_local int g_endingAfterError = 0;

class EndingAfterError {
 public:
  EndingAfterError() { ++g_endingAfterError; }
  ~EndingAfterError() { --g_endingAfterError; }
  EndingAfterError(const EndingAfterError&) = delete;
  EndingAfterError& operator=(const EndingAfterError&) = delete;
};

bool OnUserInterfaceThread() {
  return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// One line as the memo lays it out; a forced line break (Shift+Enter) that ends it is not part
// of the text, one inside it is a line break like any other.
std::string MemoLineText(QString line) {
  if (line.endsWith(QChar::LineSeparator)) line.chop(1);
  line.replace(QChar::LineSeparator, QLatin1Char('\n'));
  line.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  return ToLocal(line);
}

}  // namespace

// How the worker thread reaches the window: only through calls queued to the user-interface
// thread, and only while the window exists. The window forgets the link when it is destroyed.
// The lock is recursive: a failure that the connect reports at once posts from inside
// WithWindow.
class SendWorkerLink {
 public:
  explicit SendWorkerLink(TfrmMain* window) : window_(window) {}

  // Runs `call` on the user-interface thread later; nothing when the window is gone.
  template <typename Call>
  void Post(Call call) {
    std::lock_guard lock(mutex_);
    if (window_ == nullptr) return;
    TfrmMain* window = window_;
    QMetaObject::invokeMethod(
        window, [window, call] { call(*window); }, Qt::QueuedConnection);
  }

  // Runs `call` on the user-interface thread and waits for it; false when the window is gone.
  template <typename Call>
  bool PostAndWait(Call call) {
    std::lock_guard lock(mutex_);
    if (window_ == nullptr) return false;
    TfrmMain* window = window_;
    QMetaObject::invokeMethod(
        window, [window, call] { call(*window); }, Qt::BlockingQueuedConnection);
    return true;
  }

  // Runs `use` on the calling thread while the window cannot go away.
  template <typename Use>
  bool WithWindow(Use use) {
    std::lock_guard lock(mutex_);
    if (window_ == nullptr) return false;
    use(*window_);
    return true;
  }

  // On the user-interface thread, from the window's destructor. A worker that holds the link
  // may be waiting for a box or a call on this thread, so its events keep flowing meanwhile.
  void Forget() {
    std::unique_lock lock(mutex_, std::defer_lock);
    while (!lock.try_lock()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    window_ = nullptr;
  }

 private:
  std::recursive_mutex mutex_;
  TfrmMain* window_;
};

void TfrmMain::CreateWorkerLink() {
  workerLink_ = std::make_shared<SendWorkerLink>(this);
}

void TfrmMain::ForgetWorkerLink() {
  workerLink_->Forget();
}

// --- Composing ---

std::vector<std::string> TfrmMain::MemoLines() const {
  std::vector<std::string> lines;
  QTextDocument* document = edsMemo->document();
  QAbstractTextDocumentLayout* layout = document->documentLayout();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    layout->blockBoundingRect(block);  // lays the block out at the memo's width
    const QString text = block.text();
    const QTextLayout* blockLayout = block.layout();
    if (blockLayout == nullptr || blockLayout->lineCount() == 0) {
      lines.push_back(MemoLineText(text));
      continue;
    }
    for (int i = 0; i < blockLayout->lineCount(); ++i) {
      const QTextLine line = blockLayout->lineAt(i);
      lines.push_back(MemoLineText(text.mid(line.textStart(), line.textLength())));
    }
  }
  // The memo does not count the empty line after a final line break, nor an empty memo's.
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string TfrmMain::SelectedName() const {
  const int selected = edsName->currentIndex();
  return selected >= 0 ? ToLocal(edsName->itemText(selected)) : std::string();
}

void TfrmMain::cmdMakeClick(QObject*) {
  SetStatus(kCreatingMail);
  MessageFields fields;
  fields.subject = ToLocal(edsSubj->text());
  fields.name = SelectedName();
  fields.email = ToLocal(edsEmail->text());
  fields.sender = SenderAddress;
  fields.memoLines = MemoLines();
  OutboxRecipients.push_back(ToSingleLine(fields.email));
  OutboxBodies.push_back(ComposeMessage(fields));
  fieldsMessage_ = ledger_.Queue();
  sendSettings_ = {SmtpServer, SmtpPort, DialEntry, UseDialup};
  if (sendPhase_ == SendPhase::Idle) {
    refusedBeforeSend_ = ledger_.RefusedCount();
    StartSend();
    return;
  }
  // One socket carries one conversation: the message joins the one under way, or the next.
  if (!QueuedMessageRidesAlong()) sendAgain_ = true;
  SetStatus(progressStatus_);
}

// The conversation under way reads the outbox again after every accepted message until it
// sends QUIT; one that is still being started has not read it at all.
bool TfrmMain::QueuedMessageRidesAlong() const {
  if (sendPhase_ == SendPhase::Preparing || !sessionStartReturned_) return true;
  const int state = SmtpState;
  return state >= 1 && state <= 6;
}

// --- The worker thread ---

void TfrmMain::StartSend() {
  ++sendGeneration_;
  sendPhase_ = SendPhase::Preparing;
  sessionStartReturned_ = false;
  timeOutWhileStarting_ = false;
  sendFailure_.clear();
  progressStatus_ = kCreatingMail;
  std::thread(SendThread, sendSettings_, workerLink_, sendGeneration_).detach();
}

void TfrmMain::SendThread(SendSettings settings, std::shared_ptr<SendWorkerLink> link,
                          unsigned generation) {
  os::SetCurrentThreadPriorityLowest();
  if (settings.useDialup) {
    link->Post([](TfrmMain& window) { window.SetProgress(kEstablishingConnection); });
    LoadRasLibrary();
    const std::string refusal = DialRasEntry(settings.dialEntry, "");
    if (!refusal.empty()) {
      link->Post(
          [generation, refusal](TfrmMain& window) { window.DialRefused(generation, refusal); });
      TrimWorkingSet();
      return;
    }
  }
  // Status and timer are in place before the first socket event can arrive.
  if (!link->PostAndWait(
          [generation](TfrmMain& window) { window.BeginConversation(generation); })) {
    return;
  }
  std::string failure;
  link->WithWindow([&](TfrmMain& window) {
    try {
      SmtpStartSession(*window.Sockets1, settings.server, settings.port);
    } catch (const std::exception& error) {
      // Such as a port that is no number: the user is told, and the program goes on.
      failure = error.what();
      os::ShowErrorBox(failure);
    }
  });
  link->Post([generation, failure](TfrmMain& window) {
    window.SessionStartReturned(generation, failure);
  });
}

void TfrmMain::SetProgress(const QString& text) {
  progressStatus_ = text;
  SetStatus(text);
}

void TfrmMain::DialRefused(unsigned generation, const std::string& text) {
  if (generation != sendGeneration_) return;
  // Nothing was sent: every queued message, later ones included, waits for the next send.
  sendPhase_ = SendPhase::Idle;
  sendAgain_ = false;
  SetStatus(FromLocal(text));
}

void TfrmMain::BeginConversation(unsigned generation) {
  if (generation != sendGeneration_) return;
  SetProgress(kSendingMail);
  Timer1->start();
  ledger_.BeginConversation();
  sendPhase_ = SendPhase::Conversing;
}

void TfrmMain::SessionStartReturned(unsigned generation, const std::string& failure) {
  if (generation != sendGeneration_ || sendPhase_ != SendPhase::Conversing) return;
  sessionStartReturned_ = true;
  // A time-out that waited for the connect counts only if the conversation is still on.
  if (std::exchange(timeOutWhileStarting_, false) && failure.empty() && SmtpState != 0) {
    Timer1Timer(Timer1);
    return;
  }
  if (!failure.empty()) {
    NoteFailure(failure);
    SmtpResetSession();  // the conversation never got under way
    EndSend();
    return;
  }
  // A failure that the connect reported at once has already ended the conversation.
  AfterSessionStep();
}

// --- Events of the conversation ---

void TfrmMain::DataAvailable(TSockets*, int) {
  if (sendPhase_ != SendPhase::Idle) {
    Timer1->stop();
    Timer1->start();
  }
  char buffer[kReceiveBufferSize] = {};
  const int size = kReceiveSize;
  Sockets1->SReceive(Sockets1->SocketHandle(), buffer, size);
  SmtpHandleReply(*Sockets1, std::string(buffer));
  AfterSessionStep();
}

// Also runs on the worker thread, inside the connect, for a failure reported at once.
void TfrmMain::ErrorOccurred(TSockets*, int, int, const std::string& Msg) {
  if (g_endingAfterError > 0) return;
  NoteFailure(Msg);
  {
    const EndingAfterError ending;
    SmtpError(*Sockets1, Msg);
  }
  if (OnUserInterfaceThread()) AfterSessionStep();
}

void TfrmMain::Timer1Timer(QObject*) {
  // The worker may still be inside SConnect (a slow name look-up, say): ending the
  // conversation now would close the socket under it. The time-out waits for it instead.
  if (sendPhase_ == SendPhase::Conversing && !sessionStartReturned_) {
    timeOutWhileStarting_ = true;
    return;
  }
  NoteFailure(kNoAnswer);
  {
    const EndingAfterError ending;
    SmtpError(*Sockets1, "TimeOut");
  }
  AfterSessionStep();
}

void TfrmMain::Sockets1SessionClosed(TSockets*, int) {
  FinishSend();
}

void TfrmMain::NoteFailure(const std::string& why) {
  if (OnUserInterfaceThread()) {
    if (sendFailure_.empty()) sendFailure_ = why;
    return;
  }
  workerLink_->Post([why](TfrmMain& window) { window.NoteFailure(why); });
}

void TfrmMain::ObserveOutbox() {
  const SmtpOutcome outcome = SmtpLastOutcome();
  ledger_.Observe(OutboxBodies.size(), outcome.accepted, outcome.dropped);
}

// The session ends a conversation itself after an error, a time-out or an odd answer to QUIT:
// it disconnects, and no session-closed event follows. The send ends here then.
void TfrmMain::AfterSessionStep() {
  if (sendPhase_ != SendPhase::Conversing || !sessionStartReturned_) return;
  ObserveOutbox();
  if (SmtpState == 0 && Sockets1->SocketHandle() == -1) EndSend();
}

// --- The end of a send ---

void TfrmMain::FinishSend() {
  Timer1->stop();
  if (sendPhase_ != SendPhase::Conversing) return;
  ObserveOutbox();
  if (SmtpState != 0) {
    // Closed in the middle of the conversation, not after QUIT.
    NoteFailure(kClosedEarly);
    SmtpResetSession();
  }
  EndSend();
}

void TfrmMain::EndSend() {
  Timer1->stop();
  sendPhase_ = SendPhase::Idle;
  if (sendAgain_) {
    // A message queued after QUIT goes out now, over the line that is still up.
    sendAgain_ = false;
    StartSend();
    return;
  }
  // A line dialled for this send is hung up even if the setting changed meanwhile.
  if (sendSettings_.useDialup || RasDialledByUs) {
    SetStatus(kHangingUp);
    HangUpRas();
  }
  ReportSendOutcome();
}

std::string TfrmMain::FailureReason() const {
  if (!sendFailure_.empty()) return sendFailure_;
  return kRefusedByServer;
}

void TfrmMain::ReportSendOutcome() {
  const bool noneRefused = ledger_.RefusedCount() == refusedBeforeSend_;
  if (OutboxBodies.empty() && noneRefused) {
    SetStatus(kMailSent);
    TrimWorkingSet();
    ClearSubjectAndBody();
    if (CurrentStartMode() == StartMode::Link) close();
    return;
  }
  const std::string waiting = OutboxBodies.empty()
                                  ? "an earlier message was refused"
                                  : "an earlier message stays queued for the next send";
  switch (ledger_.FateOf(fieldsMessage_)) {
    case OutboxLedger::Fate::Accepted:
      SetStatus(FromLocal("Mail has been sent, but " + waiting + "."));
      ClearSubjectAndBody();
      break;
    case OutboxLedger::Fate::Refused:
      // The message is gone from the outbox: what the user typed stays for a corrected send.
      SetStatus(QStringLiteral("Mail not sent: the server refused it."));
      break;
    case OutboxLedger::Fate::Queued:
    case OutboxLedger::Fate::Unknown:
      // The text waits in the outbox; kept in the fields too it would be sent twice.
      SetStatus(
          FromLocal("Mail not sent (" + FailureReason() + "); it stays queued for the next send."));
      ClearSubjectAndBody();
      break;
  }
  TrimWorkingSet();
}

// Emptied by the program, not changed by the user: the status stays as it is.
void TfrmMain::ClearSubjectAndBody() {
  edsSubj->clear();
  {
    const QSignalBlocker programChange(edsMemo);
    edsMemo->clear();
  }
  edsSubj->setFocus();
}

}  // namespace pelorin
