#pragma once

// What a session needs of its connection's authentication gate. The gate sees every message
// first and tells whether the session may act on it.

#include <optional>

#include "kit/protocol/Message.h"
#include "base/Bytes.h"
#include "kit/support/UUID.h"

#include <asio/awaitable.hpp>

namespace brindlet {

enum class AuthVerdict {
  consumed,  // the gate handled or dropped the message; the session must not act on it
  proceed,   // session traffic of an authenticated device
};

class HostAuthGating {
 public:
  virtual ~HostAuthGating() = default;

  // Begins authentication (sends the challenge and arms the deadline). Called once, before
  // any message is read.
  virtual asio::awaitable<void> start() = 0;
  virtual asio::awaitable<AuthVerdict> handle(Message message) = 0;
  // True when handle() would answer `proceed` for `message` and change nothing: an admitted
  // device's session traffic. Lets the session act on it at once instead of passing it
  // through the gate's strand. Any thread; false tells only to ask handle().
  virtual bool admits(const Message&) const { return false; }
  // The connection's message stream has ended.
  virtual asio::awaitable<void> connectionClosed() = 0;
  // The admitted device's ID and its P-256 public key (X9.63, 65 bytes); nothing before a
  // device has been admitted.
  virtual asio::awaitable<std::optional<UUID>> authenticatedDeviceID() = 0;
  virtual asio::awaitable<std::optional<Bytes>> authenticatedPublicKey() = 0;
};

}  // namespace brindlet
