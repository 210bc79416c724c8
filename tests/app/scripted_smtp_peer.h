// An SMTP server on 127.0.0.1 for the send workflow's tests, on a thread of its own, that
// answers each step of a conversation as its script says and records what it was sent.
//
// Steps: "greeting", "HELO", "MAIL", "RCPT", "DATA", "data" (the end of a message's data) and
// "QUIT". Script(step, replies) answers the step's first occurrence with the first reply, the
// second with the second and so on, the last one repeated. A reply is sent as it is, CR LF
// added, unless it is one of:
//   "<silent>"  no answer; the peer goes on reading
//   "<reset>"   the connection is reset (RST)
//   "<close>"   the connection is closed
//   "<hold>..." waits until Release(), then answers with the text after "<hold>"
//   "<stay>..." answers with the text after "<stay>" and keeps the connection open, even when
//               that text is a 221 to QUIT
// A reply may hold any bytes, NUL included. With EndRepliesWithBareLf() each reply ends with a
// bare LF instead of CR LF. With ResetMidData() or CloseMidData() the next conversation's
// connection is reset or closed as soon as the first bytes of message data come; later
// conversations go on normally.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/stamp_placeholders.h"

namespace app_test {

class ScriptedSmtpPeer {
 public:
  ScriptedSmtpPeer() {
    Script("greeting", {"220 peer ready"});
    Script("HELO", {"250 hello"});
    Script("MAIL", {"250 sender ok"});
    Script("RCPT", {"250 recipient ok"});
    Script("DATA", {"354 go ahead"});
    Script("data", {"250 accepted"});
    Script("QUIT", {"221 bye"});
  }
  ScriptedSmtpPeer(const ScriptedSmtpPeer&) = delete;
  ScriptedSmtpPeer& operator=(const ScriptedSmtpPeer&) = delete;
  ~ScriptedSmtpPeer() {
    stopping_ = true;
    Release();
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }

  void Script(const std::string& step, std::vector<std::string> replies) {
    std::lock_guard lock(mutex_);
    script_[step] = std::move(replies);
    used_[step] = 0;
  }
  void ResetMidData() { midDataFault_ = MidDataFault::Reset; }
  void CloseMidData() { midDataFault_ = MidDataFault::Close; }
  void EndRepliesWithBareLf() { lineEnd_ = "\n"; }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

  // Listens on an ephemeral port and returns it as text.
  std::string Start() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_, 4);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    thread_ = std::thread([this] { AcceptLoop(); });
    return std::to_string(ntohs(address.sin_port));
  }

  // Every command line received, without its line end, in order, over all connections.
  std::vector<std::string> Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  // The data of every message whose end mark arrived, dots unstuffed, as the client composed it,
  // with its own Date and Message-ID (from a sender at example.com) put as "<date>" and "<id>".
  std::vector<std::string> Messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> messages;
    for (const std::string& message : messages_) {
      messages.push_back(testing_support::WithStampReplaced(message, "example.com"));
    }
    return messages;
  }
  int Connections() const { return connections_; }
  // True while a held reply waits for Release().
  bool Holding() const { return holding_; }
  bool ConnectionOpen() const { return connectionOpen_; }

 private:
  enum class Outcome { Go, Stop };
  enum class MidDataFault { None, Reset, Close };

  void AcceptLoop() {
    while (!stopping_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      ++connections_;
      connectionOpen_ = true;
      Converse(connection);
      connectionOpen_ = false;
    }
  }

  std::string NextReply(const std::string& step) {
    std::lock_guard lock(mutex_);
    const std::vector<std::string>& replies = script_[step];
    std::size_t& used = used_[step];
    const std::string reply = replies[std::min(used, replies.size() - 1)];
    ++used;
    return reply;
  }

  static void Reset(int connection) {
    const linger abortive{1, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(connection);
  }

  // The reply given is left in `given`.
  Outcome Answer(int connection, const std::string& step, std::string* given = nullptr) {
    std::string reply = NextReply(step);
    if (given != nullptr) *given = reply;
    if (reply == "<silent>") return Outcome::Go;
    if (reply == "<reset>") {
      Reset(connection);
      return Outcome::Stop;
    }
    if (reply == "<close>") {
      ::close(connection);
      return Outcome::Stop;
    }
    if (reply.rfind("<hold>", 0) == 0) {
      reply.erase(0, 6);
      holding_ = true;
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return released_ || stopping_; });
      holding_ = false;
    }
    const bool stay = reply.rfind("<stay>", 0) == 0;
    if (stay) reply.erase(0, 6);
    const std::string line = reply + lineEnd_.load();
    ::send(connection, line.data(), line.size(), MSG_NOSIGNAL);
    if (!stay && step == "QUIT" && reply.rfind("221", 0) == 0) {
      ::close(connection);
      return Outcome::Stop;
    }
    return Outcome::Go;
  }

  static std::string Unstuffed(const std::string& data) {
    std::string text;
    std::size_t start = 0;
    while (start < data.size()) {
      std::size_t end = data.find("\r\n", start);
      end = end == std::string::npos ? data.size() : end + 2;
      std::string line = data.substr(start, end - start);
      if (line.rfind("..", 0) == 0) line.erase(0, 1);
      text += line;
      start = end;
    }
    return text;
  }

  void Converse(int connection) {
    if (Answer(connection, "greeting") == Outcome::Stop) return;
    std::string pending;
    bool inData = false;
    char buffer[8192];
    while (!stopping_) {
      pollfd ready{connection, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      if (inData && midDataFault_ != MidDataFault::None) {
        if (midDataFault_.exchange(MidDataFault::None) == MidDataFault::Reset) {
          Reset(connection);
        } else {
          ::close(connection);
        }
        return;
      }
      for (;;) {
        if (inData) {
          const std::size_t end = pending.find("\r\n.\r\n");
          if (end == std::string::npos) break;
          {
            std::lock_guard lock(mutex_);
            messages_.push_back(Unstuffed(pending.substr(2, end >= 2 ? end - 2 : 0)));
          }
          pending.erase(0, end + 5);
          inData = false;
          if (Answer(connection, "data") == Outcome::Stop) return;
          continue;
        }
        const std::size_t end = pending.find("\r\n");
        if (end == std::string::npos) break;
        const std::string command = pending.substr(0, end);
        pending.erase(0, end + 2);
        {
          std::lock_guard lock(mutex_);
          commands_.push_back(command);
        }
        const std::string verb = command.substr(0, 4);
        const std::string step =
            verb == "HELO" || verb == "MAIL" || verb == "RCPT" || verb == "DATA" || verb == "QUIT"
                ? verb
                : "HELO";
        std::string reply;
        if (Answer(connection, step, &reply) == Outcome::Stop) return;
        if (verb == "DATA" && (reply.rfind("354", 0) == 0 || reply.rfind("<hold>354", 0) == 0)) {
          inData = true;
          pending.insert(0, "\r\n");  // the data's first line may be the end mark
        }
      }
    }
    ::close(connection);
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::vector<std::string>> script_;
  std::map<std::string, std::size_t> used_;
  std::vector<std::string> commands_;
  std::vector<std::string> messages_;
  bool released_ = false;
  std::atomic<MidDataFault> midDataFault_ = MidDataFault::None;
  std::atomic<const char*> lineEnd_ = "\r\n";
  std::atomic<bool> holding_ = false;
  std::atomic<bool> connectionOpen_ = false;
  std::atomic<int> connections_ = 0;
  std::atomic<bool> stopping_ = false;
  int listener_ = -1;
  std::thread thread_;
};

}  // namespace app_test
