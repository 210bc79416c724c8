// The socket calls of the Winsock layer. Every descriptor is non-blocking for the system;
// blocking mode is this layer's own, so that a waiting call can run the blocking hook.
#include "os/winsock.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QThread>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "os/winsock_blocking.h"
#include "os/winsock_errors.h"
#include "os/winsock_table.h"

namespace os::ws {
namespace {

constexpr std::uint16_t kVersion11 = 0x0101;

thread_local int t_lastError = 0;

std::mutex g_startMutex;
std::atomic<int> g_startCount{0};

SocketTable& Table() {
  return SocketTable::Instance();
}

void CopyText(char* target, std::size_t size, const char* text) {
  std::strncpy(target, text, size - 1);
  target[size - 1] = '\0';
}

// The entry of `s`, or the Winsock code that ends a call on it.
int LookUp(SOCKET s, SocketEntry* entry) {
  if (!LibraryStarted()) return WSANOTINITIALISED;
  const std::optional<SocketEntry> found = Table().Find(s);
  if (!found) return WSAENOTSOCK;
  *entry = *found;
  return 0;
}

void SetConnectState(SOCKET s, ConnectState state) {
  Table().Update(s, [state](SocketEntry& entry) { entry.connectState = state; });
}

int PendingSocketError(SOCKET s) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

bool SystemFlags(int flags, int allowed, int* systemFlags) {
  if ((flags & ~allowed) != 0) return false;
  *systemFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
  if ((flags & WS_MSG_OOB) != 0) *systemFlags |= MSG_OOB;
  if ((flags & WS_MSG_PEEK) != 0) *systemFlags |= MSG_PEEK;
  if ((flags & WS_MSG_DONTROUTE) != 0) *systemFlags |= MSG_DONTROUTE;
  return true;
}

void DescribeLibrary(WSADATA* data) {
  *data = WSADATA{};
  data->wVersion = kVersion11;
  data->wHighVersion = kVersion11;
  CopyText(data->szDescription, sizeof data->szDescription, "Winsock 1.1 over POSIX sockets");
  CopyText(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65467;
}

int FinishBlockingConnect(SOCKET s) {
  const int waited = WaitUntilReady(s, POLLOUT);
  if (waited != 0) return FailWith(waited);
  const int error = PendingSocketError(s);
  SetConnectState(s, error == 0 ? ConnectState::Connected : ConnectState::Failed);
  return error == 0 ? 0 : FailWithErrno(error);
}

int SendBlocking(SOCKET s, const char* buf, int len, int flags) {
  int sent = 0;
  do {
    const ssize_t n = ::send(s, buf + sent, static_cast<std::size_t>(len - sent), flags);
    if (n >= 0) {
      sent += static_cast<int>(n);
    } else if (errno != EAGAIN) {
      return FailWithErrno(errno);
    } else if (const int waited = WaitUntilReady(s, POLLOUT); waited != 0) {
      return FailWith(waited);
    }
  } while (sent < len);
  return sent;
}

int ReceiveBlocking(SOCKET s, char* buf, int len, int flags) {
  for (;;) {
    const ssize_t n = ::recv(s, buf, static_cast<std::size_t>(len), flags);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EAGAIN) return FailWithErrno(errno);
    if (const int waited = WaitUntilReady(s, POLLIN); waited != 0) return FailWith(waited);
  }
}

int SetSocketLevelOption(SOCKET s, int optname, const char* optval, int optlen) {
  if (optname == WS_SO_LINGER) {
    if (optlen < static_cast<int>(sizeof(LINGER))) return FailWith(WSAEFAULT);
    LINGER record;
    std::memcpy(&record, optval, sizeof record);
    const linger value{record.l_onoff != 0 ? 1 : 0, record.l_linger};
    if (::setsockopt(s, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
      return FailWithErrno(errno);
    }
    return 0;
  }
  int name;
  switch (optname) {
    case WS_SO_SNDBUF:
      name = SO_SNDBUF;
      break;
    case WS_SO_RCVBUF:
      name = SO_RCVBUF;
      break;
    case WS_SO_KEEPALIVE:
      name = SO_KEEPALIVE;
      break;
    default:
      return FailWith(WSAENOPROTOOPT);
  }
  if (optlen < static_cast<int>(sizeof(int))) return FailWith(WSAEFAULT);
  int value;
  std::memcpy(&value, optval, sizeof value);
  if (::setsockopt(s, SOL_SOCKET, name, &value, sizeof value) != 0) return FailWithErrno(errno);
  return 0;
}

int SetTcpOption(SOCKET s, int optname, const char* optval, int optlen) {
  if (optname != WS_TCP_NODELAY) return FailWith(WSAENOPROTOOPT);
  if (optlen < static_cast<int>(sizeof(int))) return FailWith(WSAEFAULT);
  int value;
  std::memcpy(&value, optval, sizeof value);
  value = value != 0 ? 1 : 0;
  if (::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
    return FailWithErrno(errno);
  }
  return 0;
}

}  // namespace

bool LibraryStarted() {
  return g_startCount.load() > 0;
}

int WSAGetLastError() {
  return t_lastError;
}

void WSASetLastError(int iError) {
  t_lastError = iError;
}

int WSAStartup(std::uint16_t wVersionRequested, WSADATA* lpWSAData) {
  const unsigned major = wVersionRequested & 0xFFu;
  const unsigned minor = wVersionRequested >> 8;
  int error = 0;
  if (major < 1 || (major == 1 && minor < 1)) error = WSAVERNOTSUPPORTED;
  if (lpWSAData == nullptr) error = WSAEFAULT;
  WSASetLastError(error);
  if (error != 0) return error;
  std::lock_guard lock(g_startMutex);
  g_startCount.fetch_add(1);
  DescribeLibrary(lpWSAData);
  return 0;
}

int WSACleanup() {
  std::lock_guard lock(g_startMutex);
  if (g_startCount.load() == 0) return FailWith(WSANOTINITIALISED);
  if (g_startCount.fetch_sub(1) == 1) {
    // The last cleanup ends every socket still open, as Winsock does.
    for (const SOCKET s : Table().RemoveAll()) ::close(s);
    Table().StopWatching();
  }
  return 0;
}

SOCKET socket(int af, int type, int protocol) {
  if (!LibraryStarted()) return FailWith(WSANOTINITIALISED);
  if (af != WS_AF_INET) return FailWith(WSAEAFNOSUPPORT);
  if (type != WS_SOCK_STREAM && type != WS_SOCK_DGRAM) return FailWith(WSAESOCKTNOSUPPORT);
  const int systemType = (type == WS_SOCK_STREAM ? SOCK_STREAM : SOCK_DGRAM);
  const int s = ::socket(AF_INET, systemType | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (s < 0) return FailWithErrno(errno);
  Table().Add(s);
  return s;
}

int connect(SOCKET s, const SOCKADDR* name, int namelen) {
  SocketEntry entry;
  if (const int error = LookUp(s, &entry); error != 0) return FailWith(error);
  if (name == nullptr || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
    return FailWith(WSAEFAULT);
  }
  SOCKADDR_IN remote;
  std::memcpy(&remote, name, sizeof remote);
  if (remote.sin_family != WS_AF_INET) return FailWith(WSAEAFNOSUPPORT);
  if (!entry.nonBlocking && IsBlockingOnThisThread()) return FailWith(WSAEINPROGRESS);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = remote.sin_port;
  address.sin_addr.s_addr = remote.sin_addr.s_addr;
  const int result = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = result == 0 ? 0 : errno;
  if (result != 0 && error != EINPROGRESS) return FailWithErrno(error);
  // Under way or made at once: the socket's watcher tells FD_CONNECT either way.
  SetConnectState(s, ConnectState::Connecting);
  if (entry.nonBlocking) return result == 0 ? 0 : FailWithErrno(error);
  if (result == 0) {
    SetConnectState(s, ConnectState::Connected);
    return 0;
  }
  return FinishBlockingConnect(s);
}

int send(SOCKET s, const char* buf, int len, int flags) {
  SocketEntry entry;
  if (const int error = LookUp(s, &entry); error != 0) return FailWith(error);
  if (len < 0 || (buf == nullptr && len > 0)) return FailWith(WSAEFAULT);
  int systemFlags;
  if (!SystemFlags(flags, WS_MSG_OOB | WS_MSG_DONTROUTE, &systemFlags)) {
    return FailWith(WSAEOPNOTSUPP);
  }
  if (entry.sendShutDown) return FailWith(WSAESHUTDOWN);
  if (!entry.nonBlocking) {
    if (IsBlockingOnThisThread()) return FailWith(WSAEINPROGRESS);
    return SendBlocking(s, buf, len, systemFlags);
  }
  const ssize_t n = ::send(s, buf, static_cast<std::size_t>(len), systemFlags);
  if (n >= 0) return static_cast<int>(n);
  const int error = errno;
  // Would block: FD_WRITE is recorded again once there is room.
  if (error == EAGAIN) Table().Update(s, [](SocketEntry& e) { e.writeEnabled = true; });
  return FailWithErrno(error);
}

int getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
  SocketEntry entry;
  if (const int error = LookUp(s, &entry); error != 0) return FailWith(error);
  if (name == nullptr || namelen == nullptr || *namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
    return FailWith(WSAEFAULT);
  }
  sockaddr_in own{};
  socklen_t length = sizeof own;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&own), &length) != 0) {
    return FailWithErrno(errno);
  }
  if (own.sin_family != AF_INET) return FailWith(WSAEAFNOSUPPORT);
  SOCKADDR_IN local{};
  local.sin_family = WS_AF_INET;
  local.sin_port = own.sin_port;
  local.sin_addr.s_addr = own.sin_addr.s_addr;
  std::memcpy(name, &local, sizeof local);
  *namelen = sizeof local;
  return 0;
}

