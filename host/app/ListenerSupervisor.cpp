#include "host/app/ListenerSupervisor.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

#include "host/HostLog.h"

#include <asio/this_coro.hpp>

namespace brindlet::host {

namespace {

// What a listener whose connections ended by themselves reports.
constexpr const char* stoppedUnexpectedly = "the listener stopped unexpectedly";

}  // namespace

double BackoffPolicy::delay(std::int64_t k) const {
  if (!(maximum > 0)) return 0;
  if (k < 0) k = 0;
  // Grow step by step and stop at the cap: no power is taken that could overflow, and a
  // policy that does not grow (factor ≤ 1) is capped the same way.
  double value = base;
  for (std::int64_t i = 0; i < k && value < maximum; ++i) {
    double next = value * factor;
    if (!std::isfinite(next) || next <= value) {
      value = next > value ? maximum : value;
      break;
    }
    value = next;
  }
  if (!std::isfinite(value) || value > maximum) return maximum;
  return value < 0 ? 0 : value;
}

std::shared_ptr<ListenerSupervisor> ListenerSupervisor::make(Strand strand, Factory factory,
                                                             ConnectionHandler onConnection, BackoffPolicy backoff,
                                                             std::shared_ptr<Clock> clock) {
  return std::make_shared<ListenerSupervisor>(std::move(strand), std::move(factory), std::move(onConnection), backoff,
                                              std::move(clock));
}

ListenerSupervisor::ListenerSupervisor(Strand strand, Factory factory, ConnectionHandler onConnection,
                                       BackoffPolicy backoff, std::shared_ptr<Clock> clock)
    : strand_(std::move(strand)),
      factory_(std::move(factory)),
      onConnection_(std::move(onConnection)),
      backoff_(backoff),
      clock_(std::move(clock)) {}

void ListenerSupervisor::start() {
  stop();
  std::uint64_t generation = ++generation_;
  setState(ListenerState::starting());
  task_ = Task::spawn(strand_, run(weak_from_this(), generation));
}

void ListenerSupervisor::stop() {
  task_ = Task();
  if (current_) {
    std::shared_ptr<HostListener> listener = current_->listener;
    current_.reset();
    if (listener) listener->stop();
  }
}

bool ListenerSupervisor::isCurrent(std::uint64_t generation, bool cancelled) const {
  return !cancelled && generation == generation_;
}

void ListenerSupervisor::setState(ListenerState state) {
  bool changed = !(state == state_);
  state_ = state;
  if (changed && onStateChange) onStateChange(state_);
  if (onPortChange) {
    onPortChange(state_.kind == ListenerState::Kind::advertising ? std::optional<std::uint16_t>(state_.port)
                                                                 : std::nullopt);
  }
}

std::optional<double> ListenerSupervisor::fail(std::uint64_t generation, std::int64_t& attempt,
                                               const std::string& description) {
  if (generation != generation_) return std::nullopt;
  if (current_) {
    std::shared_ptr<HostListener> listener = current_->listener;
    current_.reset();
    if (listener) listener->stop();
  }
  if (lastPort_) {
    if (++failuresOnPort_ >= 2) {
      lastPort_.reset();
      failuresOnPort_ = 0;
    }
  }
  double delay = backoff_.delay(attempt);
  if (attempt < std::numeric_limits<std::int64_t>::max()) ++attempt;
  setState(ListenerState::retrying(attempt, delay));
  transportLog().error("listener failed (%s); retry %ld in %.*fs", description.c_str(), static_cast<long>(attempt), 0,
                       delay);
  return delay;
}

asio::awaitable<void> ListenerSupervisor::run(std::weak_ptr<ListenerSupervisor> weak, std::uint64_t generation) {
  std::int64_t attempt = 0;
  for (;;) {
    auto cancellation = co_await asio::this_coro::cancellation_state;
    std::shared_ptr<ListenerSupervisor> self = weak.lock();
    if (!self || !self->isCurrent(generation, cancellation.cancelled() != asio::cancellation_type::none)) co_return;

    std::string failure;
    std::shared_ptr<HostListener> listener;
    std::function<asio::awaitable<std::uint16_t>()> ready;
    self->requestedPorts_.push_back(self->lastPort_);
    try {
      ListenerStart start = self->factory_(self->lastPort_);
      self->current_ = start;
      listener = start.listener;
      ready = start.ready;
      if (!listener || !ready) throw std::runtime_error("the factory gave no listener");
      listener->start();
    } catch (const std::exception& error) {
      failure = error.what();
    }

    std::optional<std::uint16_t> port;
    if (failure.empty()) {
      self.reset();  // not kept across the wait: a released supervisor ends the run
      try {
        port = co_await ready();
      } catch (const std::exception& error) {
        failure = error.what();
      }
      cancellation = co_await asio::this_coro::cancellation_state;
      self = weak.lock();
      bool cancelled = cancellation.cancelled() != asio::cancellation_type::none;
      if (!self || !self->isCurrent(generation, cancelled)) {
        // Superseded while it waited: only this attempt's own listener is stopped.
        if (port && listener && (!self || generation != self->generation_)) listener->stop();
        co_return;
      }
    }

    if (port) {
      self->lastPort_ = *port;
      self->failuresOnPort_ = 0;
      attempt = 0;
      self->setState(ListenerState::advertising(*port));
      // Whether the port is advertised too is the listener's to say: it logs when it is.
      transportLog().info("listener listening on UDP %hu", *port);
      self.reset();
      AsyncStream<std::shared_ptr<Connection>> incoming = listener->connections();
      for (;;) {
        std::optional<std::shared_ptr<Connection>> connection = co_await incoming.next();
        cancellation = co_await asio::this_coro::cancellation_state;
        self = weak.lock();
        if (!self || !self->isCurrent(generation, cancellation.cancelled() != asio::cancellation_type::none)) {
          co_return;
        }
        if (!connection) break;
        self->onConnection_(std::move(*connection));
        self.reset();
      }
      failure = stoppedUnexpectedly;
    }

    std::optional<double> delay = self->fail(generation, attempt, failure);
    if (!delay) co_return;
    std::shared_ptr<Clock> clock = self->clock_;
    self.reset();
    co_await clock->sleep(Clock::seconds(*delay));
  }
}

}  // namespace brindlet::host
