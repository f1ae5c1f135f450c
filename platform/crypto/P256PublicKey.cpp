#include "platform/crypto/P256PublicKey.h"

#include <gmp.h>
#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>

#include "platform/crypto/Digest.h"
#include "platform/crypto/GnuTLSData.h"

namespace brindlet::platform {

struct P256PublicKey::Impl {
  gnutls_pubkey_t key = nullptr;
  Impl() = default;
  ~Impl() {
    if (key) gnutls_pubkey_deinit(key);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
};

namespace {

bool isOnCurve(ByteView x, ByteView y) {
  const ecc_curve* curve = nettle_get_secp_256r1();
  mpz_t mx, my;
  mpz_inits(mx, my, nullptr);
  mpz_import(mx, x.size(), 1, 1, 1, 0, x.data());
  mpz_import(my, y.size(), 1, 1, 1, 0, y.data());
  ecc_point p;
  ecc_point_init(&p, curve);
  bool ok = ecc_point_set(&p, mx, my) == 1;  // checks the curve equation
  ecc_point_clear(&p);
  mpz_clears(mx, my, nullptr);
  return ok;
}

}  // namespace

P256PublicKey::P256PublicKey(std::shared_ptr<const Impl> impl, Bytes x963)
    : impl_(std::move(impl)), x963_(std::move(x963)) {}

std::optional<P256PublicKey> P256PublicKey::fromX963(ByteView point) {
  if (point.size() != 65 || point[0] != 0x04) return std::nullopt;
  ByteView x = point.subspan(1, 32), y = point.subspan(33, 32);
  if (!isOnCurve(x, y)) return std::nullopt;
  auto impl = std::make_shared<Impl>();
  if (gnutls_pubkey_init(&impl->key) < 0) return std::nullopt;
  gnutls_datum_t dx = datumOf(x), dy = datumOf(y);
  if (gnutls_pubkey_import_ecc_raw(impl->key, GNUTLS_ECC_CURVE_SECP256R1, &dx, &dy) < 0) return std::nullopt;
  return P256PublicKey(std::move(impl), Bytes(point.begin(), point.end()));
}

bool P256PublicKey::verifyDigest(ByteView digest, ByteView signature) const {
  if (signature.size() != 64 || digest.size() != 32) return false;
  gnutls_datum_t r = datumOf(signature.subspan(0, 32)), s = datumOf(signature.subspan(32, 32));
  OwnedDatum der;
  if (gnutls_encode_rs_value(&der, &r, &s) < 0) return false;
  gnutls_datum_t hash = datumOf(digest);
  return gnutls_pubkey_verify_hash2(impl_->key, GNUTLS_SIGN_ECDSA_SHA256, 0, &hash, &der) >= 0;
}

bool P256PublicKey::verify(ByteView message, ByteView signature) const {
  return verifyDigest(sha256(message), signature);
}

}  // namespace brindlet::platform
