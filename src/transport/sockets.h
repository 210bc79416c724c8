// TSockets: a component that holds one client TCP connection over Winsock and turns the
// socket library's notifications into events. Its hidden window receives the notifications
// (message 1024) and the blocking-call timer (timer 10) on the thread that created it, the
// user-interface thread; SConnect may be called from another thread.
//
// Failures go to OnErrorOccurred when it is assigned. Without it they are shown in a
// "WINSOCK ERROR" box, and after a failed socket call (ReportError) the program ends with
// exit code 0.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "os/messages.h"
#include "os/winsock.h"
#include "transport/smtp_socket.h"

namespace pelorin {

// Thrown out of SConnect when Port is neither a service name nor an integer; the message is
// "'<Port>' is not a valid integer value".
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TSockets;
class TlsChannel;
struct TlsRejection;

// The error code of a failed TLS handshake, raised through OnErrorOccurred; TlsFailure() then
// says more. Above every Winsock code.
constexpr int kTlsHandshakeFailed = 20001;

using TDataAvailable = std::function<void(TSockets* Sender, int Socket)>;
using TDataNeeded = std::function<void(TSockets* Sender, int Socket)>;
using TSessionClosed = std::function<void(TSockets* Sender, int Socket)>;
using TSessionAvailable = std::function<void(TSockets* Sender, int Socket)>;
using TSessionConnected = std::function<void(TSockets* Sender, int Socket)>;
using TTlsEstablished = std::function<void(TSockets* Sender, int Socket)>;
using TErrorOccurred =
    std::function<void(TSockets* Sender, int Socket, int Error, const std::string& Msg)>;

class TSockets : public os::ComponentWindow, public SmtpSocket {
 public:
  // Starts the socket library; `Owner` becomes the QObject parent.
  explicit TSockets(QObject* Owner = nullptr);
  // Stops the socket library; a socket still held is not closed here.
  ~TSockets() override;
  TSockets(const TSockets&) = delete;
  TSockets& operator=(const TSockets&) = delete;

  // Kept for the owner; no operation reads it (SReceive takes its size from its caller).
  int MaximumReceiveLength() const { return maximumReceiveLength_; }
  void SetMaximumReceiveLength(int length) { maximumReceiveLength_ = length; }
  // The server: a dotted IPv4 address or a host name, at most 256 characters.
  const std::string& IPAddr() const { return ipAddr_; }
  void SetIPAddr(const std::string& address) override { ipAddr_ = address; }
  // A service name for "tcp" (such as smtp) or an integer, at most 31 characters.
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& port) override { port_ = port; }
  // True: notification mode (events, calls never wait). False: blocking mode (calls wait,
  // each limited to Timeout seconds).
  bool NonBlocking() const { return modeCell_ == 1; }
  void SetNonBlocking(bool nonBlocking) { modeCell_ = nonBlocking ? 1 : 0; }
  // Seconds allowed to one blocking call; 0 or less means no limit.
  int Timeout() const { return timeout_; }
  void SetTimeout(int seconds) { timeout_ = seconds; }
  // The socket held, -1 when none.
  int SocketHandle() const { return socketHandle_; }

  TDataAvailable OnDataAvailable;
  TDataNeeded OnDataNeeded;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TErrorOccurred OnErrorOccurred;
  // Raised when the TLS handshake has succeeded and the certificate was accepted.
  TTlsEstablished OnTlsEstablished;

  // TLS (notification mode only): the name the certificate must carry, and a fingerprint the
  // user chose to trust (may be empty). With `fromConnect` the next SConnect secures the
  // connection as soon as it is made, before anything is read from it.
  void SetTls(std::string serverName, std::string trustedFingerprint, bool fromConnect);
  // Secures the connection now (after STARTTLS); what was received before is never read.
  void StartTls() override;
  // Why the last handshake failed, when the certificate was the reason; null otherwise.
  const TlsRejection* TlsFailure() const;

  // Resolves the server, closes a socket still held, creates a new one and starts the
  // connection; in notification mode its outcome arrives as OnSessionConnected or an error.
  // Throws ConversionError for a Port that is neither a service nor an integer.
  void SConnect() override;
  // Sends the bytes of Text. In notification mode what the socket cannot take at once waits,
  // in order, and goes out on the next FD_WRITE ahead of any later text.
  void SetText(const std::string& Text) override;
  // The same; a Text that has to wait is kept without a copy.
  void SetText(std::string&& Text) override;
  void SetTextView(std::string_view Text) override;
  bool TextWaiting() const override { return !waiting_.empty(); }
  // One recv into Buffer (not terminated): bytes received, 0 when the peer has closed, -1 on
  // failure or when Socket is -1.
  int SReceive(int Socket, char* Buffer, const int& Size);
  // Ends notifications, shuts down and closes abortively; SocketHandle becomes -1.
  void Disconnect() override;
  // The local host name as the socket library reports it; empty when it cannot.
  std::string LocalHostName() override;
  // The host name when it is fully qualified, else the address literal of this side of the
  // connection ("[192.0.2.10]").
  std::string HeloName() override;

  void HandleMessage(const os::Message& message) override;

 private:
  void ReportError(int Socket, const std::string& FunctionName, int Error);
  void DirectReport(int Error, const std::string& Msg);
  void StartBlockingTimer();
  void StopBlockingTimer();
  void BlockingTimerTick();
  void SocketNotification(os::WPARAM wParam, os::LPARAM lParam);

  std::string LocalAddressLiteral();
  bool ServerNamesFit();
  bool ResolveServer();
  void CloseHeldSocket();
  void DropQueuedNotifications();
  void CreateSocket();
  void RequestMode();
  void StartConnection();
  void SendBlocking(std::string_view Text);
  bool SendWhatFits(std::string_view text, std::size_t& offset, int& error);
  void SendWaitingText();
  void KeepWaiting(std::string Text);
  void DropWaitingText();
  std::size_t SendAtOnce(std::string_view Text);
  void SendRaw(std::string_view Text);
  void SendRaw(std::string&& Text);
  void BeginTls();
  void EndTls();
  void FlushTls();
  bool ReadTls(int socket);
  void TlsNotification(int socket, unsigned event);
  int TakeTlsPlain(char* Buffer, int Size);
  void AnnounceTlsPlain();

  os::ws::SOCKADDR_IN remoteAddress_{};
  os::ws::WSADATA wsaData_{};
  std::string port_;
  std::string ipAddr_;
  int socketHandle_ = -1;
  os::ws::u_long modeCell_ = 1;  // also the argument of the FIONBIO request
  int timeout_ = 30;
  int maximumReceiveLength_ = 8192;
  // Texts that the socket has not taken yet, in order; the first from waitingSent_ on.
  std::deque<std::string> waiting_;
  std::size_t waitingSent_ = 0;
  // TLS, when asked for: the channel and the plain text it gave that the owner has not read.
  std::string tlsServerName_;
  std::string tlsTrustedFingerprint_;
  bool tlsFromConnect_ = false;
  std::unique_ptr<TlsChannel> tls_;
  std::unique_ptr<TlsRejection> tlsRejection_;
  std::string tlsPlain_;
  bool tlsFailed_ = false;
};

// The port for a Port text in network byte order: the "tcp" service entry's port, or else the
// text as an integer (its low 16 bits). Throws ConversionError.
std::uint16_t ServerPort(const std::string& port);

// A 32-bit integer from text: leading blanks, then an optional sign and decimal digits or $
// and hexadecimal digits, up to the end. Throws ConversionError.
int StrToInt(const std::string& text);

}  // namespace pelorin
