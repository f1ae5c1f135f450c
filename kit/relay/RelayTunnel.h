#pragma once

// One UDP flow between this process and a relay. As `host` it registers this computer with the
// relay and carries datagrams to and from every device the relay attaches to its session; as
// `client` it joins a host's session with a join grant. It runs the challenge exchange before
// every register, join and rebind, signs them, keeps the session alive, resends lost requests,
// reconnects after socket failures and network changes, and reports what happens as events.
//
//   auto tunnel = RelayTunnel::make(executor, clock, RelayRole::host, {"relay.example", 7000}, signer,
//                                   RelayTunnel::Options{}, credentials);
//   auto events = tunnel->events();
//   tunnel->start();
//   while (auto event = co_await events.next()) { ... }
//   tunnel->send(peer, datagram);
//   tunnel->stop();                               // sends close when established; ends events
//
// Everything the tunnel holds lives on its own strand; the public operations post to it and
// return at once (send() called on the strand itself goes out before it returns). Timers go
// through the clock. An owner that moves many datagrams gives the tunnel a data sink and keeps
// its loopback sockets on the tunnel's strand: then a datagram crosses the tunnel without a
// queue hop, and what one read batch brings goes on together at the batch's end (gather(),
// then flush() once the batch is through; the sink's batch end for the other way).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/ip/udp.hpp>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/protocol/RelayEndpoint.h"
#include "kit/relay/RelayWire.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"
#include "platform/log/Log.h"
#include "platform/net/DatagramBatch.h"
#include "platform/net/NetworkPath.h"

namespace brindlet {

class RelaySigner;

enum class RelayRole { host, client };

// "host" or "client"; nothing for any other text.
const char* relayRoleName(RelayRole role);
std::optional<RelayRole> relayRole(std::string_view text);

struct RelayTunnelEvent {
  enum class Kind { registered, joined, peerJoined, peerClosed, data, error, unavailable, sessionClosed };
  Kind kind = Kind::sessionClosed;
  std::uint32_t session = 0;
  std::uint32_t peer = 0;
  Bytes data;
  RelayErrorCode code = RelayErrorCode::malformed;  // for error
  std::string reason;                               // for unavailable

  static RelayTunnelEvent make(Kind kind, std::uint32_t session = 0, std::uint32_t peer = 0) {
    RelayTunnelEvent event;
    event.kind = kind;
    event.session = session;
    event.peer = peer;
    return event;
  }
  static RelayTunnelEvent registered(std::uint32_t session) { return make(Kind::registered, session); }
  static RelayTunnelEvent joined(std::uint32_t session, std::uint32_t peer) {
    return make(Kind::joined, session, peer);
  }
  static RelayTunnelEvent peerJoined(std::uint32_t peer) { return make(Kind::peerJoined, 0, peer); }
  static RelayTunnelEvent peerClosed(std::uint32_t peer) { return make(Kind::peerClosed, 0, peer); }
  static RelayTunnelEvent datagram(std::uint32_t peer, Bytes data) {
    RelayTunnelEvent event = make(Kind::data, 0, peer);
    event.data = std::move(data);
    return event;
  }
  static RelayTunnelEvent error(RelayErrorCode code) {
    RelayTunnelEvent event = make(Kind::error);
    event.code = code;
    return event;
  }
  static RelayTunnelEvent unavailable(std::string reason) {
    RelayTunnelEvent event = make(Kind::unavailable);
    event.reason = std::move(reason);
    return event;
  }
  static RelayTunnelEvent sessionClosed() { return make(Kind::sessionClosed); }

  bool operator==(const RelayTunnelEvent&) const = default;
};

class RelayTunnel final : public std::enable_shared_from_this<RelayTunnel> {
 public:
  // The relay token (host) or the join grant (client); `force` asks for a fresh one.
  using CredentialProvider = std::function<asio::awaitable<Bytes>(bool force)>;
  // Starts watching the network path for one connection: the handler gets the path once at
  // once and then at every change, on the given strand, until the returned function is called.
  using PathWatcher =
      std::function<std::function<void()>(const Strand&, std::function<void(const platform::NetworkPath&)>)>;
  // Offered each datagram from a peer, on the tunnel's strand, the bytes valid during the call;
  // true when it took the datagram, false to have it reported as a data event instead.
  using DataSink = std::function<bool(std::uint32_t peer, ByteView datagram)>;
  // Called on the tunnel's strand after the datagrams of each read that the sink was offered.
  using BatchEnd = std::function<void()>;

  struct Options {
    Clock::Duration keepaliveInterval = std::chrono::seconds(15);
    Clock::Duration retryInterval = std::chrono::milliseconds(1500);
    int maxHandshakeAttempts = 8;
    int maxCookieRetries = 3;
    // Nothing: this machine's path monitor.
    PathWatcher pathWatcher;
    // Delay before a failed socket is opened again.
    Clock::Duration reconnectDelay = std::chrono::seconds(1);
  };

  static std::shared_ptr<RelayTunnel> make(const Executor& executor, std::shared_ptr<Clock> clock, RelayRole role,
                                           RelayEndpoint endpoint, std::shared_ptr<RelaySigner> signer, Options options,
                                           CredentialProvider credentials);
  ~RelayTunnel();

