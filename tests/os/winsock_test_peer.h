// The far end for socket tests: a listening socket on 127.0.0.1 and plain POSIX calls on the
// accepted connection, so that the tests script the peer byte by byte. Every wait has a
// limit, so a fault shows as a failed test rather than a hang.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace testing_support {

// How long the peer waits for what must come: far beyond what a slow, busy machine needs.
inline constexpr int kPeerWaitMs = 20000;

inline bool WaitForDescriptor(int fd, short events, int timeoutMs) {
  pollfd descriptor{fd, events, 0};
  return ::poll(&descriptor, 1, timeoutMs) > 0;
}

// A TCP socket bound to 127.0.0.1 on a port the system picks; listening unless asked not to
// (a bound socket that does not listen refuses every connection to its port).
class TestListener {
 public:
  explicit TestListener(bool listening = true, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("test listener: socket failed");
    // Set before listening, so that accepted connections inherit it.
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        (listening && ::listen(fd_, SOMAXCONN) != 0)) {
      ::close(fd_);
      throw std::runtime_error("test listener: bind or listen on 127.0.0.1 failed");
    }
    port_ = ntohs(address.sin_port);
  }
  ~TestListener() {
    if (peer_ >= 0) ::close(peer_);
    ::close(fd_);
  }
  TestListener(const TestListener&) = delete;
  TestListener& operator=(const TestListener&) = delete;

  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }

  // The accepted connection, or -1 when none came in time.
  int Accept(int timeoutMs = kPeerWaitMs) {
    if (!WaitForDescriptor(fd_, POLLIN, timeoutMs)) return -1;
    peer_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer_;
  }
  int Peer() const { return peer_; }

  // One more connection for a test that holds several, closed by the caller; -1 when none
  // came in time.
  int AcceptAnother(int timeoutMs = kPeerWaitMs) const {
    if (!WaitForDescriptor(fd_, POLLIN, timeoutMs)) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

  bool Send(const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(peer_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Up to `count` bytes, fewer when nothing more comes within `timeoutMs`.
  std::string Receive(std::size_t count, int timeoutMs = kPeerWaitMs) const {
    std::string bytes;
    char block[65536];
    while (bytes.size() < count && WaitForDescriptor(peer_, POLLIN, timeoutMs)) {
      const std::size_t wanted = std::min(sizeof block, count - bytes.size());
      const ssize_t n = ::recv(peer_, block, wanted, 0);
      if (n <= 0) break;
      bytes.append(block, static_cast<std::size_t>(n));
    }
    return bytes;
  }

  // Whether the connection has ended (end of stream or a reset) within `timeoutMs`, all data
  // before the end being read and dropped.
  bool SeesEnd(int timeoutMs = kPeerWaitMs) const {
    char block[4096];
    while (WaitForDescriptor(peer_, POLLIN, timeoutMs)) {
      if (::recv(peer_, block, sizeof block, 0) <= 0) return true;
    }
    return false;
  }

  // An orderly close of the peer's side.
  void Close() {
    ::close(peer_);
    peer_ = -1;
  }

  // A close that resets the connection: linger on with no time.
  void Reset() {
    const linger abortive{1, 0};
    ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Close();
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  int peer_ = -1;
};

}  // namespace testing_support