int recv(SOCKET s, char* buf, int len, int flags) {
  SocketEntry entry;
  if (const int error = LookUp(s, &entry); error != 0) return FailWith(error);
  if (len < 0 || (buf == nullptr && len > 0)) return FailWith(WSAEFAULT);
  int systemFlags;
  if (!SystemFlags(flags, WS_MSG_OOB | WS_MSG_PEEK, &systemFlags)) return FailWith(WSAEOPNOTSUPP);
  if (!entry.nonBlocking) {
    if (IsBlockingOnThisThread()) return FailWith(WSAEINPROGRESS);
    return ReceiveBlocking(s, buf, len, systemFlags);
  }
  const ssize_t n = ::recv(s, buf, static_cast<std::size_t>(len), systemFlags);
  const int error = errno;
  // Any recv, even a failing one, records FD_READ again (after taking the data, so that the
  // watcher does not see the same data twice).
  Table().Update(s, [](SocketEntry& e) { e.readEnabled = true; });
  if (n >= 0) return static_cast<int>(n);
  return FailWithErrno(error);
}

int closesocket(SOCKET s) {
  if (!LibraryStarted()) return FailWith(WSANOTINITIALISED);
  if (!Table().Remove(s)) return FailWith(WSAENOTSOCK);
  ::close(s);
  return 0;
}

