// A minimal SMTP server on 127.0.0.1 for benchmarks: it accepts every command at once and
// throws the data away, so that a measurement sees the client's own cost.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

class LocalSmtpServer {
 public:
  LocalSmtpServer() = default;
  LocalSmtpServer(const LocalSmtpServer&) = delete;
  LocalSmtpServer& operator=(const LocalSmtpServer&) = delete;
  ~LocalSmtpServer() {
    stopping_ = true;
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }

  // Starts listening on an ephemeral port of 127.0.0.1 and returns it.
  int Start() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_, 4);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    thread_ = std::thread([this] { AcceptLoop(); });
    return ntohs(address.sin_port);
  }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      Converse(connection);
      ::close(connection);
    }
  }

  static void Send(int connection, const std::string& text) {
    ::send(connection, text.data(), text.size(), MSG_NOSIGNAL);
  }

  // The replies to what one recv brought go out together, as a pipelining server sends them:
  // one at a time, the later ones would wait for the client's delayed ACK of the first.
  static void Converse(int connection) {
    Send(connection, "220 bench ready\r\n");
    std::string pending;
    std::string replies;
    bool inData = false;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
      const bool quit = Answer(pending, inData, replies);
      Send(connection, replies);
      replies.clear();
      if (quit) return;
    }
  }

  // Answers the whole commands and data in `pending`; true after QUIT.
  static bool Answer(std::string& pending, bool& inData, std::string& replies) {
    for (;;) {
      if (inData) {
        const std::size_t end = pending.find("\r\n.\r\n");
        if (end == std::string::npos) {
          // Keep only what may hold the start of the end mark.
          if (pending.size() > 4) pending.erase(0, pending.size() - 4);
          return false;
        }
        pending.erase(0, end + 5);
        inData = false;
        replies += "250 ok\r\n";
        continue;
      }
      const std::size_t end = pending.find("\r\n");
      if (end == std::string::npos) return false;
      const std::string command = pending.substr(0, 4);
      pending.erase(0, end + 2);
      if (command == "DATA") {
        inData = true;
        pending.insert(0, "\r\n");  // the data's first line may be the end mark
        replies += "354 go on\r\n";
      } else if (command == "EHLO") {
        replies += "250-bench\r\n250 PIPELINING\r\n";
      } else if (command == "QUIT") {
        replies += "221 bye\r\n";
        return true;
      } else {
        replies += "250 ok\r\n";
      }
    }
  }

  int listener_ = -1;
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
};
