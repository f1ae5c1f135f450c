#pragma once

#include <gnutls/gnutls.h>

#include "base/Bytes.h"
#include "platform/crypto/P256PrivateKey.h"

namespace brindlet::platform {

// What a TLS endpoint presents: a certificate and its private key.
struct TLSIdentity {
  Bytes certificateDER;
  P256PrivateKey privateKey;

  // Installs certificate and key into GnuTLS credentials (GnuTLS checks that they belong
  // together). Returns GnuTLS's result: 0 or more on success.
  int addTo(gnutls_certificate_credentials_t credentials) const;
};

}  // namespace brindlet::platform
