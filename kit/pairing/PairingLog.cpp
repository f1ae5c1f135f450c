#include "kit/pairing/PairingLog.h"

namespace brindlet {

const platform::Logger& pairingLog() {
  static const platform::Logger logger("io.tavix.nolu.host", "pairing");
  return logger;
}

}  // namespace brindlet
