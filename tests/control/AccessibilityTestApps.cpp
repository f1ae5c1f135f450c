#include "control/AccessibilityTestApps.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace brindlet::testing {

XTestInput::XTestInput() : display_(XOpenDisplay(nullptr)) {}

XTestInput::~XTestInput() {
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
}

void XTestInput::click(int x, int y) {
  auto* d = static_cast<Display*>(display_);
  XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
  XTestFakeButtonEvent(d, 1, True, CurrentTime);
  XTestFakeButtonEvent(d, 1, False, CurrentTime);
  XFlush(d);
}

void XTestInput::tab() {
  auto* d = static_cast<Display*>(display_);
  KeyCode code = XKeysymToKeycode(d, XK_Tab);
  XTestFakeKeyEvent(d, code, True, CurrentTime);
  XTestFakeKeyEvent(d, code, False, CurrentTime);
  XFlush(d);
}

}  // namespace brindlet::testing
