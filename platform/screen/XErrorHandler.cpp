#include "platform/screen/XErrorHandler.h"

#include <X11/Xlib.h>

#include <optional>

namespace brindlet::platform {

namespace {

// Xlib calls its handlers without any context: the logger they write to is set once, before
// they are installed.
std::optional<Logger> errorLog;

int onXError(Display* display, XErrorEvent* event) {
  char text[256] = {};
  XGetErrorText(display, event->error_code, text, sizeof text);
  errorLog->error("X error: %s (request %u.%u, resource 0x%lx)", text, event->request_code, event->minor_code,
                  event->resourceid);
  return 0;
}

// Xlib ends the process once this returns (its exit handler can only be set per display,
// and each component opens its own): the loss is logged first, never silent.
int onXIOError(Display*) {
  errorLog->error("the connection to the X server was lost; the host exits");
  return 0;
}

}  // namespace

void installXErrorHandlers(Logger log) {
  errorLog = std::move(log);
  XInitThreads();
  XSetErrorHandler(onXError);
  XSetIOErrorHandler(onXIOError);
}

}  // namespace brindlet::platform
