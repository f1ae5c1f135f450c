#include "platform/crypto/P256PrivateKey.h"

#include <gmp.h>
#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>

#include "platform/crypto/CryptoError.h"
#include "platform/crypto/Digest.h"
#include "platform/crypto/GnuTLSData.h"

namespace brindlet::platform {

struct P256PrivateKey::Impl {
  gnutls_privkey_t key = nullptr;
  Impl() {
    int rc = gnutls_privkey_init(&key);
    if (rc < 0) throw CryptoError("gnutls_privkey_init", rc);
  }
  ~Impl() { gnutls_privkey_deinit(key); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
};

namespace {

// The public point of a P-256 key as 0x04 || X || Y, each coordinate padded to 32 bytes
// (GnuTLS may hand them out shorter, or with a leading zero).
std::optional<Bytes> publicPointOf(gnutls_privkey_t key) {
  gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
  OwnedDatum x, y, k;
  if (gnutls_privkey_export_ecc_raw2(key, &curve, &x, &y, &k, GNUTLS_EXPORT_FLAG_NO_LZ) < 0) return std::nullopt;
  if (curve != GNUTLS_ECC_CURVE_SECP256R1) return std::nullopt;
  Bytes point{0x04};
  if (!appendFixedWidth(point, x.view(), 32) || !appendFixedWidth(point, y.view(), 32)) return std::nullopt;
  return point;
}

Bytes rawFromDERSignature(ByteView der) {
  OwnedDatum r, s;
  gnutls_datum_t input = datumOf(der);
  int rc = gnutls_decode_rs_value(&input, &r, &s);
  if (rc < 0) throw CryptoError("gnutls_decode_rs_value", rc);
  Bytes raw;
  raw.reserve(64);
  if (!appendFixedWidth(raw, r.view(), 32) || !appendFixedWidth(raw, s.view(), 32))
    throw CryptoError("gnutls_decode_rs_value", GNUTLS_E_ASN1_DER_ERROR);
  return raw;
}

// d·G on P-256 through Nettle, GnuTLS's own arithmetic: GnuTLS cannot import a scalar
// without its point.
std::optional<std::pair<Bytes, Bytes>> pointForScalar(ByteView scalar) {
  const ecc_curve* curve = nettle_get_secp_256r1();
  mpz_t d, x, y;
  mpz_inits(d, x, y, nullptr);
  mpz_import(d, scalar.size(), 1, 1, 1, 0, scalar.data());
  ecc_scalar s;
  ecc_point p;
  ecc_scalar_init(&s, curve);
  ecc_point_init(&p, curve);
  std::optional<std::pair<Bytes, Bytes>> result;
  if (ecc_scalar_set(&s, d)) {  // rejects 0 and values >= n
    ecc_point_mul_g(&p, &s);
    ecc_point_get(&p, x, y);
    auto exportCoordinate = [](mpz_t v) {
      Bytes out(32, 0);
      std::size_t count = (mpz_sizeinbase(v, 2) + 7) / 8;
      if (count <= 32) mpz_export(out.data() + (32 - count), nullptr, 1, 1, 1, 0, v);
      return out;
    };
    result.emplace(exportCoordinate(x), exportCoordinate(y));
  }
  ecc_point_clear(&p);
  ecc_scalar_clear(&s);
  mpz_clears(d, x, y, nullptr);
  return result;
}

}  // namespace

P256PrivateKey::P256PrivateKey(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {
  auto point = publicPointOf(impl_->key);
  if (!point) throw CryptoError("gnutls_privkey_export_ecc_raw2", GNUTLS_E_INVALID_REQUEST);
  publicKeyX963_ = std::move(*point);
}

P256PrivateKey P256PrivateKey::generate() {
  auto impl = std::make_shared<Impl>();
  int rc = gnutls_privkey_generate2(impl->key, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0,
                                    nullptr, 0);
  if (rc < 0) throw CryptoError("gnutls_privkey_generate2", rc);
  return P256PrivateKey(std::move(impl));
}

std::optional<P256PrivateKey> P256PrivateKey::fromPKCS8(ByteView der) {
  gnutls_x509_privkey_t x509 = nullptr;
  if (gnutls_x509_privkey_init(&x509) < 0) return std::nullopt;
  gnutls_datum_t input = datumOf(der);
  gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
  OwnedDatum x, y, k;
  bool ok = gnutls_x509_privkey_import_pkcs8(x509, &input, GNUTLS_X509_FMT_DER, nullptr, GNUTLS_PKCS_PLAIN) >= 0 &&
            gnutls_x509_privkey_get_pk_algorithm(x509) == GNUTLS_PK_ECDSA &&
            gnutls_x509_privkey_export_ecc_raw(x509, &curve, &x, &y, &k) >= 0 && curve == GNUTLS_ECC_CURVE_SECP256R1 &&
            gnutls_x509_privkey_verify_params(x509) >= 0;
  if (!ok) {
    gnutls_x509_privkey_deinit(x509);
    return std::nullopt;
  }
  auto impl = std::make_shared<Impl>();
  if (gnutls_privkey_import_x509(impl->key, x509, GNUTLS_PRIVKEY_IMPORT_AUTO_RELEASE) < 0) {
    gnutls_x509_privkey_deinit(x509);
    return std::nullopt;
  }
  try {
    return P256PrivateKey(std::move(impl));
  } catch (const CryptoError&) {
    return std::nullopt;
  }
}

std::optional<P256PrivateKey> P256PrivateKey::fromRawScalar(ByteView scalar) {
  if (scalar.size() != 32) return std::nullopt;
  auto point = pointForScalar(scalar);
  if (!point) return std::nullopt;
  auto impl = std::make_shared<Impl>();
  gnutls_datum_t x = datumOf(point->first), y = datumOf(point->second), k = datumOf(scalar);
  if (gnutls_privkey_import_ecc_raw(impl->key, GNUTLS_ECC_CURVE_SECP256R1, &x, &y, &k) < 0) return std::nullopt;
  try {
    return P256PrivateKey(std::move(impl));
  } catch (const CryptoError&) {
    return std::nullopt;
  }
}

Bytes P256PrivateKey::pkcs8DER() const {
  gnutls_x509_privkey_t x509 = nullptr;
  int rc = gnutls_privkey_export_x509(impl_->key, &x509);
  if (rc < 0) throw CryptoError("gnutls_privkey_export_x509", rc);
  OwnedDatum out;
  rc = gnutls_x509_privkey_export2_pkcs8(x509, GNUTLS_X509_FMT_DER, nullptr, GNUTLS_PKCS_PLAIN, &out);
  gnutls_x509_privkey_deinit(x509);
  if (rc < 0) throw CryptoError("gnutls_x509_privkey_export2_pkcs8", rc);
  return out.bytes();
}

Bytes P256PrivateKey::rawScalar() const {
  gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
  OwnedDatum x, y, k;
  int rc = gnutls_privkey_export_ecc_raw2(impl_->key, &curve, &x, &y, &k, GNUTLS_EXPORT_FLAG_NO_LZ);
  if (rc < 0) throw CryptoError("gnutls_privkey_export_ecc_raw2", rc);
  Bytes out;
  if (!appendFixedWidth(out, k.view(), 32))
    throw CryptoError("gnutls_privkey_export_ecc_raw2", GNUTLS_E_INVALID_REQUEST);
  return out;
}

Bytes P256PrivateKey::signDigest(ByteView digest) const {
  gnutls_datum_t hash = datumOf(digest);
  OwnedDatum der;
  int rc = gnutls_privkey_sign_hash2(impl_->key, GNUTLS_SIGN_ECDSA_SHA256, 0, &hash, &der);
  if (rc < 0) throw CryptoError("gnutls_privkey_sign_hash2", rc);
  return rawFromDERSignature(der.view());
}

Bytes P256PrivateKey::sign(ByteView message) const { return signDigest(sha256(message)); }

Bytes P256PrivateKey::signDER(ByteView message) const {
  gnutls_datum_t data = datumOf(message);
  OwnedDatum der;
  int rc = gnutls_privkey_sign_data2(impl_->key, GNUTLS_SIGN_ECDSA_SHA256, 0, &data, &der);
  if (rc < 0) throw CryptoError("gnutls_privkey_sign_data2", rc);
  return der.bytes();
}

}  // namespace brindlet::platform
