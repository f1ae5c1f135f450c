#include "host/app/XErrorHandler.h"

#include <X11/Xlib.h>

#include "host/HostLog.h"

namespace brindlet::host {

namespace {

int onXError(Display* display, XErrorEvent* event) {
  char text[256] = {};
  XGetErrorText(display, event->error_code, text, sizeof text);
  transportLog().error("X error: %s (request %u.%u, resource 0x%lx)", text, event->request_code, event->minor_code,
                       event->resourceid);
  return 0;
}

// Xlib ends the process once this returns (its exit handler can only be set per display,
// and each component opens its own): the loss is logged first, never silent.
int onXIOError(Display*) {
  transportLog().error("the connection to the X server was lost; the host exits");
  return 0;
}

}  // namespace

void installXErrorHandlers() {
  XInitThreads();
  XSetErrorHandler(onXError);
  XSetIOErrorHandler(onXIOError);
}

}  // namespace brindlet::host
