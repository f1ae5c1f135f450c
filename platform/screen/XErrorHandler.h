#pragma once

#include "platform/log/Log.h"

namespace brindlet::platform {

// X errors become lines of `log` instead of ending the process (Xlib's default), and the loss
// of the X server is logged before Xlib ends the process. Also enables Xlib's thread support.
// Xlib's handlers belong to the whole process: call once, first thing in main().
void installXErrorHandlers(Logger log);

}  // namespace brindlet::platform
