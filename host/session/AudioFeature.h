#pragma once

// The Mac's system audio for the device. This host cannot capture it yet: a request to turn
// audio on is answered with the failed status of the capture it has, a request to turn it
// off changes nothing.

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class AudioFeature {
 public:
  explicit AudioFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onSetAudio(const msg::SetAudio& message);

 private:
  SessionCore& core_;
};

}  // namespace brindlet::host
