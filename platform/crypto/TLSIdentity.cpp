#include "platform/crypto/TLSIdentity.h"

#include <gnutls/x509.h>

#include "platform/crypto/GnuTLSData.h"

namespace brindlet::platform {

int TLSIdentity::addTo(gnutls_certificate_credentials_t credentials) const {
  Bytes key = privateKey.pkcs8DER();
  gnutls_datum_t cert = datumOf(certificateDER), keyDatum = datumOf(key);
  int rc = gnutls_certificate_set_x509_key_mem2(credentials, &cert, &keyDatum, GNUTLS_X509_FMT_DER, nullptr,
                                                GNUTLS_PKCS_PLAIN);
  std::fill(key.begin(), key.end(), 0);
  return rc;
}

}  // namespace brindlet::platform
