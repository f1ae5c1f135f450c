#include "kit/relay/RelayClientLink.h"

#include "kit/relay/LoopbackUDP.h"
#include "kit/relay/RelaySigner.h"
#include "kit/transport/QUICConnection.h"
#include "kit/transport/QUICError.h"

namespace brindlet {
namespace {

asio::awaitable<Bytes> giveGrant(Bytes grant, bool) { co_return grant; }

asio::awaitable<void> pump(AsyncStream<RelayTunnelEvent> events, std::shared_ptr<LoopbackUDP> local,
                           std::shared_ptr<OneShotGate> gate) {
  while (auto event = co_await events.next()) {
    switch (event->kind) {
      case RelayTunnelEvent::Kind::joined:
        gate->resolve(nullptr);
        break;
      case RelayTunnelEvent::Kind::data:
        local->send(event->data);
        break;
      case RelayTunnelEvent::Kind::error:
        gate->resolve(std::make_exception_ptr(
            RelayLinkError::unreachable("relay error " + std::to_string(static_cast<int>(event->code)))));
        break;
      case RelayTunnelEvent::Kind::unavailable:
        gate->resolve(std::make_exception_ptr(RelayLinkError::unreachable(event->reason)));
        break;
      default:
        break;
    }
  }
  gate->resolve(std::make_exception_ptr(RelayLinkError::unreachable("closed")));
}

asio::awaitable<void> timeOut(std::shared_ptr<Clock> clock, Clock::Duration timeout,
                              std::shared_ptr<OneShotGate> gate) {
  co_await clock->sleep(timeout);
  gate->resolve(std::make_exception_ptr(RelayLinkError::unreachable("timed out")));
}

}  // namespace

RelayLinkError::RelayLinkError(Case kind, std::string reason, const std::string& what)
    : std::runtime_error(what), kind_(kind), reason_(std::move(reason)) {}

RelayLinkError RelayLinkError::unreachable(std::string reason) {
  std::string what = "Couldn't reach the Mac through the relay (" + reason + ").";
  return RelayLinkError(Case::unreachable, std::move(reason), what);
}

RelayLinkError RelayLinkError::noRelays() { return RelayLinkError(Case::noRelays, {}, "No relay is configured."); }

void OneShotGate::resolve(std::exception_ptr outcome) {
  {
    std::lock_guard lock(lock_);
    if (resolved_) return;
    resolved_ = true;
    outcome_ = outcome;
  }
  waiter_.yield(outcome);
}

asio::awaitable<void> OneShotGate::wait() {
  std::exception_ptr outcome;
  bool resolved = false;
  {
    std::lock_guard lock(lock_);
    resolved = resolved_;
    outcome = outcome_;
  }
  if (!resolved) {
    auto next = co_await waiter_.next();
    if (!next) throw asio::system_error(asio::error::operation_aborted);
    outcome = *next;
  }
  if (outcome) std::rethrow_exception(outcome);
}

QUICConfiguration relayedQUICConfiguration() {
  QUICConfiguration configuration;  // the transport's own limits, but for these two
  configuration.handshakeTimeout = std::chrono::seconds(15);
  configuration.maxUDPPayloadSize = 1350;
  return configuration;
}

RelayClientLink::RelayClientLink(std::uint16_t localPort, RelayEndpoint relay, std::shared_ptr<RelayTunnel> tunnel,
                                 std::shared_ptr<LoopbackUDP> local, Task pump)
    : localPort_(localPort),
      relay_(std::move(relay)),
      tunnel_(std::move(tunnel)),
      local_(std::move(local)),
      pump_(std::move(pump)) {}

RelayClientLink::~RelayClientLink() { close(); }

void RelayClientLink::close() {
  tunnel_->stop();
  local_->close();
}

asio::awaitable<std::shared_ptr<RelayClientLink>> RelayClientLink::open(Executor executor, std::shared_ptr<Clock> clock,
                                                                        std::vector<RelayEndpoint> relays, Bytes grant,
                                                                        std::shared_ptr<RelaySigner> signer,
                                                                        Clock::Duration timeout, Options options) {
  if (relays.empty()) throw RelayLinkError::noRelays();
  std::exception_ptr last;
  for (const auto& relay : relays) {
    try {
      co_return co_await attempt(executor, clock, relay, grant, signer, timeout, options);
    } catch (const RelayLinkError&) {
      last = std::current_exception();
    } catch (const LoopbackUDP::SocketError&) {
      last = std::current_exception();
    }
  }
  std::rethrow_exception(last);
}

asio::awaitable<std::shared_ptr<RelayClientLink>> RelayClientLink::attempt(Executor executor,
                                                                           std::shared_ptr<Clock> clock,
                                                                           RelayEndpoint relay, Bytes grant,
                                                                           std::shared_ptr<RelaySigner> signer,
                                                                           Clock::Duration timeout, Options options) {
  auto tunnel = RelayTunnel::make(executor, clock, RelayRole::client, relay, signer, options.tunnel,
                                  [grant](bool force) { return giveGrant(grant, force); });
  // The local socket shares the tunnel's strand: datagrams pass between them directly.
  auto local = LoopbackUDP::make(tunnel->strand(), std::nullopt);
  std::weak_ptr<RelayTunnel> weak = tunnel;
  local->start(
      [weak](ByteView datagram) {
        if (auto t = weak.lock()) t->gather(0, datagram);
      },
      [weak] {
        if (auto t = weak.lock()) t->flush();
      });
  tunnel->setDataSink(
      [local](std::uint32_t, ByteView datagram) {
        local->gather(datagram);
        return true;
      },
      [local] { local->flush(); });
  auto gate = std::make_shared<OneShotGate>();
  Strand strand = makeStrand(executor);
  Task pumping = Task::spawn(strand, pump(tunnel->events(), local, gate));
  tunnel->start();
  Task timer = Task::spawn(strand, timeOut(clock, timeout, gate));
  try {
    co_await gate->wait();
  } catch (...) {
    timer.cancel();
    pumping.cancel();
    tunnel->stop();
    local->close();
    throw;
  }
  timer.cancel();
  std::uint16_t port = local->port();
  co_return std::make_shared<RelayClientLink>(port, relay, tunnel, local, std::move(pumping));
}

RelayedConnection::RelayedConnection(std::shared_ptr<Connection> inner, const Strand& strand,
                                     std::function<void()> onEnd)
    : inner_(std::move(inner)) {
  follower_ = Task::spawn(strand, follow(inner_->states(), states_, std::move(onEnd)));
}

RelayedConnection::~RelayedConnection() { states_.finish(); }

asio::awaitable<void> RelayedConnection::follow(AsyncStream<ConnectionState> from, AsyncStream<ConnectionState> to,
                                                std::function<void()> onEnd) {
  while (auto state = co_await from.next()) to.yield(*state);
  to.finish();
  if (onEnd) onEnd();
}

asio::awaitable<std::shared_ptr<RelayedConnection>> connectThroughRelay(
    asio::io_context& context, std::shared_ptr<Clock> clock, std::vector<RelayEndpoint> relays, Bytes grant,
    std::shared_ptr<RelaySigner> signer, ServerTrust trust, RelayClientLink::Options options) {
  auto link = co_await RelayClientLink::open(context.get_executor(), clock, std::move(relays), std::move(grant),
                                             std::move(signer), std::chrono::seconds(6), std::move(options));
  if (link->localPort() == 0) {
    link->close();
    throw QUICError::failed("bad port");
  }
  asio::ip::udp::endpoint endpoint(asio::ip::address_v4::loopback(), link->localPort());
  auto quic = QUICConnection::makeClient(context, endpoint, trust, relayedQUICConfiguration(), clock);
  quic->start();
  try {
    co_await quic->waitUntilReady();
  } catch (...) {
    quic->close();
    link->close();
    throw;
  }
  auto onEnd = [link] { link->close(); };
  co_return std::make_shared<RelayedConnection>(quic, makeStrand(context.get_executor()), onEnd);
}

}  // namespace brindlet
