#include "desktop/single_tray_copy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

// The socket is plain POSIX rather than QLocalServer: Qt's network module and the libraries it
// draws in (Kerberos, the proxy library) would stay resident in a program that waits in the
// tray for hours, for the sake of one line each way.

namespace pelorin {
namespace {

constexpr char kShowRequest[] = "show\n";
constexpr char kShownAnswer[] = "shown\n";
constexpr int kRetryPauseMs = 50;
constexpr std::size_t kLongestRequest = 64;
constexpr int kListenBacklog = 8;

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(0, left));
}

bool AddressOf(const std::string& path, sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

sockaddr* AsSocketAddress(sockaddr_un* address) {
  return reinterpret_cast<sockaddr*>(address);
}

// Waits until `fd` is ready for `events`; false once the deadline has passed.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  pollfd ready{fd, events, 0};
  int count;
  do {
    count = poll(&ready, 1, MillisecondsLeft(deadline));
  } while (count < 0 && errno == EINTR);
  return count > 0;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Sends all of `text`; MSG_NOSIGNAL, since a peer that has gone must not end this program.
bool SendAll(int fd, std::string_view text, Clock::time_point deadline) {
  while (!text.empty()) {
    const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      text.remove_prefix(static_cast<std::size_t>(sent));
    } else if (errno != EINTR && (errno != EAGAIN || !WaitFor(fd, POLLOUT, deadline))) {
      return false;
    }
  }
  return true;
}

// False once the other side has closed: a start that gave up waiting is not answered.
bool PeerStillWaits(int fd) {
  pollfd state{fd, POLLRDHUP, 0};
  return poll(&state, 1, 0) == 0;
}

// Why a file at `path`, found with `info`, is not the user's own; empty when it is.
std::string OwnerProblem(const std::string& path, const struct stat& info) {
  if (info.st_uid == getuid()) return {};
  return path + " belongs to another user (user id " + std::to_string(info.st_uid) + ")";
}

// Why a file at `path`, where another user may create files, is not to be trusted: a link, or
// someone else's. Empty when it is the user's own, or not there.
std::string DistrustOf(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return {};
  if (S_ISLNK(info.st_mode)) return path + " is a symbolic link";
  return OwnerProblem(path, info);
}

// Why the process at the other end of a connected local socket is not to be trusted.
std::string PeerProblem(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    return std::string("the copy in the tray cannot be told apart: ") + std::strerror(errno);
  }
  if (peer.uid == getuid()) return {};
  return "the socket is answered by another user's program (user id " + std::to_string(peer.uid) +
         ")";
}

}  // namespace

// A connection of a later start, until it has been answered.
struct SingleTrayCopy::Request {
  explicit Request(int socket) : fd(socket) {}
  ~Request() {
    delete readable;
    close(fd);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  int fd;
  QSocketNotifier* readable = nullptr;
  std::string received;
  bool asked = false;  // the whole request has come
};

SingleTrayCopy::SingleTrayCopy(std::string socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {}

SingleTrayCopy::~SingleTrayCopy() {
  requests_.clear();
  // The socket goes before the lock: whoever takes the lock next finds no live socket.
  if (listenFd_ >= 0) {
    delete listening_;
    close(listenFd_);
    unlink(socketPath_.c_str());
  }
  if (lockFd_ >= 0) close(lockFd_);
}

std::string SingleTrayCopy::DefaultSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/pelorin32-tray";
  return QDir::tempPath().toStdString() + "/pelorin32-tray-" + std::to_string(getuid());
}

SingleTrayCopy::Claim SingleTrayCopy::ClaimTray(int timeoutMs) {
  failure_.clear();
  if (!OpenLock()) return Claim::Unguarded;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    if (TryLock()) return Claim::Taken;
    // The copy holding the lock may not listen yet, or may be ending: ask again until it
    // answers or lets go of the lock.
    switch (AskTrayCopyToShow(MillisecondsLeft(deadline))) {
      case Answer::Shown:
        return Claim::ShownByTrayCopy;
      case Answer::Untrusted:
        return Claim::TrayCopySilent;
      case Answer::None:
        break;
    }
    if (Clock::now() >= deadline) return Claim::TrayCopySilent;
    QThread::msleep(kRetryPauseMs);
  }
}

// Without O_NOFOLLOW and the owner check, a file that another user put in a shared temporary
// directory could decide which copy runs.
bool SingleTrayCopy::OpenLock() {
  const std::string lockPath = socketPath_ + ".lock";
  lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    const int error = errno;
    failure_ = DistrustOf(lockPath);
    if (failure_.empty()) failure_ = lockPath + ": " + std::strerror(error);
    return false;
  }
  struct stat info {};
  if (fstat(lockFd_, &info) != 0 || info.st_uid != getuid()) {
    failure_ = OwnerProblem(lockPath, info);
    close(lockFd_);
    lockFd_ = -1;
    return false;
  }
  return true;
}

