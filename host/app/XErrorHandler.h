#pragma once

namespace brindlet::host {

// X errors become log lines instead of ending the process (Xlib's default), and the loss of
// the X server is logged before Xlib ends the process. Also enables Xlib's thread support.
// Call first thing in main().
void installXErrorHandlers();

}  // namespace brindlet::host
