#include "transport/sockets.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "os/kernel.h"
#include "os/msgbox.h"
#include "transport/helo_name.h"
#include "transport/socket_error_text.h"
#include "transport/tls_channel.h"

namespace pelorin {
namespace ws = os::ws;

namespace {

constexpr std::uint16_t kWinsockVersion = 0x0101;
constexpr unsigned kNotificationMessage = os::WM_USER;
constexpr long kRequestedEvents = ws::FD_READ | ws::FD_WRITE | ws::FD_CONNECT | ws::FD_CLOSE;
constexpr unsigned kBlockingTimerId = 10;
constexpr unsigned kSuccessLimit = 10000;  // a notification's error above this is a failure
constexpr int kOwnTimeoutError = 10060;
constexpr std::size_t kMaxServerLength = 256;
constexpr std::size_t kMaxPortLength = 31;
constexpr std::size_t kHostNameBufferSize = 128;
// One send call takes at most this much; longer text goes out in several.
constexpr std::size_t kMaxSendLength = 1u << 30;
const char* const kErrorCaption = "WINSOCK ERROR";
const char* const kCancelCaption = "WINSOCK CALL CANCELED";

// Handlers are called through a copy, so that one that reassigns its own event stays alive.
template <typename Handler, typename... Args>
void Raise(const Handler& handler, Args&&... args) {
  if (!handler) return;
  const Handler call = handler;
  call(std::forward<Args>(args)...);
}

std::string EventName(unsigned event) {
  switch (event) {
    case ws::FD_READ:
      return "FD_READ";
    case ws::FD_WRITE:
      return "FD_WRITE";
    case ws::FD_ACCEPT:
      return "FD_ACCEPT";
    case ws::FD_CONNECT:
      return "FD_CONNECT";
    case ws::FD_CLOSE:
      return "FD_CLOSE";
    default:
      return "";
  }
}

[[noreturn]] void ThrowNotAnInteger(const std::string& text) {
  throw ConversionError("'" + text + "' is not a valid integer value");
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The digits from `first` to the end in `base`; false when there are none, when one is not a
// digit, or when the value exceeds `limit`.
bool ReadDigits(const std::string& text, std::size_t first, unsigned base, std::uint64_t limit,
                std::uint64_t* value) {
  if (first >= text.size()) return false;
  *value = 0;
  for (std::size_t i = first; i < text.size(); ++i) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
    *value = *value * base + static_cast<unsigned>(digit);
    if (*value > limit) return false;
  }
  return true;
}

}  // namespace

int StrToInt(const std::string& text) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string::npos) ThrowNotAnInteger(text);
  const bool negative = text[i] == '-';
  if (text[i] == '-' || text[i] == '+') ++i;
  std::uint64_t magnitude = 0;
  if (i < text.size() && text[i] == '$') {
    // Hexadecimal takes all 32 bits, as the conversion has always done: $FFFFFFFF is -1.
    if (!ReadDigits(text, i + 1, 16, UINT32_MAX, &magnitude)) ThrowNotAnInteger(text);
    const auto bits = static_cast<std::uint32_t>(negative ? 0u - magnitude : magnitude);
    return static_cast<int>(bits);
  }
  const std::uint64_t limit = negative ? std::uint64_t{INT_MAX} + 1 : INT_MAX;
  if (!ReadDigits(text, i, 10, limit, &magnitude)) ThrowNotAnInteger(text);
  return static_cast<int>(negative ? -static_cast<std::int64_t>(magnitude)
                                   : static_cast<std::int64_t>(magnitude));
}

std::uint16_t ServerPort(const std::string& port) {
  if (const ws::SERVENT* service = ws::getservbyname(port.c_str(), "tcp")) {
    return static_cast<std::uint16_t>(service->s_port);  // already in network byte order
  }
  return (ws::htons)(static_cast<std::uint16_t>(StrToInt(port)));
}

TSockets::TSockets(QObject* Owner) : os::ComponentWindow(Owner) {
  if (ws::WSAStartup(kWinsockVersion, &wsaData_) != 0) {
    ReportError(0, "Constructor (WSAStartup)", ws::WSAGetLastError());
  }
}

