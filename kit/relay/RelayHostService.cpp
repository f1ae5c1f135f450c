#include "kit/relay/RelayHostService.h"

#include <asio/error.hpp>
#include <asio/system_error.hpp>
#include <asio/this_coro.hpp>

#include <algorithm>
#include <map>

#include "kit/relay/InviteCode.h"
#include "kit/relay/LoopbackUDP.h"

namespace brindlet {
namespace {

asio::awaitable<Bytes> relayToken(std::shared_ptr<CoordinatorClient> coordinator, bool force) {
  RelayAdmission admission = co_await coordinator->admission(force);
  co_return admission.token;
}

bool isCancellation(const asio::system_error& error) { return error.code() == asio::error::operation_aborted; }

}  // namespace

// One session's loopback flows, one per peer, all on the tunnel's strand. The tunnel hands
// each datagram to its peer's flow on that strand; the service adds and removes flows from its
// own. `portGeneration` is the listener port's generation the flows were made for.
struct RelayHostService::Routes {
  explicit Routes(const std::shared_ptr<RelayTunnel>& owner) : tunnel(owner), strand(owner->strand()) {}

  const std::weak_ptr<RelayTunnel> tunnel;
  const Strand strand;
  std::mutex lock;
  std::map<std::uint32_t, std::shared_ptr<LoopbackUDP>> flows;
  std::uint64_t portGeneration = 0;
  bool fullLogged = false;
  // The flows that gathered datagrams of the tunnel's current read batch (on the tunnel's strand).
  std::vector<std::shared_ptr<LoopbackUDP>> gathered;

