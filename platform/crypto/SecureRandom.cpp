#include "platform/crypto/SecureRandom.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cstdio>
#include <cstdlib>

namespace brindlet::platform {

Bytes secureRandomBytes(std::size_t count) {
  Bytes out(count);
  if (count == 0) return out;
  int rc = gnutls_rnd(GNUTLS_RND_KEY, out.data(), out.size());
  if (rc < 0) {
    std::fprintf(stderr, "secure random generator failed (GnuTLS %d: %s)\n", rc, gnutls_strerror(rc));
    std::abort();
  }
  return out;
}

}  // namespace brindlet::platform