TSockets::~TSockets() {
  EndTls();
  ws::ForgetWindow(this);
  if (ws::WSACleanup() < 0) ReportError(-1, "Destructor (WSACleanup)", ws::WSAGetLastError());
}

void TSockets::SConnect() {
  if (port_.empty()) {
    os::SocketMessageBox("No Port Specified", kErrorCaption);
    return;
  }
  if (ipAddr_.empty()) {
    DirectReport(kOwnTimeoutError, "No IP Address Specified");
    return;
  }
  if (!ServerNamesFit()) return;
  remoteAddress_ = {};
  remoteAddress_.sin_family = ws::WS_AF_INET;
  remoteAddress_.sin_port = ServerPort(port_);
  if (!ResolveServer()) return;
  CloseHeldSocket();
  CreateSocket();
  RequestMode();
  StartConnection();
}

// The socket library takes the names from fixed buffers; a name that does not fit is refused
// rather than cut, which would connect somewhere else.
bool TSockets::ServerNamesFit() {
  if (port_.size() > kMaxPortLength) {
    DirectReport(ws::WSAEINVAL, "Port is longer than 31 characters");
    return false;
  }
  if (ipAddr_.size() > kMaxServerLength) {
    DirectReport(ws::WSAEINVAL, "Server name is longer than 256 characters");
    return false;
  }
  return true;
}

bool TSockets::ResolveServer() {
  remoteAddress_.sin_addr.s_addr = ws::inet_addr(ipAddr_.c_str());
  if (remoteAddress_.sin_addr.s_addr != ws::WS_INADDR_NONE) return true;
  const ws::HOSTENT* host = ws::gethostbyname(ipAddr_.c_str());
  if (host == nullptr || host->h_addr_list[0] == nullptr) {
    DirectReport(kOwnTimeoutError, "Cannot convert host address");
    return false;
  }
  std::memcpy(&remoteAddress_.sin_addr, host->h_addr_list[0], sizeof remoteAddress_.sin_addr);
  return true;
}

// A connection still held is abandoned without a report: the caller asked for a new one.
// Notifications of a socket given up must not reach its owner: after Disconnect no
// session-closed event comes, and a stale one would end the next connection's conversation.
// Once notifications are cancelled nothing more is posted, so what is queued is all there is.
void TSockets::DropQueuedNotifications() {
  os::DiscardPostedMessages(this);
}

void TSockets::CloseHeldSocket() {
  DropWaitingText();
  EndTls();
  if (socketHandle_ == -1) return;
  const ws::LINGER abortive{1, 0};
  ws::WSAAsyncSelect(socketHandle_, this, kNotificationMessage, 0);
  DropQueuedNotifications();
  ws::setsockopt(socketHandle_, ws::WS_SOL_SOCKET, ws::WS_SO_LINGER,
                 reinterpret_cast<const char*>(&abortive), sizeof abortive);
  ws::closesocket(socketHandle_);
  socketHandle_ = -1;
}

void TSockets::CreateSocket() {
  // Without a protocol entry for "tcp" the protocol is TCP all the same.
  const ws::PROTOENT* protocol = ws::getprotobyname("tcp");
  const int protocolNumber = protocol != nullptr ? protocol->p_proto : ws::WS_IPPROTO_TCP;
  socketHandle_ = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, protocolNumber);
  if (socketHandle_ < 0) {
    ReportError(-1, "SConnect (socket)", ws::WSAGetLastError());
    return;
  }
  // The SMTP session sends a large message's data as blocks back to back; under Nagle's
  // algorithm the last, partial segment would wait for the peer's delayed acknowledgement.
  // Only a speed-up, so a failure needs no report.
  const int noDelay = 1;
  ws::setsockopt(socketHandle_, ws::WS_IPPROTO_TCP, ws::WS_TCP_NODELAY,
                 reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
}

