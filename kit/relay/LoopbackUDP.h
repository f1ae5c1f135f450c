#pragma once

// One UDP socket on the loopback interface that joins a relayed flow to a local QUIC endpoint.
// On the host each relayed device gets one, connected to the local QUIC listener's port, so
// that only the listener's answers come back through it; on a device one socket learns its
// QUIC connection's address from what it receives.
//
//   auto flow = LoopbackUDP::make(executor, listenerPort);     // throws LoopbackUDP::SocketError
//   flow->start([](Bytes datagram) { ... });                   // on the flow's own strand
//   flow->send(datagram);                                      // any thread
//   flow->close();                                             // any thread, any number of times
//
// Datagrams larger than the 2,048-byte buffer are dropped whole, never handed on cut.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include <asio/ip/udp.hpp>

#include "base/Bytes.h"
#include "base/Executor.h"

namespace brindlet {

class LoopbackUDP final : public std::enable_shared_from_this<LoopbackUDP> {
 public:
  static constexpr std::size_t bufferSize = 2048;

  struct SocketError : std::runtime_error {
    explicit SocketError(int error);
    int errorNumber;
  };

  // With a remote port: connected to 127.0.0.1 at that port. Without: sends go to the latest
  // sender. Throws SocketError.
  static std::shared_ptr<LoopbackUDP> make(const Executor& executor, std::optional<std::uint16_t> remotePort);
  ~LoopbackUDP();

  std::uint16_t port() const { return port_; }
  // Every datagram that arrives (possibly empty) goes to `onDatagram`, on the flow's strand.
  void start(std::function<void(Bytes)> onDatagram);
  // One datagram to the remote end; dropped when there is none yet or the flow is closed.
  void send(Bytes datagram);
  void close();
  // How many datagrams were dropped for being larger than the buffer.
  std::uint64_t oversizedDropped() const { return oversized_.load(); }

  LoopbackUDP(const Executor& executor, std::optional<std::uint16_t> remotePort);

 private:
  void armRead();
  void drain();

  Strand strand_;
  asio::ip::udp::socket socket_;
  std::uint16_t port_ = 0;
  bool learnsRemote_ = true;
  std::optional<asio::ip::udp::endpoint> remote_;  // on the strand
  std::function<void(Bytes)> onDatagram_;          // on the strand
  std::atomic<bool> closed_{false};
  std::atomic<std::uint64_t> oversized_{0};
  std::array<std::uint8_t, bufferSize> buffer_{};
};

}  // namespace brindlet
