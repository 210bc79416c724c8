// A socket for the SMTP session's tests: it logs every call the session makes, sends nothing,
// and lets a test act from inside a call (a failed send reports its error from within).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "transport/smtp_socket.h"

namespace testing_support {

class RecordingSocket : public pelorin::SmtpSocket {
 public:
  // Every call in order: "IPAddr <text>", "Port <text>", "SConnect", "SetText <text>",
  // "Disconnect", "LocalHostName".
  std::vector<std::string> calls;
  std::string hostName = "client.example";
  std::function<void(const std::string&)> onSetText;
  std::function<void()> onSConnect;

  void SetIPAddr(const std::string& address) override { calls.push_back("IPAddr " + address); }
  void SetPort(const std::string& port) override { calls.push_back("Port " + port); }
  void SConnect() override {
    calls.push_back("SConnect");
    if (onSConnect) onSConnect();
  }
  using pelorin::SmtpSocket::SetText;
  void SetText(const std::string& text) override {
    calls.push_back("SetText " + text);
    if (onSetText) onSetText(text);
  }
  // What TextWaiting answers: text handed over still waits for room in the connection.
  bool waiting = false;
  bool TextWaiting() const override { return waiting; }
  void Disconnect() override { calls.push_back("Disconnect"); }
  std::string LocalHostName() override {
    calls.push_back("LocalHostName");
    return hostName;
  }

  // The texts of the SetText calls, in order.
  std::vector<std::string> Sent() const {
    std::vector<std::string> sent;
    for (const std::string& call : calls) {
      if (call.rfind("SetText ", 0) == 0) sent.push_back(call.substr(8));
    }
    return sent;
  }
  int Count(const std::string& call) const {
    int count = 0;
    for (const std::string& c : calls) count += c == call ? 1 : 0;
    return count;
  }
  void Clear() { calls.clear(); }
};

}  // namespace testing_support
