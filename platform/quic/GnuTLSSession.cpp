// The TLS sessions of the QUIC layer made with GnuTLS (and ngtcp2's GnuTLS crypto helper).

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <cstdio>
#include <stdexcept>

#include "platform/crypto/GnuTLSData.h"
#include "platform/quic/TLSSession.h"

namespace brindlet::platform {

static_assert(kTLSAlertBadCertificate == GNUTLS_A_BAD_CERTIFICATE);

namespace {

constexpr const char* kPriority =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:"
    "-GROUP-ALL:+GROUP-SECP256R1:+GROUP-X25519:+GROUP-SECP384R1:%DISABLE_TLS13_COMPAT_MODE";

class GnuTLSCredentials final : public TLSCredentials {
 public:
  GnuTLSCredentials() = default;
  ~GnuTLSCredentials() override {
    if (credentials) gnutls_certificate_free_credentials(credentials);
  }
  gnutls_certificate_credentials_t credentials = nullptr;
};

class GnuTLSSession final : public TLSSession {
 public:
  GnuTLSSession(ngtcp2_conn* connection, CertificateCheck check) : connection_(connection), check_(std::move(check)) {
    // The crypto helper finds the connection through the session's pointer.
    reference_.get_conn = &GnuTLSSession::connectionOf;
    reference_.user_data = this;
  }
  ~GnuTLSSession() override {
    if (session_) gnutls_deinit(session_);
  }

  bool setUp(bool server, const QUICParameters& parameters, std::string& error) {
    int rv = gnutls_init(&session_, (server ? GNUTLS_SERVER : GNUTLS_CLIENT) | GNUTLS_NO_TICKETS);
    if (rv == 0) rv = gnutls_priority_set_direct(session_, kPriority, nullptr);
    if (rv != 0) {
      error = gnutls_strerror(rv);
      return false;
    }
    if ((server ? ngtcp2_crypto_gnutls_configure_server_session(session_)
                : ngtcp2_crypto_gnutls_configure_client_session(session_)) != 0) {
      error = "could not prepare the TLS session";
      return false;
    }
    gnutls_session_set_ptr(session_, &reference_);
    auto credentials = TLSCredentials::load(parameters.localIdentity, error);
    if (!credentials) return false;
    credentials_ = std::static_pointer_cast<GnuTLSCredentials>(credentials);
    rv = gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_->credentials);
    if (rv != 0) {
      error = gnutls_strerror(rv);
      return false;
    }
    std::vector<gnutls_datum_t> protocols;
    for (const std::string& name : parameters.applicationProtocols) {
      protocols.push_back(datumOf(ByteView(reinterpret_cast<const std::uint8_t*>(name.data()), name.size())));
    }
    if (!protocols.empty()) {
      rv = gnutls_alpn_set_protocols(session_, protocols.data(), static_cast<unsigned>(protocols.size()),
                                     server ? GNUTLS_ALPN_MANDATORY : 0);
      if (rv != 0) {
        error = gnutls_strerror(rv);
        return false;
      }
    }
    if (server) {
      gnutls_handshake_set_hook_function(session_, GNUTLS_HANDSHAKE_CLIENT_HELLO, GNUTLS_HOOK_POST,
                                         &GnuTLSSession::clientHelloDone);
    } else if (parameters.verify) {
      gnutls_session_set_verify_function(session_, &GnuTLSSession::verify);
    }
    ngtcp2_conn_set_tls_native_handle(connection_, session_);
    return true;
  }

  std::string applicationProtocol() const override {
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(session_, &selected) != 0) return {};
    return std::string(reinterpret_cast<const char*>(selected.data), selected.size);
  }

  std::vector<Bytes> peerCertificates() const override {
    std::vector<Bytes> chain;
    unsigned count = 0;
    const gnutls_datum_t* certificates = gnutls_certificate_get_peers(session_, &count);
    for (unsigned i = 0; certificates && i < count; ++i) {
      chain.emplace_back(certificates[i].data, certificates[i].data + certificates[i].size);
    }
    return chain;
  }

