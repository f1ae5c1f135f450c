#include "platform/crypto/X509Certificate.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "platform/crypto/GnuTLSData.h"

namespace brindlet::platform {

struct X509Certificate::Impl {
  gnutls_x509_crt_t crt = nullptr;
  Impl() = default;
  ~Impl() {
    if (crt) gnutls_x509_crt_deinit(crt);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
};

X509Certificate::X509Certificate(std::shared_ptr<const Impl> impl, Bytes der)
    : impl_(std::move(impl)), der_(std::move(der)) {}

std::optional<X509Certificate> X509Certificate::parse(ByteView der) {
  auto impl = std::make_shared<Impl>();
  if (gnutls_x509_crt_init(&impl->crt) < 0) return std::nullopt;
  gnutls_datum_t input = datumOf(der);
  if (gnutls_x509_crt_import(impl->crt, &input, GNUTLS_X509_FMT_DER) < 0) return std::nullopt;
  return X509Certificate(std::move(impl), Bytes(der.begin(), der.end()));
}

std::string X509Certificate::commonName() const {
  char buffer[1024];
  size_t size = sizeof buffer;
  if (gnutls_x509_crt_get_dn_by_oid(impl_->crt, GNUTLS_OID_X520_COMMON_NAME, 0, 0, buffer, &size) < 0) return {};
  return std::string(buffer, size);
}

std::optional<Bytes> X509Certificate::publicKeyX963() const {
  gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
  OwnedDatum x, y;
  if (gnutls_x509_crt_get_pk_algorithm(impl_->crt, nullptr) != GNUTLS_PK_ECDSA) return std::nullopt;
  if (gnutls_x509_crt_get_pk_ecc_raw(impl_->crt, &curve, &x, &y) < 0) return std::nullopt;
  if (curve != GNUTLS_ECC_CURVE_SECP256R1) return std::nullopt;
  Bytes point{0x04};
  if (!appendFixedWidth(point, x.view(), 32) || !appendFixedWidth(point, y.view(), 32)) return std::nullopt;
  return point;
}

}  // namespace brindlet::platform
