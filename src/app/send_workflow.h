// The send workflow: runs one send after another over the outbox. It owns the socket
// component Sockets1, the time-out Timer1, the worker threads that dial and connect, the SMTP
// session and the outbox; the window hands it messages and a settings snapshot, and hears
// progress and outcomes through signals. Every method runs on the user-interface thread (the
// window thread) and says so at its entry, except DialThread and SendThread, which are the
// workers', and ErrorOccurred, which SConnect may raise on the connecting worker: it only
// hands the failure over to the window thread there.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/oauth_token_source.h"
#include "os/msgbox.h"
#include "outbox/outbox_folder.h"
#include "transport/outbox.h"
#include "transport/smtp_session.h"

class QTimer;

namespace pelorin {

class TSockets;
class SendWorkerLink;

// The settings a send uses, copied when Send is pressed: the worker never reads the globals.
struct SendSettings {
  std::string server;
  std::string port;
  std::string dialEntry;
  bool useDialup = false;
  SmtpOptions smtp;                // security, user name and password
  std::string trustedCertificate;  // SHA-256 fingerprint the user chose to trust, or empty
  // OAuth2 sign-in: the client and account a token is asked for before each conversation.
  std::optional<oauth::Client> oauth = std::nullopt;
};

// Where a send stands; nothing of it is kept beside the phase.
enum class SendPhase {
  Idle,                 // no send under way
  Dialling,             // a worker dials the line
  Starting,             // the conversation begins from the event queue
  Connecting,           // the conversation has begun; a worker is still inside the connect
  ConnectingTimedOut,   // ... and the time-out ran out meanwhile: it counts once the worker is out
  Conversing,           // the conversation goes on over the socket
  ConversingThenAgain,  // ... past taking new messages, and one came: another send follows
  ShowingBox,           // a box about the conversation is open; its closing lets it go on
  ShowingBoxThenAgain,  // ... and a message came meanwhile: another send follows
  ShowingStartFailure,  // the connect failed at once; the send ends when its box is closed
  GettingToken,         // OAuth2: the token source is asked (or the user signs in) first
};
inline constexpr std::array<std::string_view, 11> kSendPhaseNames = {
    "idle",
    "dialling",
    "starting",
    "connecting",
    "connecting after the time-out ran out",
    "conversing",
    "conversing, another send to follow",
    "showing a box",
    "showing a box, another send to follow",
    "showing the connect's failure",
    "getting a sign-in token",
};

// What became of the messages since the send that the user last started.
struct SendReport {
  std::vector<std::uint64_t> accepted;
  std::vector<OutboxMessage> refused;  // refused for good, out of the outbox
  std::size_t stillQueued = 0;
  std::string failure;         // why the first conversation that failed did, in a few words
  std::string dialRefusal;     // the dial-up unit's text when the dial stopped the send
  bool signInRefused = false;  // the password must be asked for again
  bool tokenRefused = false;   // the server refused the OAuth2 token, renewed and signed in anew
  std::vector<std::string> refusedRecipients;  // "<address>: <reply>" of delivered messages
  // Alike, refused for now: their messages stay queued for them alone.
  std::vector<std::string> deferredRecipients;
  // The first failure may pass by itself (connection refused or lost, time-out, failed name
  // look-up, a 4xx reply, a refused dial): trying again later makes sense.
  bool failedForNow = false;
};

// Waits until no send worker is dialling any more, at most `limit`; false when one still is.
// The end of the program calls it once the windows are gone: a dial that returns meanwhile has
// its line hung up before the process ends.
bool WaitForDialsToSettle(std::chrono::milliseconds limit);

class SendWorkflow : public QObject {
  Q_OBJECT
 public:
  // `folder` may be null: the outbox then lives in memory only.
  SendWorkflow(std::unique_ptr<OutboxFolder> folder, QObject* parent);
  ~SendWorkflow() override;

  TSockets* Sockets1;
  QTimer* Timer1;
  // The step's time-out: a final reply is due within the time-out of its command, however
  // much else the server sends meanwhile (data restarts Timer1 alone).
  QTimer* StepTimer;

  Outbox& Queue() { return outbox_; }
  OutboxFolder* Folder() { return folder_.get(); }
  const SmtpSession& Session() const { return session_; }
  SendPhase Phase() const { return phase_; }
  // Why the last send did not deliver the queued message `id`, in a few words; empty when
  // none of its tries failed yet. Kept in memory only.
  std::string LastError(std::uint64_t id) const;

  // Takes in what an earlier run or another copy left queued; what cannot be read is told
  // through OutboxTrouble. Only while no send is under way.
  void LoadQueued();