void TSockets::RequestMode() {
  if (modeCell_ == 1) {
    if (ws::WSAAsyncSelect(socketHandle_, this, kNotificationMessage, kRequestedEvents) != 0) {
      ReportError(socketHandle_, "WSAAsyncSelect", ws::WSAGetLastError());
    }
    return;
  }
  ws::ioctlsocket(socketHandle_, ws::WS_FIONBIO, &modeCell_);
}

void TSockets::StartConnection() {
  const bool blocking = modeCell_ == 0;
  if (blocking) StartBlockingTimer();
  const int result = ws::connect(
      socketHandle_, reinterpret_cast<const ws::SOCKADDR*>(&remoteAddress_), sizeof remoteAddress_);
  const int error = ws::WSAGetLastError();
  if (blocking) StopBlockingTimer();
  if (result != 0 && error != ws::WSAEWOULDBLOCK) ReportError(socketHandle_, "SConnect", error);
}

void TSockets::SetText(const std::string& Text) {
  SetTextView(Text);
}

void TSockets::SetTextView(std::string_view Text) {
  if (tlsFailed_) return;  // nothing goes over a connection that could not be secured
  if (tls_) {
    tls_->WritePlain(Text);
    FlushTls();
    return;
  }
  SendRaw(Text);
}

void TSockets::SetText(std::string&& Text) {
  if (tlsFailed_ || tls_) {
    SetText(std::as_const(Text));
    return;
  }
  SendRaw(std::move(Text));
}

// What the socket cannot take at once waits; the rest of the text is copied for that, only.
void TSockets::SendRaw(std::string_view Text) {
  if (!waiting_.empty()) return KeepWaiting(std::string(Text));
  const std::size_t unsent = SendAtOnce(Text);
  if (unsent != std::string::npos) KeepWaiting(std::string(Text.substr(unsent)));
}

// A text given up is kept as it is, behind what waits, without a copy.
void TSockets::SendRaw(std::string&& Text) {
  if (!waiting_.empty()) return KeepWaiting(std::move(Text));
  const std::size_t unsent = SendAtOnce(Text);
  if (unsent == std::string::npos) return;
  KeepWaiting(std::move(Text));
  waitingSent_ = unsent;
}

// Small texts join the last one that waits, so that a backlog of commands still goes out in
// few sends; large ones wait as they are.
void TSockets::KeepWaiting(std::string Text) {
  constexpr std::size_t kJoinedUpTo = 64u << 10;
  if (Text.empty()) return;
  if (!waiting_.empty() && Text.size() < kJoinedUpTo && waiting_.back().size() < kJoinedUpTo) {
    waiting_.back() += Text;
    return;
  }
  waiting_.push_back(std::move(Text));
}

// Sends Text straight from the caller's string; only called when nothing waits. Returns where
// the socket stopped taking it, so that the caller keeps the rest waiting for FD_WRITE, or
// npos when nothing of it is left to keep (all sent, or failed and reported).
std::size_t TSockets::SendAtOnce(std::string_view Text) {
  if (modeCell_ == 0) {
    SendBlocking(Text);
    return std::string::npos;
  }
  if (Text.empty()) {
    if (ws::send(socketHandle_, "", 0, 0) < 0) {
      ReportError(socketHandle_, "SetText (Send)", ws::WSAGetLastError());
    }
    return std::string::npos;
  }
  std::size_t sent = 0;
  int error = 0;
  if (!SendWhatFits(Text, sent, error)) {
    ReportError(socketHandle_, "SetText (Send)", error);
    return std::string::npos;
  }
  return sent < Text.size() ? sent : std::string::npos;
}

void TSockets::SendBlocking(std::string_view Text) {
  std::size_t offset = 0;
  do {
    const std::size_t length = std::min(Text.size() - offset, kMaxSendLength);
    StartBlockingTimer();
    const int sent = ws::send(socketHandle_, Text.data() + offset, static_cast<int>(length), 0);
    const int error = ws::WSAGetLastError();
    StopBlockingTimer();
    if (sent < 0) {
      ReportError(socketHandle_, "SetText (Send)", error);
      return;
    }
    offset += length;
  } while (offset < Text.size());
}