  std::shared_ptr<LoopbackUDP> find(std::uint32_t peer) {
    std::lock_guard hold(lock);
    auto found = flows.find(peer);
    return found == flows.end() ? nullptr : found->second;
  }
  void remove(std::uint32_t peer) {
    std::lock_guard hold(lock);
    if (auto found = flows.find(peer); found != flows.end()) {
      found->second->close();
      flows.erase(found);
    }
  }
  void closeAll() {
    std::lock_guard hold(lock);
    closeAllLocked();
  }
  void closeAllLocked() {
    for (auto& [peer, flow] : flows) flow->close();
    flows.clear();
  }
};

struct RelayHostService::Session {
  RelayCandidate relay;
  std::shared_ptr<RelayTunnel> tunnel;
  std::shared_ptr<Routes> routes;
};

std::string RelayHostService::Status::text() const {
  switch (kind) {
    case Kind::registered:
      return detail.empty() ? "Ready" : "Ready \u00B7 " + RelayRegion::displayName(detail);
    case Kind::error:
      return detail;
    case Kind::stopped:
      return "Remote access off";
    case Kind::connecting:
      return "Connecting\u2026";
  }
  return "";
}

std::shared_ptr<RelayHostService> RelayHostService::make(const Executor& executor, std::shared_ptr<Clock> clock,
                                                         std::shared_ptr<CoordinatorClient> coordinator,
                                                         std::shared_ptr<RelaySigner> signer,
                                                         std::optional<std::uint16_t> listenerPort,
                                                         std::vector<Bytes> denied, Options options) {
  return std::make_shared<RelayHostService>(executor, std::move(clock), std::move(coordinator), std::move(signer),
                                            listenerPort, std::move(denied), std::move(options));
}

RelayHostService::RelayHostService(const Executor& executor, std::shared_ptr<Clock> clock,
                                   std::shared_ptr<CoordinatorClient> coordinator, std::shared_ptr<RelaySigner> signer,
                                   std::optional<std::uint16_t> listenerPort, std::vector<Bytes> denied,
                                   Options options)
    : strand_(makeStrand(executor)),
      clock_(std::move(clock)),
      coordinator_(std::move(coordinator)),
      signer_(std::move(signer)),
      options_(std::move(options)),
      log_("io.tavix.nolu.relay", "host"),
      listenerPort_(listenerPort),
      denied_(std::move(denied)) {
  if (options_.retryBackoff.empty()) throw std::invalid_argument("the relay back-off schedule is empty");
}

RelayHostService::~RelayHostService() { statuses_.finish(); }

RelayHostService::Status RelayHostService::current() const {
  std::lock_guard lock(lock_);
  return current_;
}

void RelayHostService::setRelaysHandler(std::function<void(std::vector<RelayEndpoint>)> handler) {
  std::lock_guard lock(lock_);
  relaysHandler_ = std::move(handler);
}

void RelayHostService::setFatalHandler(std::function<void(CoordinatorError)> handler) {
  std::lock_guard lock(lock_);
  fatalHandler_ = std::move(handler);
}

void RelayHostService::start() {
  {
    std::lock_guard lock(lock_);
    if (running_) return;
    running_ = true;
  }
  // Spawned outside the lock: the run may begin at once on this thread and set its status.
  Task task = Task::spawn(strand_, run(shared_from_this()));
  std::lock_guard lock(lock_);
  task_ = std::move(task);
}

void RelayHostService::stop() {
  Task task;
  {
    std::lock_guard lock(lock_);
    task = std::move(task_);
  }
  task.cancel();
  setStatus(Status::stopped());
  statuses_.finish();
}

void RelayHostService::setListenerPort(std::optional<std::uint16_t> port) {
  std::lock_guard lock(lock_);
  if (listenerPort_ == port) return;
  listenerPort_ = port;
  ++portGeneration_;
  // Nothing more goes to the old port; each peer's next datagram makes its flow anew.
  if (routes_) routes_->closeAll();
}

void RelayHostService::setDenied(std::vector<Bytes> keys) {
  std::shared_ptr<RelayTunnel> tunnel;
  {
    std::lock_guard lock(lock_);
    denied_ = keys;
    tunnel = tunnel_;
  }
  if (tunnel) tunnel->setDenied(std::move(keys));
}

std::vector<Bytes> RelayHostService::denied() const {
  std::lock_guard lock(lock_);
  return denied_;
}

void RelayHostService::setStatus(Status status) {
  {
    std::lock_guard lock(lock_);
    if (statuses_.isFinished() || current_ == status) return;
    current_ = status;
  }
  statuses_.yield(std::move(status));
}

void RelayHostService::fail(const CoordinatorError& error) {
  setStatus(Status::error(error.what()));
  std::function<void(CoordinatorError)> handler;
  {
    std::lock_guard lock(lock_);
    handler = fatalHandler_;
  }
  if (handler) handler(error);
}

asio::awaitable<void> RelayHostService::run(std::shared_ptr<RelayHostService> self) {
  std::size_t failures = 0;
  for (;;) {
    self->setStatus(Status::connecting());
    std::optional<std::string> problem;
    RelayAdmission admission;
    try {
      admission = co_await self->coordinator_->admission(failures >= 1);
      if (admission.relays.empty()) problem = "No relay is configured.";
    } catch (const CoordinatorError& error) {
      if (error.isFatal()) {
        self->fail(error);
        co_return;
      }
      problem = error.what();
    } catch (const asio::system_error& error) {
      if (isCancellation(error)) throw;
      problem = error.what();
    } catch (const std::exception& error) {
      problem = error.what();
    }

    if (!problem) {
      // Each relay of the list in turn, until one takes the registration.
      for (const auto& relay : admission.relays) {
        bool registered = false;
        problem = co_await runSession(self, relay, admission, registered);
        if (!problem || registered) break;
        self->log_.notice("relay %s:%u not usable: %s", relay.host.c_str(), relay.port, problem->c_str());
      }
    }
    if (problem) {
      ++failures;
      self->setStatus(Status::error(*problem));
    } else {
      failures = 0;
    }
    const auto& backoff = self->options_.retryBackoff;
    std::size_t index = std::min(backoff.size() - 1, std::max<std::size_t>(failures, 1) - 1);
    co_await self->clock_->sleep(backoff[index]);
  }
}

asio::awaitable<std::optional<std::string>> RelayHostService::runSession(std::shared_ptr<RelayHostService> self,
                                                                         RelayCandidate relay, RelayAdmission admission,
                                                                         bool& registered) {
  RelayTunnel::Options tunnelOptions = self->options_.tunnel;
  tunnelOptions.keepaliveInterval = self->options_.keepaliveInterval;
  auto coordinator = self->coordinator_;
  auto tunnel = RelayTunnel::make(self->strand_.get_inner_executor(), self->clock_, RelayRole::host,
                                  RelayEndpoint{relay.host, relay.port}, self->signer_, tunnelOptions,
                                  [coordinator](bool force) { return relayToken(coordinator, force); });
  Session session;
  session.relay = relay;
  session.tunnel = tunnel;
  session.routes = std::make_shared<Routes>(tunnel);
  std::vector<Bytes> denied;
  {
    std::lock_guard lock(self->lock_);
    self->tunnel_ = tunnel;
    self->routes_ = session.routes;
    denied = self->denied_;
    session.routes->portGeneration = self->portGeneration_;
  }
  tunnel->setDenied(std::move(denied));
  // Datagrams from devices go to their flows on the tunnel's strand, in the order they came,
  // each flow's together once the tunnel's read batch is through.
  std::weak_ptr<RelayHostService> weak = self;
  tunnel->setDataSink(
      [weak, routes = session.routes](std::uint32_t peer, ByteView datagram) {
        auto flow = routes->find(peer);
        if (!flow) {
          auto service = weak.lock();
          if (service) flow = service->flowFor(*routes, peer);
        }
        if (!flow) return true;
        flow->gather(datagram);
        if (std::find(routes->gathered.begin(), routes->gathered.end(), flow) == routes->gathered.end()) {
          routes->gathered.push_back(std::move(flow));
        }
        return true;
      },
      [routes = session.routes] {
        for (const auto& flow : routes->gathered) flow->flush();
        routes->gathered.clear();
      });
  Task refresh = Task::spawn(self->strand_, refreshTokens(self, std::move(admission)));
  auto events = tunnel->events();
  tunnel->start();

  std::optional<std::string> result;
  bool refused = false;
  while (auto event = co_await events.next()) {
    switch (event->kind) {
      case RelayTunnelEvent::Kind::registered: {
        self->setStatus(Status::registered(relay.region));
        if (!registered) {
          registered = true;
          std::function<void(std::vector<RelayEndpoint>)> handler;
          {
            std::lock_guard lock(self->lock_);
            handler = self->relaysHandler_;
          }
          if (handler) handler({RelayEndpoint{relay.host, relay.port}});
        }
        break;
      }
      case RelayTunnelEvent::Kind::peerJoined:
        self->flowFor(*session.routes, event->peer);
        break;
      case RelayTunnelEvent::Kind::data:
        if (auto flow = self->flowFor(*session.routes, event->peer)) flow->send(event->data);
        break;
      case RelayTunnelEvent::Kind::peerClosed:
        session.routes->remove(event->peer);
        break;
      case RelayTunnelEvent::Kind::error:
        result = "relay refused (error " + std::to_string(static_cast<int>(event->code)) + ")";
        refused = true;
        break;
      case RelayTunnelEvent::Kind::unavailable:
        result = event->reason;
        break;
      default:
        break;
    }
    if (result) break;
  }
  if (!result) result = "tunnel closed";
  if (registered && !refused) result.reset();

  refresh.cancel();
  {
    std::lock_guard lock(self->lock_);
    if (self->tunnel_ == tunnel) self->tunnel_.reset();
    if (self->routes_ == session.routes) self->routes_.reset();
  }
  tunnel->stop();
  session.routes->closeAll();
  // A cancelled service ends here (the next suspension throws).
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) throw asio::system_error(asio::error::operation_aborted);
  co_return result;
}

