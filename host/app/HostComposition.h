#pragma once

// The composition root of the host: the QUIC listener that the listener supervisor starts,
// and the environment of each session (HostEnvironment::live, declared with the record).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/session/HostEnvironment.h"
#include "host/session/HostSecurity.h"
#include "kit/transport/HostListener.h"
#include "kit/transport/QUICConfiguration.h"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

namespace brindlet::host {

// A created listener and the wait for its bound UDP port. The listener is not started yet.
struct ListenerStart {
  std::shared_ptr<HostListener> listener;
  std::function<asio::awaitable<std::uint16_t>()> ready;
};

// The transport limits of the host's QUIC listener and of every connection it accepts.
QUICConfiguration hostQUICConfiguration();

// The QUIC listener with the host's identity, advertised under this computer's name when
// `advertise`, on `port` or on any free port; it runs on `context`. Throws the listener's
// creation error.
ListenerStart makeQUICListener(asio::io_context& context, const HostSecurity& security,
                               std::optional<std::uint16_t> port, bool advertise);

// Whether the main display sleeps: the X server's monitors are in a DPMS power-saving mode. A
// server without DPMS counts as awake.
bool mainDisplayIsAsleep();

// This computer's name as its user knows it (the "pretty" host name), else its host name.
std::string localizedHostName();

}  // namespace brindlet::host
