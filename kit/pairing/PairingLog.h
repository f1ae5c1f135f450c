#pragma once

#include "platform/log/Log.h"

namespace brindlet {

// "io.tavix.nolu.host" / "pairing": pairing, admission and the paired-device file.
const platform::Logger& pairingLog();

}  // namespace brindlet
