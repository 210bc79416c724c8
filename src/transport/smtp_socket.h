// What the SMTP session uses of a socket component. TSockets provides it; tests hand the
// session a recording implementation.
#pragma once

#include <string>
#include <string_view>

namespace pelorin {

class SmtpSocket {
 public:
  virtual ~SmtpSocket() = default;

  virtual void SetIPAddr(const std::string& address) = 0;
  virtual void SetPort(const std::string& port) = 0;
  // Returns at once; the connection completes later and the greeting arrives as data.
  virtual void SConnect() = 0;
  // Sends the text unchanged; nothing is added.
  virtual void SetText(const std::string& text) = 0;
  // The same for a text the caller gives up, so that a large one need not be copied to wait
  // for room in the socket.
  virtual void SetText(std::string&& text) { SetText(static_cast<const std::string&>(text)); }
  // The same for bytes that stay the caller's: the socket keeps a copy of what it cannot send
  // at once, so the caller's text need not outlive the call.
  virtual void SetTextView(std::string_view text) { SetText(std::string(text)); }
  // Whether text handed over earlier still waits for room in the connection.
  virtual bool TextWaiting() const { return false; }
  // Closes the connection from this side; no session-closed event follows.
  virtual void Disconnect() = 0;
  virtual std::string LocalHostName() = 0;
  // The name to give in HELO and EHLO; the host name unless the socket knows better.
  virtual std::string HeloName() { return LocalHostName(); }
  // Begins TLS over the connection (after the server's 220 to STARTTLS); what was received
  // before is never read. The outcome arrives later, as an event of the socket's owner.
  virtual void StartTls() {}
};

}  // namespace pelorin
