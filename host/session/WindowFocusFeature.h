#pragma once

// Windows and focus: streaming one app window instead of a display, following the Mac's
// focus, going back, window thumbnails. This host cannot find windows yet: a focus request
// finds no window, and the device is told so and stays on the display.

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class WindowFocusFeature {
 public:
  explicit WindowFocusFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onFocus(const msg::Focus& message);

 private:
  SessionCore& core_;
};

}  // namespace brindlet::host
