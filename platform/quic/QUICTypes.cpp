#include "platform/quic/QUICTypes.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <stdexcept>

namespace brindlet::platform {

namespace {

gnutls_datum_t datumOf(const void* data, std::size_t size) {
  return {static_cast<unsigned char*>(const_cast<void*>(data)), static_cast<unsigned>(size)};
}

Bytes takeDatum(gnutls_datum_t& datum) {
  Bytes out(datum.data, datum.data + datum.size);
  gnutls_free(datum.data);
  return out;
}

// Decodes the pair in `format` and gives both back in DER; throws when either is unusable.
QUICIdentity decode(const gnutls_datum_t& certificate, const gnutls_datum_t& key, gnutls_x509_crt_fmt_t format) {
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
  gnutls_datum_t certificateDER{}, keyDER{};
  int rv = gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &certificateDER);
  if (rv == 0)
    rv = gnutls_x509_privkey_export2_pkcs8(privateKey, GNUTLS_X509_FMT_DER, nullptr, GNUTLS_PKCS_PLAIN, &keyDER);
  cleanup();
  if (rv != 0) throw std::runtime_error(gnutls_strerror(rv));
  return QUICIdentity{takeDatum(certificateDER), takeDatum(keyDER)};
}

}  // namespace

QUICIdentity QUICIdentity::fromPEM(std::string_view certificatePEM, std::string_view privateKeyPEM) {
  return decode(datumOf(certificatePEM.data(), certificatePEM.size()),
                datumOf(privateKeyPEM.data(), privateKeyPEM.size()), GNUTLS_X509_FMT_PEM);
}

QUICIdentity QUICIdentity::fromDER(Bytes certificateDER, Bytes privateKeyDER) {
  return decode(datumOf(certificateDER.data(), certificateDER.size()),
                datumOf(privateKeyDER.data(), privateKeyDER.size()), GNUTLS_X509_FMT_DER);
}

}  // namespace brindlet::platform
