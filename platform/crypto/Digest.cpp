#include "platform/crypto/Digest.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include "platform/crypto/CryptoError.h"

namespace brindlet::platform {

Bytes sha256(ByteView data) {
  Bytes out(32);
  int rc = gnutls_hash_fast(GNUTLS_DIG_SHA256, data.data(), data.size(), out.data());
  if (rc < 0) throw CryptoError("gnutls_hash_fast", rc);
  return out;
}

Bytes hmacSHA256(ByteView key, ByteView data) {
  Bytes out(32);
  int rc = gnutls_hmac_fast(GNUTLS_MAC_SHA256, key.data(), key.size(), data.data(), data.size(), out.data());
  if (rc < 0) throw CryptoError("gnutls_hmac_fast", rc);
  return out;
}

}  // namespace brindlet::platform
