#include "app/single_tray_copy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <utility>

namespace pelorin {
namespace {

constexpr char kShowRequest[] = "show\n";
constexpr char kShownAnswer[] = "shown\n";
constexpr int kRetryPauseMs = 50;
constexpr qint64 kLongestRequest = 64;

QString SocketName(const std::string& path) {
  return QString::fromStdString(path);
}

int MillisecondsLeft(const QElapsedTimer& clock, int timeoutMs) {
  return static_cast<int>(std::max<qint64>(0, timeoutMs - clock.elapsed()));
}

}  // namespace

SingleTrayCopy::SingleTrayCopy(std::string socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {}

SingleTrayCopy::~SingleTrayCopy() {
  // The socket goes before the lock: whoever takes the lock next finds no live socket.
  delete server_;
  if (lockFd_ >= 0) close(lockFd_);
}

std::string SingleTrayCopy::DefaultSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/pelorin32-tray";
  return QDir::tempPath().toStdString() + "/pelorin32-tray-" + std::to_string(getuid());
}

SingleTrayCopy::Claim SingleTrayCopy::ClaimTray(int timeoutMs) {
  const std::string lockPath = socketPath_ + ".lock";
  // Without O_NOFOLLOW and the owner check, a file that another user put in a shared temporary
  // directory could decide which copy runs.
  lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  struct stat info {};
  if (lockFd_ < 0 || fstat(lockFd_, &info) != 0 || info.st_uid != getuid()) {
    if (lockFd_ >= 0) close(lockFd_);
    lockFd_ = -1;
    return Claim::Unguarded;
  }
  QElapsedTimer clock;
  clock.start();
  while (true) {
    if (TryLock()) return Claim::Taken;
    // The copy holding the lock may not listen yet, or may be ending: ask again until it
    // answers or lets go of the lock.
    if (AskTrayCopyToShow(MillisecondsLeft(clock, timeoutMs))) return Claim::ShownByTrayCopy;
    if (clock.elapsed() >= timeoutMs) return Claim::TrayCopySilent;
    QThread::msleep(kRetryPauseMs);
  }
}

bool SingleTrayCopy::TryLock() {
  return flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

bool SingleTrayCopy::AskTrayCopyToShow(int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(SocketName(socketPath_));
  QElapsedTimer clock;
  clock.start();
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kShowRequest);
  if (!socket.waitForBytesWritten(MillisecondsLeft(clock, timeoutMs))) return false;
  QByteArray answer;
  while (!answer.endsWith('\n')) {
    if (!socket.waitForReadyRead(MillisecondsLeft(clock, timeoutMs))) return false;
    answer += socket.readAll();
  }
  return answer == kShownAnswer;
}

bool SingleTrayCopy::Listen(std::string* failure) {
  // Holding the lock, this copy is the only one that may own the socket: one found there was
  // left by a copy that died.
  QLocalServer::removeServer(SocketName(socketPath_));
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(SocketName(socketPath_))) {
    if (failure != nullptr) *failure = server_->errorString().toStdString();
    delete server_;
    server_ = nullptr;
    return false;
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] { TakeRequest(socket); });
    }
  });
  return true;
}

void SingleTrayCopy::SetShowWindow(std::function<void()> showWindow) {
  showWindow_ = std::move(showWindow);
  AnswerWaiting();
}

void SingleTrayCopy::TakeRequest(QLocalSocket* socket) {
  if (!socket->canReadLine()) {
    if (socket->bytesAvailable() > kLongestRequest) socket->abort();
    return;
  }
  const QByteArray request = socket->readLine(kLongestRequest);
  disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
  if (request != kShowRequest) {
    socket->abort();
    return;
  }
  waiting_.push_back(socket);
  connect(socket, &QObject::destroyed, this, [this, socket] { std::erase(waiting_, socket); });
  AnswerWaiting();
}

void SingleTrayCopy::AnswerWaiting() {
  if (!showWindow_ || waiting_.empty()) return;
  const std::vector<QLocalSocket*> asking = std::exchange(waiting_, {});
  showWindow_();
  for (QLocalSocket* socket : asking) {
    socket->write(kShownAnswer);
    socket->disconnectFromServer();  // once the answer is out
  }
}

}  // namespace pelorin
