#include "host/HostVersion.h"

namespace brindlet::host {

const char* hostVersion() { return "0.1.0"; }

}  // namespace brindlet::host