// Sends `text` from `offset` on until all of it is gone or the socket would block, moving
// `offset` along. False when a send failed; `error` then says why.
bool TSockets::SendWhatFits(std::string_view text, std::size_t& offset, int& error) {
  while (offset < text.size()) {
    const std::size_t length = std::min(text.size() - offset, kMaxSendLength);
    const int sent = ws::send(socketHandle_, text.data() + offset, static_cast<int>(length), 0);
    if (sent <= 0) {
      error = ws::WSAGetLastError();
      return sent == 0 || error == ws::WSAEWOULDBLOCK;
    }
    offset += static_cast<std::size_t>(sent);
  }
  return true;
}

// Sends what waits until all is gone or the socket would block; FD_WRITE brings the rest.
void TSockets::SendWaitingText() {
  while (!waiting_.empty()) {
    int error = 0;
    if (!SendWhatFits(waiting_.front(), waitingSent_, error)) {
      DropWaitingText();
      ReportError(socketHandle_, "SetText (Send)", error);
      return;
    }
    if (waitingSent_ < waiting_.front().size()) return;
    waiting_.pop_front();
    waitingSent_ = 0;
  }
}

void TSockets::DropWaitingText() {
  waiting_.clear();
  waitingSent_ = 0;
}

int TSockets::SReceive(int Socket, char* Buffer, const int& Size) {
  if (Socket == -1) return -1;
  if (tlsFailed_) return 0;
  if (tls_) {
    if (tlsPlain_.empty() && !ReadTls(Socket)) return -1;
    return TakeTlsPlain(Buffer, Size);
  }
  const bool blocking = modeCell_ == 0;
  if (blocking) StartBlockingTimer();
  const int received = ws::recv(Socket, Buffer, Size, 0);
  const int error = ws::WSAGetLastError();
  if (blocking) StopBlockingTimer();
  if (received < 0) ReportError(socketHandle_, "SReceive", error);
  return received;
}

void TSockets::Disconnect() {
  const int socket = socketHandle_;
  DropWaitingText();
  EndTls();
  if (modeCell_ == 1) {
    ws::WSAAsyncSelect(socket, this, kNotificationMessage, 0);
    DropQueuedNotifications();
  }
  if (ws::WSAIsBlocking()) ws::WSACancelBlockingCall();
  ws::shutdown(socket, ws::SD_BOTH);
  // Linger on with no time: the close does not wait and unsent data is dropped.
  const ws::LINGER abortive{1, 0};
  ws::setsockopt(socket, ws::WS_SOL_SOCKET, ws::WS_SO_LINGER,
                 reinterpret_cast<const char*>(&abortive), sizeof abortive);
  const bool closed = ws::closesocket(socket) == 0;
  const int error = ws::WSAGetLastError();
  socketHandle_ = -1;
  if (!closed) ReportError(socket, "Disconnect (closesocket)", error);
}

std::string TSockets::LocalHostName() {
  char name[kHostNameBufferSize] = {};
  ws::gethostname(name, sizeof name);
  return std::string(name, strnlen(name, sizeof name));
}

std::string TSockets::HeloName() {
  return pelorin::HeloName(LocalHostName(), LocalAddressLiteral());
}

// Empty when no connection is held.
std::string TSockets::LocalAddressLiteral() {
  ws::SOCKADDR_IN local{};
  int length = sizeof local;
  if (socketHandle_ == -1 ||
      ws::getsockname(socketHandle_, reinterpret_cast<ws::SOCKADDR*>(&local), &length) != 0) {
    return {};
  }
  unsigned char address[sizeof local.sin_addr];
  std::memcpy(address, &local.sin_addr, sizeof address);
  return AddressLiteral(address);
}

void TSockets::HandleMessage(const os::Message& message) {
  if (message.msg == kNotificationMessage) {
    SocketNotification(message.wParam, message.lParam);
  } else if (message.msg == os::WM_TIMER) {
    BlockingTimerTick();
  }
}