  // Sends everything queued: starts a send (with what other copies left), or lets the one
  // under way take the new messages.
  void Send(const SendSettings& settings);
  // The same for a send nobody started: it opens no box. A refusal is taken as the user
  // would close its box (the conversation ends with QUIT, a certificate is not trusted), and
  // the report says what happened. Only while no send is under way.
  void SendUnattended(const SendSettings& settings);
  // The send under way (or the last one) was started by nobody.
  bool Unattended() const { return unattended_; }
  // The settings of the send under way (or the last one).
  const SendSettings& Settings() const { return settings_; }
  // While SendEnded is received: the refused message `id` could not be kept anywhere else, so
  // it goes back into the outbox instead of leaving the disk.
  void KeepInOutbox(std::uint64_t id) { keptInOutbox_.push_back(id); }
  // The program is closing: stop the time-out and hang up a line this program dialled.
  void Shutdown();

  // Handlers of the socket component and the time-out.
  void DataAvailable(TSockets* Sender, int Socket);
  void DataSent();
  void ErrorOccurred(TSockets* Sender, int Socket, int Error, const std::string& Msg);
  void Sockets1SessionClosed(TSockets* Sender, int Socket);
  void Timer1Timer(QObject* Sender);
  // A failure the socket component reported on the connecting worker, for the window thread.
  struct SocketFailure {
    int error;
    std::string msg;
  };
  // The workers: each blocks on one step off the window thread, then hands the window thread
  // its end through the link, the one way they reach the workflow.
  static void DialThread(std::string dialEntry, std::shared_ptr<SendWorkerLink> link,
                         unsigned generation);
  static void SendThread(std::shared_ptr<SendWorkerLink> link, unsigned generation);

 signals:
  // A progress text for the status line.
  void Progress(const QString& text);
  // The user chose to trust this certificate (SHA-256 fingerprint) for the server from now on.
  void CertificateTrusted(const QString& fingerprint);
  // The send has ended, for good or ill; nothing more happens until the next Send. The
  // refused messages' files are removed once the receivers have returned: a receiver keeps
  // their texts where the user finds them first, so that a program ended meanwhile loses none.
  void SendEnded(const SendReport& report);
  // Something went wrong with the outbox on disk: a text for a box.
  void OutboxTrouble(const QString& text);

 private:
  void AssertInWindowThread() const;
  bool ConversationTakesNewMessages() const;
  bool Connecting() const;
  void StartSend();
  void DialEnded(unsigned generation, const std::string& refusal);
  void DialRefused(const std::string& text);
  void Connect(unsigned generation);
  void BeginConversation(unsigned generation);
  // OAuth2 (send_workflow_token.cpp).
  void AskForToken(unsigned generation, bool renew);
  void SignInForToken(unsigned generation);
  void TokenAnswered(unsigned generation, const oauth::TokenAnswer& answer);
  oauth::TokenSource* Tokens(std::string& failure);
  bool TokenRetryLeft() const;
  bool RetryRefusedToken();
  void EndWithoutConversation(const std::string& failure);
  void ConnectReturned(unsigned generation, const std::string& failure,
                       const std::vector<SocketFailure>& reported);
  void ShowStartFailure(const std::string& failure);
  void HandleSocketError(unsigned conversation, bool duringConversation, int error,
                         const std::string& msg);
  void HandleTlsFailure(const std::string& msg);
  void Follow(const SmtpTurn& turn);
  void StepTimerTimer();
  void ShowHalt(const SmtpHalt& halt);
  void EnterBox();
  bool LeaveBox(unsigned conversation);
  void AbortAfterBox(unsigned conversation);
  std::string HaltText(const SmtpHalt& halt) const;
  void FinishSend();
  void EndSend();
  void GatherOutcome();
  void HangUpIfDialled();
  void LetGoOfRefused(const std::vector<OutboxMessage>& refused);
  void NoteLastErrors();
  void ReportStoreProblems();
  void SetProgress(const QString& text);
  void OpenConversationBox(const os::BoxRequest& request, std::function<void(int)> closed);
  void NoteTrouble(bool forNow);

  std::unique_ptr<OutboxFolder> folder_;
  Outbox outbox_;
  SmtpSession session_;
  SendPhase phase_ = SendPhase::Idle;
  SendSettings settings_;
  SendReport report_;
  std::vector<std::uint64_t> keptInOutbox_;
  std::map<std::uint64_t, std::string> lastErrors_;  // by message id, for the queued ones
  unsigned sendGeneration_ = 0;  // tells the calls of an earlier send's worker apart
  unsigned conversation_ = 0;    // tells errors and boxes of an earlier conversation apart
  std::uint64_t stepsSeen_ = 0;  // the session's steps when StepTimer last started
  std::shared_ptr<SendWorkerLink> workerLink_;
  // Made at the first OAuth2 send and kept: it holds the access token in memory.
  std::unique_ptr<oauth::TokenSource> tokens_;
  // What this Send has done about a refused token: renewed it once, then at most one sign-in
  // in the browser, never more.
  struct TokenTries {
    bool renewed = false;
    bool signedIn = false;
  } tokenTries_;
  bool unattended_ = false;
  std::optional<bool> troubleForNow_;  // the conversation's first trouble may pass by itself
};

}  // namespace pelorin
