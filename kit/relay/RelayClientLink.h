#pragma once

// The device's half of relayed access: a client tunnel joined to the host's relay session with
// the device's join grant, bridged to a loopback UDP socket that the device's QUIC connection
// talks to, and that QUIC connection wrapped as an ordinary Connection.
//
//   auto connection = co_await connectThroughRelay(io, clock, config.relays, config.grant, signer,
//                                                  ServerTrust::pinned(fingerprint));
//   // ... a Connection like any other; when it ends, the link closes

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "kit/protocol/RelayEndpoint.h"
#include "kit/relay/RelayTunnel.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"
#include "kit/transport/Connection.h"
#include "kit/transport/QUICConfiguration.h"

namespace brindlet {

class LoopbackUDP;
class RelaySigner;
class QUICConnection;

class RelayLinkError : public std::runtime_error {
 public:
  enum class Case { unreachable, noRelays };
  static RelayLinkError unreachable(std::string reason);
  static RelayLinkError noRelays();

  Case kind() const { return kind_; }
  const std::string& reason() const { return reason_; }
  bool operator==(const RelayLinkError& other) const { return kind_ == other.kind_ && reason_ == other.reason_; }

 private:
  RelayLinkError(Case kind, std::string reason, const std::string& what);
  Case kind_;
  std::string reason_;
};

// Resolves once: the first outcome (nothing: success) is kept and handed to the waiter.
class OneShotGate {
 public:
  void resolve(std::exception_ptr outcome);
  // Returns, or rethrows the failure, once resolved. One waiter at a time.
  asio::awaitable<void> wait();

 private:
  std::mutex lock_;
  bool resolved_ = false;
  std::exception_ptr outcome_;
  AsyncStream<std::exception_ptr> waiter_;
};

// The QUIC limits of every relayed connection: datagrams of at most 1350 bytes fit a relay
// data frame.
QUICConfiguration relayedQUICConfiguration();

class RelayClientLink {
 public:
  struct Options {
    RelayTunnel::Options tunnel;  // keepalive 15 s, retry 1.5 s, 8 attempts
  };

  // Tries the relays in order; the first that takes the join gives the link. Throws
  // RelayLinkError (the last attempt's), or LoopbackUDP::SocketError.
  static asio::awaitable<std::shared_ptr<RelayClientLink>> open(Executor executor, std::shared_ptr<Clock> clock,
                                                                std::vector<RelayEndpoint> relays, Bytes grant,
                                                                std::shared_ptr<RelaySigner> signer,
                                                                Clock::Duration timeout, Options options);
  ~RelayClientLink();

  std::uint16_t localPort() const { return localPort_; }
  const RelayEndpoint& relay() const { return relay_; }
  const std::shared_ptr<RelayTunnel>& tunnel() const { return tunnel_; }
  // Stops the tunnel and closes the socket; any number of times.
  void close();

  RelayClientLink(std::uint16_t localPort, RelayEndpoint relay, std::shared_ptr<RelayTunnel> tunnel,
                  std::shared_ptr<LoopbackUDP> local, Task pump);

 private:
  static asio::awaitable<std::shared_ptr<RelayClientLink>> attempt(Executor executor, std::shared_ptr<Clock> clock,
                                                                   RelayEndpoint relay, Bytes grant,
                                                                   std::shared_ptr<RelaySigner> signer,
                                                                   Clock::Duration timeout, Options options);

  std::uint16_t localPort_;
  RelayEndpoint relay_;
  std::shared_ptr<RelayTunnel> tunnel_;
  std::shared_ptr<LoopbackUDP> local_;
  Task pump_;
};

// A QUIC connection through a relay link: every operation goes to the inner connection but
// `states`, which ends (and closes the link) when the inner connection's states end.
class RelayedConnection final : public Connection {
 public:
  RelayedConnection(std::shared_ptr<Connection> inner, const Strand& strand, std::function<void()> onEnd);
  ~RelayedConnection() override;

  AsyncStream<ConnectionState> states() override { return states_; }
  AsyncStream<Message> messages() override { return inner_->messages(); }
  AsyncStream<VideoFrame> videoFrames() override { return inner_->videoFrames(); }
  AsyncStream<AudioPacket> audioPackets() override { return inner_->audioPackets(); }
  void send(const Message& message) override { inner_->send(message); }
  bool sendVideo(const VideoFrame& frame) override { return inner_->sendVideo(frame); }
  bool sendAudio(const AudioPacket& packet) override { return inner_->sendAudio(packet); }
  asio::awaitable<bool> sendTransfer(Message message) override { return inner_->sendTransfer(std::move(message)); }
  void close() override { inner_->close(); }
  std::optional<Bytes> peerFingerprint() const override { return inner_->peerFingerprint(); }
  std::optional<Bytes> exporter() const override { return inner_->exporter(); }

  const std::shared_ptr<Connection>& inner() const { return inner_; }

 private:
  static asio::awaitable<void> follow(AsyncStream<ConnectionState> from, AsyncStream<ConnectionState> to,
                                      std::function<void()> onEnd);
  std::shared_ptr<Connection> inner_;
  AsyncStream<ConnectionState> states_;
  Task follower_;
};

// Opens a link (6 s) and a QUIC connection through it with the relayed limits and `trust`;
// throws RelayLinkError, LoopbackUDP::SocketError or QUICError ("bad port").
asio::awaitable<std::shared_ptr<RelayedConnection>> connectThroughRelay(
    asio::io_context& context, std::shared_ptr<Clock> clock, std::vector<RelayEndpoint> relays, Bytes grant,
    std::shared_ptr<RelaySigner> signer, ServerTrust trust, RelayClientLink::Options options = {});

}  // namespace brindlet
