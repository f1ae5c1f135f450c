#pragma once

// The TLS library as the QUIC layer uses it: one session per connection, which the stack's
// crypto helper drives through the handshake in CRYPTO frames, and the few things the
// connection asks of it afterwards. The TLS library's types stay in the implementation
// (GnuTLSSession.cpp); this header is for the layer's own sources and tests.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "platform/quic/QUICTypes.h"

struct ngtcp2_conn;

namespace brindlet::platform {

// A certificate and private key loaded into the TLS library: the one way an identity (DER
// bytes) is installed. The library checks that the key belongs to the certificate.
class TLSCredentials {
 public:
  // Credentials that present `identity`, or none when it is absent. Nothing, with the
  // library's reason in `error`, when the pair is refused.
  static std::shared_ptr<TLSCredentials> load(const std::optional<QUICIdentity>& identity, std::string& error);

  virtual ~TLSCredentials() = default;

 protected:
  TLSCredentials() = default;
};

class TLSSession {
 public:
  // Called inside the handshake when the peer's certificate has arrived; 0 lets it go on.
  using CertificateCheck = std::function<int()>;

  // A TLS 1.3 session for `connection` with the identity, application protocols (mandatory
  // on the server) and verify step of `parameters`; `check` runs on a client whose
  // parameters carry a verify hook. Nothing, with `error` set, when the library refuses.
  static std::unique_ptr<TLSSession> make(ngtcp2_conn* connection, bool server, const QUICParameters& parameters,
                                          CertificateCheck check, std::string& error);

  virtual ~TLSSession() = default;

  // The negotiated application protocol; empty when none was agreed.
  virtual std::string applicationProtocol() const = 0;
  // The peer's certificates (DER, leaf first), empty when it showed none.
  virtual std::vector<Bytes> peerCertificates() const = 0;
  // The exporter (RFC 8446, empty context) of the established session.
  virtual std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) = 0;

 protected:
  TLSSession() = default;
};

// The TLS alert a rejected peer certificate is answered with (bad_certificate).
inline constexpr std::uint8_t kTLSAlertBadCertificate = 42;

// "TLS alert 40 (Handshake failed)": the alert's number and the library's name for it.
std::string tlsAlertText(unsigned alert);

// Random bytes for connection IDs and stateless reset tokens.
void tlsRandomBytes(std::uint8_t* out, std::size_t length);

// Decodes a certificate and P-256 key (PEM or DER) and gives both back in DER. Throws
// std::runtime_error when either does not decode or the key is another kind of key.
QUICIdentity decodeTLSIdentity(ByteView certificate, ByteView privateKey, bool pem);

}  // namespace brindlet::platform
