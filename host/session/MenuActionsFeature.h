#pragma once

// The frontmost app's menus as actions the device can perform. This host cannot read menus
// yet: there is never a frontmost app to watch, and performing an action fails.

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class MenuActionsFeature {
 public:
  explicit MenuActionsFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onPerformAction(const msg::PerformAction& message);

 private:
  SessionCore& core_;
};

}  // namespace brindlet::host