  std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) override {
    Bytes out(length);
    if (gnutls_prf_rfc5705(session_, label.size(), label.data(), 0, nullptr, length,
                           reinterpret_cast<char*>(out.data())) != 0) {
      return std::nullopt;
    }
    return out;
  }

 private:
  static ngtcp2_conn* connectionOf(ngtcp2_crypto_conn_ref* reference) {
    return static_cast<GnuTLSSession*>(reference->user_data)->connection_;
  }
  static int verify(gnutls_session_t session) {
    auto* reference = static_cast<ngtcp2_crypto_conn_ref*>(gnutls_session_get_ptr(session));
    return static_cast<GnuTLSSession*>(reference->user_data)->check_();
  }
  // The server insists on an application protocol: GnuTLS alone lets a hello without one pass.
  static int clientHelloDone(gnutls_session_t session, unsigned, unsigned, unsigned, const gnutls_datum_t*) {
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(session, &selected) != 0) return GNUTLS_E_NO_APPLICATION_PROTOCOL;
    return 0;
  }

  ngtcp2_conn* connection_;
  CertificateCheck check_;
  ngtcp2_crypto_conn_ref reference_{};
  gnutls_session_t session_ = nullptr;
  std::shared_ptr<GnuTLSCredentials> credentials_;
};

}  // namespace

std::shared_ptr<TLSCredentials> TLSCredentials::load(const std::optional<QUICIdentity>& identity, std::string& error) {
  auto loaded = std::make_shared<GnuTLSCredentials>();
  int rv = gnutls_certificate_allocate_credentials(&loaded->credentials);
  if (rv == 0 && identity) {
    gnutls_datum_t certificate = datumOf(identity->certificateDER), key = datumOf(identity->privateKeyDER);
    rv = gnutls_certificate_set_x509_key_mem2(loaded->credentials, &certificate, &key, GNUTLS_X509_FMT_DER, nullptr, 0);
    if (rv > 0) rv = 0;
  }
  if (rv != 0) {
    error = gnutls_strerror(rv);
    return nullptr;
  }
  return loaded;
}

std::unique_ptr<TLSSession> TLSSession::make(ngtcp2_conn* connection, bool server, const QUICParameters& parameters,
                                             CertificateCheck check, std::string& error) {
  auto session = std::make_unique<GnuTLSSession>(connection, std::move(check));
  if (!session->setUp(server, parameters, error)) return nullptr;
  return session;
}

std::string tlsAlertText(unsigned alert) {
  const char* name = gnutls_alert_get_strname(static_cast<gnutls_alert_description_t>(alert));
  char text[96];
  std::snprintf(text, sizeof text, "TLS alert %u (%s)", alert, name ? name : "unknown");
  return text;
}

void tlsRandomBytes(std::uint8_t* out, std::size_t length) { gnutls_rnd(GNUTLS_RND_RANDOM, out, length); }

QUICIdentity decodeTLSIdentity(ByteView certificateBytes, ByteView keyBytes, bool pem) {
  const gnutls_x509_crt_fmt_t format = pem ? GNUTLS_X509_FMT_PEM : GNUTLS_X509_FMT_DER;
  const gnutls_datum_t certificate = datumOf(certificateBytes), key = datumOf(keyBytes);
  gnutls_x509_crt_t crt = nullptr;
  gnutls_x509_privkey_t privateKey = nullptr;
  gnutls_x509_crt_init(&crt);
  gnutls_x509_privkey_init(&privateKey);
  auto cleanup = [&] {
    gnutls_x509_crt_deinit(crt);
    gnutls_x509_privkey_deinit(privateKey);
  };
  if (gnutls_x509_crt_import(crt, &certificate, format) != 0) {
    cleanup();
    throw std::runtime_error("the certificate does not decode");
  }
  if (gnutls_x509_privkey_import2(privateKey, &key, format, nullptr, GNUTLS_PKCS_PLAIN) != 0) {
    cleanup();
    throw std::runtime_error("the private key does not decode");
  }
  gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
  if (gnutls_x509_privkey_get_pk_algorithm(privateKey) != GNUTLS_PK_ECDSA ||
      gnutls_x509_privkey_export_ecc_raw(privateKey, &curve, nullptr, nullptr, nullptr) != 0 ||
      curve != GNUTLS_ECC_CURVE_SECP256R1) {
    cleanup();
    throw std::runtime_error("the private key is not a P-256 key");
  }
  OwnedDatum certificateDER, keyDER;
  int rv = gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &certificateDER);
  if (rv == 0)
    rv = gnutls_x509_privkey_export2_pkcs8(privateKey, GNUTLS_X509_FMT_DER, nullptr, GNUTLS_PKCS_PLAIN, &keyDER);
  cleanup();
  if (rv != 0) throw std::runtime_error(gnutls_strerror(rv));
  return QUICIdentity{certificateDER.bytes(), keyDER.bytes()};
}

}  // namespace brindlet::platform
