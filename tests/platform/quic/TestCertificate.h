#pragma once

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <ctime>
#include <stdexcept>
#include <string>

#include "base/Bytes.h"
#include "platform/quic/QUICTypes.h"

namespace brindlet::testing {

// A throw-away self-signed P-256 certificate made with GnuTLS, valid for a day.
inline platform::QUICIdentity makeTestIdentity(const std::string& commonName = "test host") {
  gnutls_x509_privkey_t key = nullptr;
  gnutls_x509_crt_t crt = nullptr;
  gnutls_x509_privkey_init(&key);
  gnutls_x509_crt_init(&crt);
  int rv = gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0);
  unsigned char serial[8];
  gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof serial);
  serial[0] &= 0x7f;
  std::string dn = "CN=" + commonName;
  if (rv == 0) rv = gnutls_x509_crt_set_version(crt, 3);
  if (rv == 0) rv = gnutls_x509_crt_set_serial(crt, serial, sizeof serial);
  if (rv == 0) rv = gnutls_x509_crt_set_activation_time(crt, std::time(nullptr) - 3600);
  if (rv == 0) rv = gnutls_x509_crt_set_expiration_time(crt, std::time(nullptr) + 86400);
  if (rv == 0) rv = gnutls_x509_crt_set_dn(crt, dn.c_str(), nullptr);
  if (rv == 0) rv = gnutls_x509_crt_set_key(crt, key);
  if (rv == 0) rv = gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0);
  gnutls_datum_t certificate{}, privateKey{};
  if (rv == 0) rv = gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &certificate);
  if (rv == 0)
    rv = gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_DER, nullptr, GNUTLS_PKCS_PLAIN, &privateKey);
  gnutls_x509_crt_deinit(crt);
  gnutls_x509_privkey_deinit(key);
  if (rv != 0) throw std::runtime_error(gnutls_strerror(rv));
  platform::QUICIdentity identity{Bytes(certificate.data, certificate.data + certificate.size),
                                  Bytes(privateKey.data, privateKey.data + privateKey.size)};
  gnutls_free(certificate.data);
  gnutls_free(privateKey.data);
  return identity;
}

inline Bytes sha256(ByteView bytes) {
  Bytes digest(32);
  gnutls_hash_fast(GNUTLS_DIG_SHA256, bytes.data(), bytes.size(), digest.data());
  return digest;
}

}  // namespace brindlet::testing
