#include "platform/crypto/CryptoError.h"

#include <gnutls/gnutls.h>

namespace brindlet::platform {

CryptoError::CryptoError(const std::string& step, int code)
    : std::runtime_error(step + " failed (GnuTLS " + std::to_string(code) + ": " + gnutls_strerror(code) + ")"),
      code_(code) {}

}  // namespace brindlet::platform
