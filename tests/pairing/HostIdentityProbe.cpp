// Loads (or makes) the host identity in the keychain that XDG_DATA_HOME points at, prints
// its fingerprint and, when a second argument is given, writes the certificate there.
#include <cstdio>
#include <fstream>

#include "kit/pairing/SelfSignedIdentity.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  try {
    auto identity = brindlet::loadOrCreateHostIdentity(argv[1], "Nolu Host");
    std::printf("%s\n", brindlet::toHex(identity->fingerprint).c_str());
    if (argc > 2)
      std::ofstream(argv[2], std::ios::binary)
          .write(reinterpret_cast<const char*>(identity->certificateDER.data()),
                 static_cast<std::streamsize>(identity->certificateDER.size()));
  } catch (const brindlet::IdentityError& error) {
    std::printf("error %d %s\n", error.status(), error.what());
    return 1;
  }
  return 0;
}