void TSockets::SocketNotification(os::WPARAM wParam, os::LPARAM lParam) {
  const int socket = static_cast<int>(wParam);
  const unsigned event = ws::WSAGETSELECTEVENT(lParam);
  const unsigned error = ws::WSAGETSELECTERROR(lParam);
  // After a failed handshake the owner hears of nothing but that failure, until it lets the
  // connection go.
  if (tlsFailed_) return;
  if (error > kSuccessLimit) {
    ReportError(socket, EventName(event), static_cast<int>(error));
    return;
  }
  if (tls_ && event != ws::FD_WRITE) return TlsNotification(socket, event);
  switch (event) {
    case ws::FD_READ:
      Raise(OnDataAvailable, this, socket);
      break;
    case ws::FD_WRITE:
      SendWaitingText();
      Raise(OnDataNeeded, this, socket);
      break;
    case ws::FD_ACCEPT:
      Raise(OnSessionAvailable, this, socket);
      break;
    case ws::FD_CONNECT:
      if (tlsFromConnect_) BeginTls();
      Raise(OnSessionConnected, this, socket);
      break;
    case ws::FD_CLOSE:
      Raise(OnSessionClosed, this, socket);
      break;
    default:
      break;
  }
}

void TSockets::StartBlockingTimer() {
  if (timeout_ <= 0) return;
  const long long ms = std::min<long long>(timeout_ * 1000LL, INT_MAX);
  os::SetTimer(this, kBlockingTimerId, static_cast<unsigned>(ms));
}

void TSockets::StopBlockingTimer() {
  if (timeout_ > 0) os::KillTimer(this, kBlockingTimerId);
}

// The timer fires at most once; it ends the waiting call, which then reports its own failure.
void TSockets::BlockingTimerTick() {
  os::KillTimer(this, kBlockingTimerId);
  if (!ws::WSAIsBlocking()) return;
  ws::WSACancelBlockingCall();
  if (OnErrorOccurred) {
    Raise(OnErrorOccurred, this, socketHandle_, kOwnTimeoutError, "Blocking call timed out");
    return;
  }
  os::SocketMessageBox("Error " + std::to_string(kOwnTimeoutError) + "\r\nBlocking call timed out",
                       kCancelCaption);
}

void TSockets::ReportError(int Socket, const std::string& FunctionName, int Error) {
  const std::string Desc = SocketErrorText(Error);
  if (OnErrorOccurred) {
    Raise(OnErrorOccurred, this, Socket, Error, Desc);
    return;
  }
  os::SocketMessageBox(
      "Error " + std::to_string(Error) + " in function " + FunctionName + "\r\n" + Desc,
      kErrorCaption);
  os::ExitProcess(0);
}

// The component's own reports: the handler or a box, and the program goes on.
void TSockets::DirectReport(int Error, const std::string& Msg) {
  if (OnErrorOccurred) {
    Raise(OnErrorOccurred, this, socketHandle_, Error, Msg);
    return;
  }
  os::SocketMessageBox(Msg, kErrorCaption);
}

}  // namespace pelorin

