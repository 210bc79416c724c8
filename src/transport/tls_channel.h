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
#include <vector>

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

  virtual ~TlsChannel() = default;

  virtual State CurrentState() const = 0;
  // Why the handshake failed (Failed): a protocol error or a rejected certificate.
  virtual const std::string& Failure() const = 0;
  // Set when the failure was a certificate that could not be verified.
  virtual const TlsRejection* Rejection() const = 0;

  // Starts or continues the handshake with the encrypted bytes received so far.
  virtual void Advance() = 0;
  // Encrypted bytes from the server.
  virtual void Receive(std::string_view encrypted) = 0;
  // Plain text the server sent, as far as it has arrived whole.
  virtual std::string ReadPlain() = 0;
  // Queues plain text to go to the server (only once established).
  virtual void WritePlain(std::string_view plain) = 0;
  // Encrypted bytes that must go to the server now.
  virtual std::string TakeOutgoing() = 0;
  // The peer sent its close: no more plain text will come.
  virtual bool PeerClosed() const = 0;
};

// OpenSSL lives in a module of its own, loaded the first time a connection is secured: linked
// into the program it kept about 1.7 MiB resident all the time, also for the many users who
// never secure a connection. The module is looked for beside the program file, then where the
// dynamic loader looks (the build tree's programs name their build directory).
inline constexpr char kTlsModuleFile[] = "libpelorin32-tls.so";
// The module's one export: `TlsChannel* (const std::string& serverName,
// const std::string& trustedFingerprint)`, the new channel owned by the caller.
inline constexpr char kTlsModuleEntry[] = "pelorin_open_tls_channel";

// Starts loading the module on a thread of its own, so that a conversation that will be
// secured does not wait for OpenSSL's loading after the connection is made; OpenTlsChannel
// then waits for it, if it must. Nothing happens once the module is loaded.
void PreloadTlsModule();

// `serverName` as configured; `trustedFingerprint` may be empty. Null when the module cannot
// be loaded; `failure` then says why.
std::unique_ptr<TlsChannel> OpenTlsChannel(const std::string& serverName,
                                           const std::string& trustedFingerprint,
                                           std::string* failure);

// The same from the first of `modulePaths` that loads (a bare file name is searched for as the
// dynamic loader does).
std::unique_ptr<TlsChannel> OpenTlsChannelFrom(const std::vector<std::string>& modulePaths,
                                               const std::string& serverName,
                                               const std::string& trustedFingerprint,
                                               std::string* failure);

}  // namespace pelorin
