// The client side of a TLS connection over OpenSSL, kept apart from the socket: encrypted
// bytes go in and out as text, so that the socket component keeps its own notification rules
// and tests can drive a handshake without a network. TLS 1.2 or newer, the server name sent
// (SNI) and checked against the certificate, the certificate verified against the system's
// trust store (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR work), or accepted
// because its SHA-256 fingerprint is the one the user chose to trust.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace pelorin {

// Why a certificate was not accepted, and which certificate it was.
struct TlsRejection {
  std::string reason;       // e.g. "the certificate has expired"
  std::string fingerprint;  // SHA-256 of the certificate, as hex pairs joined by ':'
  bool operator==(const TlsRejection&) const = default;
};

class TlsChannel {
 public:
  enum class State { Handshaking, Established, Failed };

  // `serverName` as configured; `trustedFingerprint` may be empty.
  TlsChannel(const std::string& serverName, const std::string& trustedFingerprint);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  State CurrentState() const { return state_; }
  // Why the handshake failed (Failed): a protocol error or a rejected certificate.
  const std::string& Failure() const { return failure_; }
  // Set when the failure was a certificate that could not be verified.
  const TlsRejection* Rejection() const { return rejected_ ? &rejection_ : nullptr; }

  // Starts or continues the handshake with the encrypted bytes received so far.
  void Advance();
  // Encrypted bytes from the server.
  void Receive(std::string_view encrypted);
  // Plain text the server sent, as far as it has arrived whole.
  std::string ReadPlain();
  // Queues plain text to go to the server (only once established).
  void WritePlain(std::string_view plain);
  // Encrypted bytes that must go to the server now.
  std::string TakeOutgoing();
  // The peer sent its close: no more plain text will come.
  bool PeerClosed() const { return peerClosed_; }

 private:
  void Fail(std::string why);
  bool AcceptPeer();

  struct Handles;
  std::unique_ptr<Handles> handles_;
  std::string serverName_;
  std::string trustedFingerprint_;
  State state_ = State::Handshaking;
  std::string failure_;
  TlsRejection rejection_;
  bool rejected_ = false;
  bool peerClosed_ = false;
};

// The SHA-256 fingerprint of a DER-encoded certificate, as upper-case hex pairs joined by ':'.
std::string CertificateFingerprint(std::string_view der);

}  // namespace pelorin
