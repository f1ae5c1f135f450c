#pragma once

#include "base/Bytes.h"
#include "platform/crypto/P256PrivateKey.h"

namespace brindlet::platform {

// What a TLS endpoint presents: a certificate and its private key. The TLS layer takes both
// as DER bytes (the certificate and `privateKey.pkcs8DER()`).
struct TLSIdentity {
  Bytes certificateDER;
  P256PrivateKey privateKey;
};

}  // namespace brindlet::platform