  AsyncStream<RelayTunnelEvent> events() const { return events_; }
  RelayRole role() const { return role_; }
  const Strand& strand() const { return strand_; }
  const RelayEndpoint& endpoint() const { return endpoint_; }

  // Only the first call acts, and none after stop().
  void start();
  // Idempotent: a close frame when established, then the socket closes and the events end.
  void stop();
  // A data frame to `peer` (a client always uses its own peer number) once established.
  void send(std::uint32_t peer, ByteView datagram);
  // On the tunnel's strand: the same, gathered until the next flush(), which the caller owes
  // (elsewhere it is sent as by send()).
  void gather(std::uint32_t peer, ByteView datagram);
  // On the tunnel's strand: the gathered data frames go out now.
  void flush();
  // Replaces the data sink (nothing: every datagram is a data event) and its batch end.
  void setDataSink(DataSink sink, BatchEnd batchEnd = {});
  // The device keys the relay is to refuse; sent at once by an established host.
  void setDenied(std::vector<Bytes> keys);

  bool established() const { return establishedNow_.load(); }
  std::uint32_t session() const { return sessionNow_.load(); }
  std::uint32_t peer() const { return peerNow_.load(); }

  RelayTunnel(const Executor& executor, std::shared_ptr<Clock> clock, RelayRole role, RelayEndpoint endpoint,
              std::shared_ptr<RelaySigner> signer, Options options, CredentialProvider credentials);

 private:
  void openConnection();
  void onResolved(std::uint64_t generation, const asio::error_code& error,
                  const asio::ip::udp::resolver::results_type& results);
  void armReceive(std::uint64_t generation);
  void onReadable(std::uint64_t generation, const asio::error_code& error);
  // False when the socket failed (and was closed) while reading.
  bool drain(std::uint64_t generation);
  // False when the frame was not gathered.
  bool addData(std::uint32_t peer, ByteView datagram);
  void sendData(std::uint32_t peer, ByteView datagram);
  void flushOutgoing();
  void connectionFailed(std::uint64_t generation, const std::string& reason);
  void onPath(std::uint64_t generation, const platform::NetworkPath& path);
  void startFlow();
  std::uint64_t beginFlow(RelayPurpose purpose, bool send);
  void startAttempts();
  void retryTick(std::uint64_t flow);
  void sendCurrentRequest();
  void handle(const RelayFrame& frame);
  void handleChallenge(const RelayFrame& frame);
  void handleError(RelayErrorCode code, std::uint32_t session);
  void finishFlow();
  void becomeEstablished();
  void sendDenied();
  void sendFrame(const RelayFrame& frame);
  void sendFrame(RelayPacketType type, std::uint32_t session, std::uint32_t peer, ByteView payload);
  void emit(RelayTunnelEvent event);
  void setEstablished(bool value);
  void closeSocket();

  static asio::awaitable<void> fetchCredential(std::weak_ptr<RelayTunnel> weak, CredentialProvider provider,
                                               std::uint64_t flow);
  static asio::awaitable<void> tick(std::weak_ptr<RelayTunnel> weak, std::shared_ptr<Clock> clock,
                                    Clock::Duration interval, std::function<bool(RelayTunnel&)> onTick);
  static asio::awaitable<void> reconnectLater(std::weak_ptr<RelayTunnel> weak, std::shared_ptr<Clock> clock,
                                              Clock::Duration delay, std::uint64_t generation);

  Strand strand_;
  const std::shared_ptr<Clock> clock_;
  const RelayRole role_;
  const RelayEndpoint endpoint_;
  const std::shared_ptr<RelaySigner> signer_;
  const Options options_;
  const CredentialProvider credentials_;
  const platform::Logger log_;
  AsyncStream<RelayTunnelEvent> events_;

  // On the strand.
  std::unique_ptr<asio::ip::udp::socket> socket_;
  std::unique_ptr<asio::ip::udp::resolver> resolver_;
  std::function<void()> stopPathWatch_;
  platform::DatagramReceiver receiver_{8, 2048, true};
  // Data frames gathered on the strand, sent together once its current work is done.
  // Room for most of a read's datagrams, so that a batch seldom ends inside a run of them.
  platform::DatagramSender outgoing_{256, RelayWire::maxFrameSize};
  bool flushQueued_ = false;
  std::uint64_t connGeneration_ = 0;
  bool started_ = false;
  bool stopped_ = false;
  bool established_ = false;
  bool everEstablished_ = false;
  std::uint32_t session_ = 0;
  std::uint32_t peer_ = 0;
  std::uint64_t flowGeneration_ = 0;
  std::optional<RelayPurpose> purpose_;
  std::optional<Bytes> credential_;
  std::optional<Bytes> cookie_;
  std::optional<RelayFrame> pendingFrame_;
  int attempts_ = 0;
  int cookieRetries_ = 0;
  std::vector<Bytes> denied_;
  DataSink dataSink_;
  BatchEnd batchEnd_;
  bool firstPathUpdate_ = true;
  Task keepaliveTimer_;
  Task retryTimer_;
  Task credentialTask_;
  Task reconnectTask_;

  std::atomic<bool> establishedNow_{false};
  std::atomic<std::uint32_t> sessionNow_{0};
  std::atomic<std::uint32_t> peerNow_{0};
};

}  // namespace brindlet