int shutdown(SOCKET s, int how) {
  SocketEntry entry;
  if (const int error = LookUp(s, &entry); error != 0) return FailWith(error);
  static constexpr int kDirections[] = {SHUT_RD, SHUT_WR, SHUT_RDWR};
  if (how < SD_RECEIVE || how > SD_BOTH) return FailWith(WSAEINVAL);
  if (::shutdown(s, kDirections[how]) != 0) return FailWithErrno(errno);
  if (how != SD_RECEIVE) Table().Update(s, [](SocketEntry& e) { e.sendShutDown = true; });
  return 0;
}

int ioctlsocket(SOCKET s, u_long cmd, u_long* argp) {
  SocketEntry entry;
  if (const int error = LookUp(s, &entry); error != 0) return FailWith(error);
  if (argp == nullptr) return FailWith(WSAEFAULT);
  if (cmd == WS_FIONBIO) {
    const bool nonBlocking = *argp != 0;
    // Winsock keeps a socket under WSAAsyncSelect non-blocking until the request is cancelled.
    if (!nonBlocking && entry.events != 0) return FailWith(WSAEINVAL);
    Table().Update(s, [nonBlocking](SocketEntry& e) { e.nonBlocking = nonBlocking; });
    return 0;
  }
  if (cmd == WS_FIONREAD) {
    int available = 0;
    if (::ioctl(s, FIONREAD, &available) != 0) return FailWithErrno(errno);
    *argp = static_cast<u_long>(available);
    return 0;
  }
  return FailWith(WSAEINVAL);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  SocketEntry entry;
  if (const int error = LookUp(s, &entry); error != 0) return FailWith(error);
  if (optval == nullptr) return FailWith(WSAEFAULT);
  if (level == WS_SOL_SOCKET) return SetSocketLevelOption(s, optname, optval, optlen);
  if (level == WS_IPPROTO_TCP) return SetTcpOption(s, optname, optval, optlen);
  return FailWith(WSAEINVAL);
}

int WSAAsyncSelect(SOCKET s, ComponentWindow* hWnd, unsigned wMsg, long lEvent) {
  SocketEntry entry;
  if (const int error = LookUp(s, &entry); error != 0) return FailWith(error);
  if ((lEvent & ~FD_ALL_EVENTS) != 0 || (lEvent != 0 && hWnd == nullptr)) {
    return FailWith(WSAEINVAL);
  }
  if (const int error = Table().Request(s, hWnd, wMsg, lEvent); error != 0) return FailWith(error);
  return 0;
}

bool WSAIsBlocking() {
  return IsBlockingOnThisThread();
}

int WSACancelBlockingCall() {
  if (!LibraryStarted()) return FailWith(WSANOTINITIALISED);
  if (!CancelBlockingOnThisThread()) return FailWith(WSAEINVAL);
  return 0;
}

void PostReadinessNow() {
  Table().PostReadyNow(QThread::currentThread());
}

void ForgetWindow(ComponentWindow* hWnd) {
  Table().ForgetWindow(hWnd);
}

}  // namespace os::ws
