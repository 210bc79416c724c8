// An SMTP server on 127.0.0.1 for the send workflow's tests, on a thread of its own, taking one
// connection at a time. It answers each step as its script says, misbehaves where a
// connection's fault plan says, and records what it was sent.
//
// Steps: the greeting, HELO (and any command it does not know), MAIL, RCPT, DATA, the first
// bytes of message data ("mid-data"), the end of a message's data and QUIT.
//
// Script(step, replies), with the step named "greeting", "HELO", "MAIL", "RCPT", "DATA", "data"
// (the end of the data) or "QUIT", answers the step's first occurrence with the first reply, the
// second with the second and so on over all connections, the last one repeated. A reply is sent
// as it is, CR LF added, unless it is one of:
//   "<silent>"  no answer; the peer goes on reading
//   "<reset>"   the connection is reset (RST)
//   "<close>"   the connection is closed
//   "<hold>..." waits until Release(), then answers with the text after "<hold>"; once released,
//               every later held reply goes at once
//   "<stay>..." answers with the text after "<stay>" and keeps the connection open, even when
//               that text is a 221 to QUIT
// A reply may hold any bytes, NUL included. With EndRepliesWithBareLf() each reply ends with a
// bare LF instead of CR LF. With ResetMidData() or CloseMidData() the connection that next
// sends message data is reset or closed at its first bytes; later ones go on normally.
//
// A peer made with fault plans follows one plan per connection, in order (a fault at one
// occurrence of a step, a reply held until a release of its own); later connections behave.
// It keeps count of what it accepted, by the subject of the message, and of acceptances the
// client may never have seen: the end of the data came in and then the connection broke before
// the client sent anything more.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/stamp_placeholders.h"

namespace app_test {

enum class Step { Greeting, Helo, Mail, Rcpt, Data, MidData, EndOfData, Quit };
inline constexpr const char* kStepNames[] = {"greeting", "HELO",     "MAIL",        "RCPT",
                                             "DATA",     "mid-data", "end of data", "QUIT"};

enum class Fault { Transient, Permanent, Reset, Close, Silence, NotSmtp, ByeOnly, OddBye };
inline constexpr const char* kFaultNames[] = {"4xx",     "5xx",      "reset",    "close",
                                              "silence", "not SMTP", "221 only", "odd QUIT answer"};

// What one connection does wrong, if anything, and where it holds a reply until released.
struct ConnectionPlan {
  std::optional<Fault> fault;
  Step faultStep = Step::Greeting;
  int faultOccurrence = 0;  // which occurrence of the step in the connection
  bool hold = false;
  Step holdStep = Step::Greeting;
  int holdOccurrence = 0;
};

inline std::string Describe(const ConnectionPlan& plan) {
  std::string text = "connection: ";
  if (plan.fault) {
    text += std::string(kFaultNames[static_cast<int>(*plan.fault)]) + " at " +
            kStepNames[static_cast<int>(plan.faultStep)] + " #" +
            std::to_string(plan.faultOccurrence);
  } else {
    text += "no fault";
  }
  if (plan.hold) {
    text += ", holds " + std::string(kStepNames[static_cast<int>(plan.holdStep)]) + " #" +
            std::to_string(plan.holdOccurrence);
  }
  return text;
}

inline std::string FaultReply(Step step, Fault fault) {
  if (fault == Fault::NotSmtp) return "hello there";
  if (fault == Fault::OddBye) return "500 what";
  const bool transient = fault == Fault::Transient;
  switch (step) {
    case Step::Greeting:
      return transient ? "421 busy" : "554 no service";
    case Step::Rcpt:
      return transient ? "450 mailbox busy" : "550 no such user";
    case Step::EndOfData:
      return transient ? "451 later" : "552 too big";
    default:
      return transient ? "451 later" : "554 not now";
  }
}

class ScriptedSmtpPeer {
 public:
  struct Delivery {
    std::string recipient;
    std::string data;  // as the client composed it, dots unstuffed
  };

