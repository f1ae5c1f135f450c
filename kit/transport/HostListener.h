#pragma once

// A listener that advertises the host and yields incoming connections: the QUIC listener
// and the in-process loopback listener.
//
//   listener->start();                                     // may throw
//   auto incoming = listener->connections();
//   while (auto connection = co_await incoming.next()) accept(*connection);
//   listener->stop();                                      // ends connections(); idempotent

#include "kit/support/AsyncStream.h"
#include "kit/transport/Connection.h"

#include <memory>

namespace brindlet {

class HostListener {
 public:
  virtual ~HostListener() = default;

  // Begins listening; throws when that is not possible.
  virtual void start() = 0;
  // One connection per accepted peer; ends when the listener stops. The same stream on
  // every call.
  virtual AsyncStream<std::shared_ptr<Connection>> connections() = 0;
  // Stops listening and ends connections(); safe to call more than once.
  virtual void stop() = 0;
};

}  // namespace brindlet