namespace pelorin {

// --- TLS ---

void TSockets::SetTls(std::string serverName, std::string trustedFingerprint, bool fromConnect) {
  tlsServerName_ = std::move(serverName);
  tlsTrustedFingerprint_ = std::move(trustedFingerprint);
  tlsFromConnect_ = fromConnect;
}

void TSockets::StartTls() {
  BeginTls();
}

const TlsRejection* TSockets::TlsFailure() const {
  return tlsRejection_.get();
}

void TSockets::BeginTls() {
  std::string failure;
  tls_ = OpenTlsChannel(tlsServerName_, tlsTrustedFingerprint_, &failure);
  tlsFailed_ = false;
  tlsRejection_.reset();
  tlsPlain_.clear();
  if (!tls_) {
    tlsFailed_ = true;
    DirectReport(kTlsHandshakeFailed, "The secure connection failed: " + failure);
    return;
  }
  tls_->Advance();  // the client's first flight
  FlushTls();
}

void TSockets::EndTls() {
  tlsFailed_ = false;
  tls_.reset();
  tlsPlain_.clear();
}

// Sends what the channel has encrypted; a failed handshake is reported once, and the channel
// is then given up, so that nothing more is read or sent over it.
void TSockets::FlushTls() {
  const std::string outgoing = tls_->TakeOutgoing();
  if (!outgoing.empty()) SendRaw(outgoing);
  if (!tls_ || tls_->CurrentState() != TlsChannel::State::Failed) return;
  const std::string failure = tls_->Failure();
  if (const TlsRejection* rejection = tls_->Rejection()) {
    tlsRejection_ = std::make_unique<TlsRejection>(*rejection);
  }
  tls_.reset();
  tlsPlain_.clear();
  tlsFailed_ = true;
  DirectReport(kTlsHandshakeFailed, "The secure connection failed: " + failure);
}

// One recv of encrypted bytes into the channel; false when the recv failed (reported).
bool TSockets::ReadTls(int socket) {
  char buffer[16384];
  const int received = ws::recv(socket, buffer, sizeof buffer, 0);
  if (received < 0) {
    const int error = ws::WSAGetLastError();
    if (error == ws::WSAEWOULDBLOCK) return true;
    ReportError(socketHandle_, "SReceive", error);
    return false;
  }
  const bool wasEstablished = tls_->CurrentState() == TlsChannel::State::Established;
  tls_->Receive(std::string_view(buffer, static_cast<std::size_t>(received)));
  tlsPlain_ += tls_->ReadPlain();
  FlushTls();
  if (tls_ && !wasEstablished && tls_->CurrentState() == TlsChannel::State::Established) {
    Raise(OnTlsEstablished, this, socket);
    // A server's first words may come with the handshake's last flight (its greeting, after
    // its Finished): nothing more may come from the socket until it is answered.
    AnnounceTlsPlain();
  }
  return true;
}

// Re-arming a notification. As in Winsock, an event is announced once and armed again only by
// the call that takes what it announced: FD_READ by a recv, which the socket library follows
// with a new FD_READ while data remains. Plain text that the TLS channel holds is data the
// socket no longer has, so the socket never announces it again: whoever leaves plain text
// waiting without a notice under way (the owner taking only part of it, or the handshake
// bringing text with it) posts the FD_READ for it here.
void TSockets::AnnounceTlsPlain() {
  if (tlsPlain_.empty() || !tls_ || tls_->CurrentState() != TlsChannel::State::Established) return;
  os::PostMessage(this, kNotificationMessage, static_cast<os::WPARAM>(socketHandle_),
                  ws::WSAMAKESELECTREPLY(ws::FD_READ, 0));
}

int TSockets::TakeTlsPlain(char* Buffer, int Size) {
  const std::size_t taken = std::min(tlsPlain_.size(), static_cast<std::size_t>(std::max(Size, 0)));
  std::memcpy(Buffer, tlsPlain_.data(), taken);
  tlsPlain_.erase(0, taken);
  AnnounceTlsPlain();  // more waits than the owner took
  return static_cast<int>(taken);
}

// While the channel shakes hands the owner hears nothing of the data: it is the channel's.
// Once established, data becomes the owner's data event; a close first hands on what waits.
void TSockets::TlsNotification(int socket, unsigned event) {
  const bool established = tls_->CurrentState() == TlsChannel::State::Established;
  switch (event) {
    case ws::FD_READ:
      if (established) {
        Raise(OnDataAvailable, this, socket);
      } else {
        ReadTls(socket);
      }
      break;
    case ws::FD_CLOSE:
      // As long as the owner keeps reading it.
      for (std::size_t waiting = tlsPlain_.size(); tls_ && waiting > 0;) {
        Raise(OnDataAvailable, this, socket);
        if (tlsPlain_.size() >= waiting) break;
        waiting = tlsPlain_.size();
      }
      Raise(OnSessionClosed, this, socket);
      break;
    case ws::FD_CONNECT:
      Raise(OnSessionConnected, this, socket);
      break;
    default:
      break;
  }
}

}  // namespace pelorin