  ScriptedSmtpPeer() {
    Script("greeting", {"220 peer ready"});
    Script("HELO", {"250 hello"});
    Script("MAIL", {"250 sender ok"});
    Script("RCPT", {"250 recipient ok"});
    Script("DATA", {"354 go ahead"});
    Script("data", {"250 accepted"});
    Script("QUIT", {"221 bye"});
  }
  // A greeting of two lines, and every command accepted with the same words.
  explicit ScriptedSmtpPeer(std::vector<ConnectionPlan> plans) : plans_(std::move(plans)) {
    Script("greeting", {"220-peer\r\n220 ready"});
    for (const char* step : {"HELO", "MAIL", "RCPT", "data"}) Script(step, {"250 ok"});
    Script("DATA", {"354 go ahead"});
    Script("QUIT", {"221 bye"});
  }
  ScriptedSmtpPeer(const ScriptedSmtpPeer&) = delete;
  ScriptedSmtpPeer& operator=(const ScriptedSmtpPeer&) = delete;
  ~ScriptedSmtpPeer() {
    {
      std::lock_guard lock(mutex_);  // a held reply may be just about to wait
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }

  void Script(const std::string& step, std::vector<std::string> replies) {
    std::lock_guard lock(mutex_);
    script_[StepNamed(step)] = {std::move(replies), 0};
  }
  void ResetMidData() { midDataFault_ = Fault::Reset; }
  void CloseMidData() { midDataFault_ = Fault::Close; }
  void EndRepliesWithBareLf() { lineEnd_ = "\n"; }
  // Connections from now on behave.
  void EndFaults() {
    std::lock_guard lock(mutex_);
    plans_.clear();
  }
  // Lets the held reply go, and every scripted one after it; a plan's later hold still waits.
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    if (planHolding_) planReleased_ = true;
    changed_.notify_all();
  }

  // Listens on an ephemeral port and returns it as text; empty when it cannot.
  std::string Start() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return {};
    }
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
  // The messages accepted, by their subject.
  std::vector<Delivery> DeliveriesOf(const std::string& token) const {
    std::lock_guard lock(mutex_);
    const auto found = deliveries_.find(token);
    return found == deliveries_.end() ? std::vector<Delivery>{} : found->second;
  }
  // Deliveries of the message whose acceptance the client may never have seen.
  int UnconfirmedOf(const std::string& token) const {
    std::lock_guard lock(mutex_);
    const auto found = unconfirmed_.find(token);
    return found == unconfirmed_.end() ? 0 : found->second;
  }
  std::set<std::string> Tokens() const {
    std::lock_guard lock(mutex_);
    std::set<std::string> tokens;
    for (const auto& [token, deliveries] : deliveries_) tokens.insert(token);
    return tokens;
  }
  int Connections() const { return connections_; }
  int Steps() const { return steps_; }
  // True while a held reply waits for Release().
  bool Holding() const { return holding_; }
  bool ConnectionOpen() const { return connectionOpen_; }
  // The client's port of the connection on which the peer has gone silent; 0 when none.
  int SilentClientPort() const { return silentClientPort_; }

 private:
  enum class Next { Go, Stop };

  struct Replies {
    std::vector<std::string> replies;
    std::size_t used;
  };

  struct Conversation {
    int fd = -1;
    int clientPort = 0;
    ConnectionPlan plan;
    std::map<Step, int> seen;
    std::string pending;
    std::string recipient;
    std::string awaitingNextCommand;  // accepted; the client has not shown that it knows
    bool inData = false;
    bool mute = false;  // silent, or waiting for the client to close after 221
    bool closed = false;
  };

  static Step StepNamed(const std::string& name) {
    if (name == "data") return Step::EndOfData;
    for (int step = 0; step < static_cast<int>(std::size(kStepNames)); ++step) {
      if (name == kStepNames[step]) return static_cast<Step>(step);
    }
    throw std::invalid_argument("no such step: " + name);
  }

  static Step StepOf(const std::string& command) {
    const std::string verb = command.substr(0, 4);
    if (verb == "MAIL") return Step::Mail;
    if (verb == "RCPT") return Step::Rcpt;
    if (verb == "DATA") return Step::Data;
    if (verb == "QUIT") return Step::Quit;
    return Step::Helo;
  }