// The peer's flow, made when it has none; nothing while the listener has no port. Called on the
// service's strand and on the tunnel's; the service's lock is held throughout, so a change of
// the listener's port cannot slip between reading the port and routing to it.
std::shared_ptr<LoopbackUDP> RelayHostService::flowFor(Routes& routes, std::uint32_t peer) {
  std::lock_guard lock(lock_);
  std::lock_guard hold(routes.lock);
  if (routes.portGeneration != portGeneration_) {
    routes.closeAllLocked();
    routes.portGeneration = portGeneration_;
  }
  if (!listenerPort_) return nullptr;
  if (auto found = routes.flows.find(peer); found != routes.flows.end()) return found->second;
  if (routes.flows.size() >= options_.maxFlows) {
    if (!routes.fullLogged)
      log_.error("loopback flows full (%zu): datagrams of peer %u dropped", routes.flows.size(), peer);
    routes.fullLogged = true;
    return nullptr;
  }
  std::shared_ptr<LoopbackUDP> flow;
  try {
    flow = LoopbackUDP::make(routes.strand, *listenerPort_);
  } catch (const LoopbackUDP::SocketError& error) {
    log_.error("loopback flow for peer %u failed: %s", peer, error.what());
    return nullptr;
  }
  // Shares the tunnel's strand: what one read brings goes to the relay together.
  flow->start(
      [tunnel = routes.tunnel, peer](ByteView datagram) {
        if (auto t = tunnel.lock()) t->gather(peer, datagram);
      },
      [tunnel = routes.tunnel] {
        if (auto t = tunnel.lock()) t->flush();
      });
  routes.flows.emplace(peer, flow);
  return flow;
}

asio::awaitable<void> RelayHostService::refreshTokens(std::weak_ptr<RelayHostService> weak, RelayAdmission admission) {
  for (;;) {
    std::shared_ptr<CoordinatorClient> coordinator;
    std::shared_ptr<Clock> clock;
    {
      auto self = weak.lock();
      if (!self) co_return;
      coordinator = self->coordinator_;
      clock = self->clock_;
    }
    auto cached = co_await coordinator->cachedExpiry();
    auto expiry = cached ? *cached : admission.expiresAt;
    Clock::Duration wait = std::max<Clock::Duration>(
        std::chrono::duration_cast<Clock::Duration>(expiry - clock->wallNow()) - std::chrono::seconds(120),
        std::chrono::seconds(30));
    co_await clock->sleep(wait);
    try {
      RelayAdmission fresh = co_await coordinator->fetchAdmission(std::nullopt);
      co_await coordinator->setCache(std::move(fresh));
    } catch (const CoordinatorError& error) {
      auto self = weak.lock();
      if (!self) co_return;
      if (error.isFatal()) {
        self->fail(error);
        co_return;
      }
      self->log_.error("token refresh failed: %s", error.what());
    } catch (const asio::system_error& error) {
      if (isCancellation(error)) throw;
      if (auto self = weak.lock()) self->log_.error("token refresh failed: %s", error.what());
    } catch (const std::exception& error) {
      if (auto self = weak.lock()) self->log_.error("token refresh failed: %s", error.what());
    }
  }
}

}  // namespace brindlet
