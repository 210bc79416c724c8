// The OpenSSL side of TlsChannel, built as the module that the program loads when it first
// secures a connection.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "transport/tls_channel.h"

namespace pelorin {
namespace {

struct Handles {
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  BIO* incoming = nullptr;  // owned by ssl
  BIO* outgoing = nullptr;  // owned by ssl
  ~Handles() {
    if (ssl != nullptr) SSL_free(ssl);
    if (context != nullptr) SSL_CTX_free(context);
  }
};

std::string OpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? "the secure connection could not be made" : text;
}

// How a verification result reads to the user.
std::string VerifyReason(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "the server's certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "the server's certificate is not valid yet";
    case X509_V_ERR_HOSTNAME_MISMATCH:
      return "the server's certificate is made out for another name";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return "the server's certificate is self-signed";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "the server's certificate comes from an unknown issuer";
    default:
      return std::string("the server's certificate cannot be verified (") +
             X509_verify_cert_error_string(result) + ")";
  }
}

// The SHA-256 fingerprint of a DER-encoded certificate, as upper-case hex pairs joined by ':'.
std::string CertificateFingerprint(std::string_view der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
    text += pair;
  }
  return text;
}

std::string PeerFingerprint(SSL* ssl) {
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (certificate == nullptr) return {};
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  std::string fingerprint;
  if (length > 0) {
    fingerprint = CertificateFingerprint(
        std::string_view(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length)));
  }
  OPENSSL_free(der);
  X509_free(certificate);
  return fingerprint;
}

class OpenSslChannel final : public TlsChannel {
 public:
  OpenSslChannel(const std::string& serverName, const std::string& trustedFingerprint);

  State CurrentState() const override { return state_; }
  const std::string& Failure() const override { return failure_; }
  const TlsRejection* Rejection() const override { return rejected_ ? &rejection_ : nullptr; }
  void Advance() override;
  void Receive(std::string_view encrypted) override;
  std::string ReadPlain() override;
  void WritePlain(std::string_view plain) override;
  std::string TakeOutgoing() override;
  bool PeerClosed() const override { return peerClosed_; }

 private:
  void Fail(std::string why);
  bool AcceptPeer();

  std::unique_ptr<Handles> handles_;
  std::string serverName_;
  std::string trustedFingerprint_;
  State state_ = State::Handshaking;
  std::string failure_;
  TlsRejection rejection_;
  bool rejected_ = false;
  bool peerClosed_ = false;
};

OpenSslChannel::OpenSslChannel(const std::string& serverName, const std::string& trustedFingerprint)
    : handles_(std::make_unique<Handles>()),
      serverName_(serverName),
      trustedFingerprint_(trustedFingerprint) {
  Handles& h = *handles_;
  h.context = SSL_CTX_new(TLS_client_method());
  if (h.context == nullptr) {
    Fail(OpenSslErrors());
    return;
  }
  SSL_CTX_set_min_proto_version(h.context, TLS1_2_VERSION);
  SSL_CTX_set_default_verify_paths(h.context);
  // Verified after the handshake, so that a rejected certificate can be named by its
  // fingerprint; nothing is sent over the connection before that check.
  SSL_CTX_set_verify(h.context, SSL_VERIFY_NONE, nullptr);
  h.ssl = SSL_new(h.context);
  if (h.ssl == nullptr) {
    Fail(OpenSslErrors());
    return;
  }
  h.incoming = BIO_new(BIO_s_mem());
  h.outgoing = BIO_new(BIO_s_mem());
  SSL_set_bio(h.ssl, h.incoming, h.outgoing);
  SSL_set_connect_state(h.ssl);
  // A dotted address is checked against the certificate's addresses and sent without SNI,
  // which carries names only.
  X509_VERIFY_PARAM* check = SSL_get0_param(h.ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(check, serverName_.c_str()) != 1) {
    SSL_set_tlsext_host_name(h.ssl, serverName_.c_str());
    SSL_set1_host(h.ssl, serverName_.c_str());
  }
}

void OpenSslChannel::Fail(std::string why) {
  state_ = State::Failed;
  failure_ = std::move(why);
}

bool OpenSslChannel::AcceptPeer() {
  const long result = SSL_get_verify_result(handles_->ssl);
  const std::string fingerprint = PeerFingerprint(handles_->ssl);
  if (fingerprint.empty()) {
    Fail("the server sent no certificate");
    return false;
  }
  if (result == X509_V_OK && trustedFingerprint_.empty()) return true;
  // A certificate the user chose to trust is accepted as exactly that certificate, and only it.
  if (!trustedFingerprint_.empty() && fingerprint == trustedFingerprint_) return true;
  rejection_ = {result == X509_V_OK ? "the server's certificate is not the one you chose to trust"
                                    : VerifyReason(result),
                fingerprint};
  rejected_ = true;
  Fail(rejection_.reason);
  return false;
}

void OpenSslChannel::Advance() {
  if (state_ != State::Handshaking) return;
  ERR_clear_error();
  const int result = SSL_do_handshake(handles_->ssl);
  if (result == 1) {
    if (AcceptPeer()) state_ = State::Established;
    return;
  }
  const int error = SSL_get_error(handles_->ssl, result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
  Fail(OpenSslErrors());
}

void OpenSslChannel::Receive(std::string_view encrypted) {
  if (encrypted.empty() || handles_->incoming == nullptr) return;
  BIO_write(handles_->incoming, encrypted.data(), static_cast<int>(encrypted.size()));
  Advance();
}

std::string OpenSslChannel::ReadPlain() {
  std::string plain;
  if (state_ != State::Established) return plain;
  char buffer[16384];
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(handles_->ssl, buffer, sizeof buffer);
    if (n > 0) {
      plain.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    const int error = SSL_get_error(handles_->ssl, n);
    if (error == SSL_ERROR_ZERO_RETURN) peerClosed_ = true;
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_ZERO_RETURN) {
      Fail(OpenSslErrors());
    }
    return plain;
  }
}

void OpenSslChannel::WritePlain(std::string_view plain) {
  if (state_ != State::Established || plain.empty()) return;
  ERR_clear_error();
  // Memory BIOs take everything: a write is whole or fails.
  if (SSL_write(handles_->ssl, plain.data(), static_cast<int>(plain.size())) <= 0) {
    Fail(OpenSslErrors());
  }
}

std::string OpenSslChannel::TakeOutgoing() {
  std::string bytes;
  if (handles_->outgoing == nullptr) return bytes;
  char buffer[16384];
  for (int n; (n = BIO_read(handles_->outgoing, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

}  // namespace
}  // namespace pelorin

extern "C" __attribute__((visibility("default"))) pelorin::TlsChannel* pelorin_open_tls_channel(
    const std::string& serverName, const std::string& trustedFingerprint) {
  return new pelorin::OpenSslChannel(serverName, trustedFingerprint);
}
