// One copy of the program in the notification area per user. The copy that runs there holds a
// lock file and listens on a local socket beside it; a later tray-mode start finds the lock
// taken, asks that copy over the socket to show its window, and ends. A copy that crashed
// leaves its socket behind but not its lock (the kernel drops that), so the next start takes
// over.
//
// User-interface thread only, except ClaimTray, which blocks and may run on any thread.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace pelorin {

// How long a start waits for the tray copy that holds the lock to answer, or to end.
inline constexpr int kTrayCopyAnswerTimeoutMs = 10000;

class SingleTrayCopy : public QObject {
  Q_OBJECT
 public:
  enum class Claim {
    Taken,            // this copy is the one in the tray; Listen next
    ShownByTrayCopy,  // the copy in the tray showed its window
    TrayCopySilent,   // a copy holds the tray but did not answer in time, or cannot be trusted
    Unguarded,        // no lock can be had here (directory not writable, say): run on
  };

  // `socketPath` is the socket's full path; the lock file is that path with ".lock".
  explicit SingleTrayCopy(std::string socketPath, QObject* parent = nullptr);
  ~SingleTrayCopy() override;

  // $XDG_RUNTIME_DIR/pelorin32-tray, or without that directory a name of the user's own in the
  // temporary directory.
  static std::string DefaultSocketPath();

  // Takes the tray for this copy, or asks the copy that holds it to show its window, waiting
  // at most timeoutMs for a copy that is still starting or just ending.
  Claim ClaimTray(int timeoutMs = kTrayCopyAnswerTimeoutMs);
  // Why the last claim was Unguarded, or TrayCopySilent for a reason other than silence: a
  // lock or socket that is a link or another user's, say. Empty otherwise.
  const std::string& Failure() const { return failure_; }

  // After Taken: listens for later starts. Requests that come before SetShowWindow are
  // answered once it is set. False when the socket cannot be opened; `failure` says why.
  bool Listen(std::string* failure);
  void SetShowWindow(std::function<void()> showWindow);

  const std::string& SocketPath() const { return socketPath_; }

 private:
  struct Request;
  enum class Answer { Shown, None, Untrusted };

  bool OpenLock();
  bool TryLock();
  Answer AskTrayCopyToShow(int timeoutMs);
  void AcceptRequests();
  void ReadRequest(Request* request);
  void Drop(Request* request);
  void AnswerWaiting();

  std::string socketPath_;
  std::string failure_;
  int lockFd_ = -1;
  int listenFd_ = -1;
  QSocketNotifier* listening_ = nullptr;
  std::function<void()> showWindow_;
  std::vector<std::unique_ptr<Request>> requests_;  // connections not yet answered
};

}  // namespace pelorin
