#pragma once

// The clipboard shared with the device: text the device copied goes on this computer's
// clipboard. Without a pasteboard in the environment the clipboard is not shared.

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class ClipboardFeature {
 public:
  explicit ClipboardFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onClipboardText(const msg::ClipboardText& text);

 private:
  SessionCore& core_;
};

}  // namespace brindlet::host
