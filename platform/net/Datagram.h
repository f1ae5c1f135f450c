#pragma once

// Reading and sending single datagrams on a non-blocking UDP socket without losing sight of
// their real size: a datagram larger than the buffer is reported as truncated, never handed on
// cut.
//
//   asio::error_code error;
//   while (auto datagram = receiveDatagram(socket, buffer, error)) {
//     if (datagram->truncated) continue;           // too large for the buffer: dropped
//     use(buffer.first(datagram->size), datagram->sender);
//   }

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <asio/ip/udp.hpp>

namespace brindlet::platform {

struct ReceivedDatagram {
  std::size_t size = 0;    // bytes in the buffer
  bool truncated = false;  // the datagram was larger than the buffer
  asio::ip::udp::endpoint sender;
};

// One waiting datagram, or nothing when none waits (error stays clear) or the call failed.
std::optional<ReceivedDatagram> receiveDatagram(asio::ip::udp::socket& socket, std::span<std::uint8_t> buffer,
                                                asio::error_code& error);

}  // namespace brindlet::platform