  void AcceptLoop() {
    while (!stopping_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 10) <= 0) continue;
      Conversation conversation;
      conversation.fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conversation.fd < 0) continue;
      conversation.clientPort = ClientPort(conversation.fd);
      conversation.plan = NextPlan();
      ++connections_;
      connectionOpen_ = true;
      Converse(conversation);
      Finish(conversation);
    }
  }

  static int ClientPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

  ConnectionPlan NextPlan() {
    std::lock_guard lock(mutex_);
    if (plans_.empty()) return {};
    ConnectionPlan plan = plans_.front();
    plans_.erase(plans_.begin());
    return plan;
  }

  void Converse(Conversation& c) {
    if (Answer(c, Step::Greeting) == Next::Stop) return;
    char buffer[16384];
    while (!stopping_) {
      pollfd ready{c.fd, POLLIN, 0};
      if (::poll(&ready, 1, 10) <= 0) continue;
      const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      if (c.mute) continue;
      c.pending.append(buffer, static_cast<std::size_t>(n));
      if (TakeIn(c) == Next::Stop) return;
    }
  }

  Next TakeIn(Conversation& c) {
    while (!c.mute) {
      if (c.inData) {
        // The data's first bytes are the moment for a fault in the middle of the data.
        if (c.pending.size() > 2 && !c.seen.count(Step::MidData) &&
            Answer(c, Step::MidData) == Next::Stop) {
          return Next::Stop;
        }
        const std::size_t end = c.pending.find("\r\n.\r\n");
        if (end == std::string::npos) return Next::Go;
        const std::string data = Unstuffed(c.pending.substr(2, end - 2));
        c.pending.erase(0, end + 5);
        c.inData = false;
        c.seen.erase(Step::MidData);
        Record(messages_, data);
        if (Answer(c, Step::EndOfData, data) == Next::Stop) return Next::Stop;
        continue;
      }
      const std::size_t end = c.pending.find("\r\n");
      if (end == std::string::npos) return Next::Go;
      const std::string command = c.pending.substr(0, end);
      c.pending.erase(0, end + 2);
      Record(commands_, command);
      c.awaitingNextCommand.clear();  // the client went on: it saw the acceptance
      const Step step = StepOf(command);
      if (step == Step::Rcpt) c.recipient = AddressIn(command);
      if (Answer(c, step) == Next::Stop) return Next::Stop;
    }
    return Next::Go;
  }

  static std::string AddressIn(const std::string& command) {
    const std::size_t open = command.find('<');
    const std::size_t close = command.rfind('>');
    if (open == std::string::npos || close == std::string::npos || close < open) return command;
    return command.substr(open + 1, close - open - 1);
  }

  static std::string Unstuffed(const std::string& data) {
    std::string text;
    for (std::size_t start = 0; start < data.size();) {
      std::size_t end = data.find("\r\n", start);
      end = end == std::string::npos ? data.size() : end + 2;
      const std::size_t from = data.compare(start, 2, "..") == 0 ? start + 1 : start;
      text.append(data, from, end - from);
      start = end;
    }
    return text;
  }

  static std::string TokenIn(const std::string& data) {
    const std::string prefix = "Subject: ";
    if (data.rfind(prefix, 0) != 0) return data.substr(0, 40);
    return data.substr(prefix.size(), data.find("\r\n") - prefix.size());
  }

  Next Answer(Conversation& c, Step step, const std::string& data = {}) {
    const int occurrence = c.seen[step]++;
    ++steps_;
    if (c.plan.hold && c.plan.holdStep == step && c.plan.holdOccurrence == occurrence) {
      WaitForPlanRelease();
    }
    if (c.plan.fault && c.plan.faultStep == step && c.plan.faultOccurrence == occurrence) {
      return Misbehave(c, step, *c.plan.fault, data);
    }
    if (step == Step::MidData) {
      const Fault fault = midDataFault_.exchange(Fault::Transient);
      if (fault == Fault::Transient) return Next::Go;  // none planned
      return Misbehave(c, step, fault, data);
    }
    std::string reply = NextReply(step);
    if (reply == "<silent>") return Next::Go;
    if (reply == "<reset>" || reply == "<close>") {
      return Misbehave(c, step, reply == "<reset>" ? Fault::Reset : Fault::Close, data);
    }
    if (reply.starts_with("<hold>")) {
      reply.erase(0, 6);
      WaitForScriptRelease();
    }
    const bool stay = reply.starts_with("<stay>");
    if (stay) reply.erase(0, 6);
    if (step == Step::EndOfData && reply.starts_with("250")) {
      Deliver(c, data);
      c.awaitingNextCommand = TokenIn(data);
    }
    Send(c, reply);
    if (step == Step::Data && reply.starts_with("354")) {
      c.inData = true;
      c.pending.insert(0, "\r\n");  // the data's first line may be the end mark
    }
    if (!stay && step == Step::Quit && reply.starts_with("221")) return CloseConnection(c);
    return Next::Go;
  }

  std::string NextReply(Step step) {
    std::lock_guard lock(mutex_);
    Replies& script = script_[step];
    return script.replies[std::min(script.used++, script.replies.size() - 1)];
  }

  Next Misbehave(Conversation& c, Step step, Fault fault, const std::string& data) {
    const bool dataWasWhole = step == Step::EndOfData;
    switch (fault) {
      case Fault::Reset:
      case Fault::Close:
      case Fault::Silence:
        // The end of the data came: a server may well have taken the message in.
        if (dataWasWhole) {
          Deliver(c, data);
          CountUnconfirmed(TokenIn(data));
        }
        if (fault == Fault::Silence) {
          c.mute = true;
          silentClientPort_ = c.clientPort;
          return Next::Go;
        }
        if (fault == Fault::Reset) {
          const linger abortive{1, 0};
          ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
        return CloseConnection(c);
      case Fault::ByeOnly:
        Send(c, "221 bye");
        c.mute = true;
        return Next::Go;
      default:
        Send(c, FaultReply(step, fault));
        return Next::Go;
    }
  }

  void Record(std::vector<std::string>& list, const std::string& text) {
    std::lock_guard lock(mutex_);
    list.push_back(text);
  }

  void Deliver(const Conversation& c, const std::string& data) {
    std::lock_guard lock(mutex_);
    deliveries_[TokenIn(data)].push_back({c.recipient, data});
  }

  void CountUnconfirmed(const std::string& token) {
    std::lock_guard lock(mutex_);
    ++unconfirmed_[token];
  }

  void Send(const Conversation& c, const std::string& reply) const {
    const std::string line = reply + lineEnd_.load();
    ::send(c.fd, line.data(), line.size(), MSG_NOSIGNAL);
  }

  static Next CloseConnection(Conversation& c) {
    ::close(c.fd);
    c.closed = true;
    return Next::Stop;
  }

  void WaitForScriptRelease() {
    std::unique_lock lock(mutex_);
    holding_ = true;
    changed_.wait(lock, [this] { return released_ || stopping_; });
    holding_ = false;
  }

  void WaitForPlanRelease() {
    std::unique_lock lock(mutex_);
    holding_ = planHolding_ = true;
    changed_.wait(lock, [this] { return planReleased_ || stopping_; });
    planReleased_ = false;
    holding_ = planHolding_ = false;
  }

  void Finish(Conversation& c) {
    if (!c.awaitingNextCommand.empty()) CountUnconfirmed(c.awaitingNextCommand);
    if (!c.closed) ::close(c.fd);
    silentClientPort_ = 0;
    connectionOpen_ = false;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<Step, Replies> script_;
  std::vector<ConnectionPlan> plans_;
  std::vector<std::string> commands_;
  std::vector<std::string> messages_;
  std::map<std::string, std::vector<Delivery>> deliveries_;
  std::map<std::string, int> unconfirmed_;
  bool released_ = false;
  bool planHolding_ = false;
  bool planReleased_ = false;
  std::atomic<Fault> midDataFault_ = Fault::Transient;  // Reset or Close when one is asked for
  std::atomic<const char*> lineEnd_ = "\r\n";
  std::atomic<bool> holding_ = false;
  std::atomic<bool> connectionOpen_ = false;
  std::atomic<int> connections_ = 0;
  std::atomic<int> steps_ = 0;
  std::atomic<int> silentClientPort_ = 0;
  std::atomic<bool> stopping_ = false;
  int listener_ = -1;
  std::thread thread_;
};

// The interleaving test's name for a peer that follows fault plans.
using MisbehavingSmtpPeer = ScriptedSmtpPeer;

}  // namespace app_test
