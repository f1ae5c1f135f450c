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

struct RelayHostService::Session {
  RelayCandidate relay;
  std::shared_ptr<RelayTunnel> tunnel;
  std::map<std::uint32_t, std::shared_ptr<LoopbackUDP>> flows;
  std::uint64_t portGeneration = 0;

  void closeFlows() {
    for (auto& [peer, flow] : flows) flow->close();
    flows.clear();
  }
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
  std::vector<Bytes> denied;
  {
    std::lock_guard lock(self->lock_);
    self->tunnel_ = tunnel;
    denied = self->denied_;
    session.portGeneration = self->portGeneration_;
  }
  tunnel->setDenied(std::move(denied));
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
        self->flowFor(session, event->peer);
        break;
      case RelayTunnelEvent::Kind::data:
        if (auto flow = self->flowFor(session, event->peer)) flow->send(std::move(event->data));
        break;
      case RelayTunnelEvent::Kind::peerClosed:
        if (auto found = session.flows.find(event->peer); found != session.flows.end()) {
          found->second->close();
          session.flows.erase(found);
        }
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
  }
  tunnel->stop();
  session.closeFlows();
  // A cancelled service ends here (the next suspension throws).
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) throw asio::system_error(asio::error::operation_aborted);
  co_return result;
}

std::shared_ptr<LoopbackUDP> RelayHostService::flowFor(Session& session, std::uint32_t peer) {
  std::optional<std::uint16_t> port;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(lock_);
    port = listenerPort_;
    generation = portGeneration_;
  }
  if (generation != session.portGeneration) {
    session.closeFlows();
    session.portGeneration = generation;
  }
  if (!port) return nullptr;
  if (auto found = session.flows.find(peer); found != session.flows.end()) return found->second;
  std::shared_ptr<LoopbackUDP> flow;
  try {
    flow = LoopbackUDP::make(strand_.get_inner_executor(), *port);
  } catch (const LoopbackUDP::SocketError& error) {
    log_.error("loopback flow for peer %u failed: %s", peer, error.what());
    return nullptr;
  }
  std::weak_ptr<RelayTunnel> tunnel = session.tunnel;
  flow->start([tunnel, peer](Bytes datagram) {
    if (auto t = tunnel.lock()) t->send(peer, std::move(datagram));
  });
  session.flows.emplace(peer, flow);
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