bool SingleTrayCopy::TryLock() {
  return flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

SingleTrayCopy::Answer SingleTrayCopy::AskTrayCopyToShow(int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  sockaddr_un address;
  if (!AddressOf(socketPath_, &address)) return Answer::None;
  // Whoever answers there decides whether this start ends: only the user's own copy may.
  failure_ = DistrustOf(socketPath_);
  if (!failure_.empty()) return Answer::Untrusted;
  const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return Answer::None;
  // A local connect completes at once or fails (no listener, or its backlog full: ask again).
  if (::connect(socket.get(), AsSocketAddress(&address), sizeof address) != 0) return Answer::None;
  failure_ = PeerProblem(socket.get());
  if (!failure_.empty()) return Answer::Untrusted;
  if (!SendAll(socket.get(), kShowRequest, deadline)) return Answer::None;
  std::string answer;
  while (answer.find('\n') == std::string::npos && answer.size() <= kLongestRequest) {
    char buffer[kLongestRequest];
    const ssize_t count = recv(socket.get(), buffer, sizeof buffer, 0);
    if (count > 0) {
      answer.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 ||
               (errno != EINTR && (errno != EAGAIN || !WaitFor(socket.get(), POLLIN, deadline)))) {
      return Answer::None;
    }
  }
  return answer == kShownAnswer ? Answer::Shown : Answer::None;
}

bool SingleTrayCopy::Listen(std::string* failure) {
  const auto fail = [failure](std::string why) {
    if (failure != nullptr) *failure = std::move(why);
    return false;
  };
  sockaddr_un address;
  if (!AddressOf(socketPath_, &address)) {
    return fail("the path " + socketPath_ + " is too long for a local socket");
  }
  // Holding the lock, this copy is the only one of the user's that may own the socket: one of
  // theirs found there was left by a copy that died. Anything else is not for this copy to
  // remove.
  struct stat info {};
  if (lstat(socketPath_.c_str(), &info) == 0) {
    if (std::string problem = OwnerProblem(socketPath_, info); !problem.empty()) {
      return fail(problem);
    }
    if (S_ISDIR(info.st_mode)) return fail(socketPath_ + " is a folder");
    unlink(socketPath_.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, AsSocketAddress(&address), sizeof address) != 0 ||
      chmod(socketPath_.c_str(), 0600) != 0 || listen(fd, kListenBacklog) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    return fail(socketPath_ + ": " + std::strerror(error));
  }
  listenFd_ = fd;
  listening_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(listening_, &QSocketNotifier::activated, this, [this] { AcceptRequests(); });
  return true;
}

void SingleTrayCopy::SetShowWindow(std::function<void()> showWindow) {
  showWindow_ = std::move(showWindow);
  AnswerWaiting();
}

void SingleTrayCopy::AcceptRequests() {
  int fd;
  while ((fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
    auto request = std::make_unique<Request>(fd);
    Request* taken = request.get();
    taken->readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(taken->readable, &QSocketNotifier::activated, this,
            [this, taken] { ReadRequest(taken); });
    requests_.push_back(std::move(request));
  }
  // Out of descriptors, say: the waiting connection stays, and looking again at once would
  // only spin. The next start is heard a moment later.
  if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
    listening_->setEnabled(false);
    QTimer::singleShot(kRetryPauseMs * 20, listening_, [this] { listening_->setEnabled(true); });
  }
}

void SingleTrayCopy::ReadRequest(Request* request) {
  char buffer[kLongestRequest + 1];
  const ssize_t count = recv(request->fd, buffer, sizeof buffer, 0);
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (count <= 0) return Drop(request);  // the later start gave up or ended
  if (request->asked) return;            // anything after the request is not read
  request->received.append(buffer, static_cast<std::size_t>(count));
  const std::size_t end = request->received.find('\n');
  if (end == std::string::npos) {
    if (request->received.size() > kLongestRequest) Drop(request);
    return;
  }
  if (request->received.compare(0, end + 1, kShowRequest) != 0) return Drop(request);
  request->asked = true;
  AnswerWaiting();
}

// Closes the connection. Called from its own notifier's signal, so the notifier goes later.
void SingleTrayCopy::Drop(Request* request) {
  request->readable->setEnabled(false);
  request->readable->deleteLater();
  request->readable = nullptr;
  std::erase_if(requests_, [request](const auto& held) { return held.get() == request; });
}

void SingleTrayCopy::AnswerWaiting() {
  std::vector<Request*> asking;
  for (const auto& request : requests_) {
    if (request->asked) asking.push_back(request.get());
  }
  std::erase_if(asking, [this](Request* request) {
    if (PeerStillWaits(request->fd)) return false;
    Drop(request);
    return true;
  });
  if (!showWindow_ || asking.empty()) return;
  showWindow_();
  // Looked up again: showing the window may have let other requests come and go.
  for (Request* request : asking) {
    const bool held = std::any_of(requests_.begin(), requests_.end(),
                                  [request](const auto& kept) { return kept.get() == request; });
    if (!held) continue;
    // The answer is one short line into an empty socket buffer; it goes out at once.
    SendAll(request->fd, kShownAnswer, Clock::now());
    Drop(request);
  }
}

}  // namespace pelorin
