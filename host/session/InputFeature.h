#pragma once

// The device's keyboard and pointer, injected on this computer.

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class InputFeature {
 public:
  explicit InputFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onKey(const msg::Key& key);
  asio::awaitable<void> onText(const msg::Text& text);
  asio::awaitable<void> onPointer(const msg::Pointer& pointer);

  // At the session's end: nothing the device left pressed stays down (or repeats).
  void releaseAll();

 private:
  SessionCore& core_;
};

}  // namespace brindlet::host
