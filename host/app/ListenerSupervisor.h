#pragma once

// Keeps the host's network listener running and advertised. It asks a factory for a
// listener, starts it, waits until it is ready, publishes its UDP port, hands every incoming
// connection on, and when anything in that chain fails (or the listener stops by itself)
// retries after min(2^k, 30) s. It asks again for the last port that worked, so devices
// that know it keep reaching the host, until that port has failed twice in a row.
//
//   auto supervisor = ListenerSupervisor::make(mainStrand, factory, onConnection, BackoffPolicy{}, clock);
//   supervisor->onPortChange = [](std::optional<std::uint16_t> port) { ... };
//   supervisor->start();                 // again after a wake or a network change: restarts
//
// It lives on the application's main strand: every operation, callback and state change
// happens there. Each start() supersedes the run before it; a superseded run notices at its
// next step (its task is cancelled and its generation is stale) and ends without touching
// the supervisor.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/support/Task.h"
#include "kit/transport/Connection.h"
#include "kit/transport/HostListener.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

// A created listener and the wait for its bound UDP port. The listener is not started yet.
struct ListenerStart {
  std::shared_ptr<HostListener> listener;
  std::function<asio::awaitable<std::uint16_t>()> ready;
};

// What listener supervision is doing.
struct ListenerState {
  enum class Kind { idle, starting, advertising, retrying };

  Kind kind = Kind::idle;
  std::uint16_t port = 0;    // advertising
  std::int64_t attempt = 0;  // retrying: failures in a row of the current run
  double delay = 0;          // retrying: seconds until the next attempt

  static ListenerState idle() { return {}; }
  static ListenerState starting() { return {Kind::starting}; }
  static ListenerState advertising(std::uint16_t port) { return {Kind::advertising, port}; }
  static ListenerState retrying(std::int64_t attempt, double delay) { return {Kind::retrying, 0, attempt, delay}; }

  bool operator==(const ListenerState&) const = default;
};

// The delay before a retry: min(base × factor^k, maximum) seconds, k being the failures of
// the run before the current one.
struct BackoffPolicy {
  double base = 1;
  double factor = 2;
  double maximum = 30;

  // Never more than `maximum`, and finite however large k grows.
  double delay(std::int64_t k) const;

  bool operator==(const BackoffPolicy&) const = default;
};

// What a restart, a wake and the network-path watch need of listener supervision.
class ListenerControlling {
 public:
  virtual ~ListenerControlling() = default;
  virtual ListenerState state() const = 0;
  virtual void start() = 0;
};

class ListenerSupervisor final : public ListenerControlling, public std::enable_shared_from_this<ListenerSupervisor> {
 public:
  // Builds the listener of one attempt on the requested port (nothing: any free port).
  // Throws when it cannot.
  using Factory = std::function<ListenerStart(std::optional<std::uint16_t>)>;
  using ConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;

  static std::shared_ptr<ListenerSupervisor> make(Strand strand, Factory factory, ConnectionHandler onConnection,
                                                  BackoffPolicy backoff, std::shared_ptr<Clock> clock);

  ListenerState state() const override { return state_; }
  // (Re)starts supervision. On the main strand.
  void start() override;
  // Cancels the current run and stops its listener; the state and the remembered port stay.
  void stop();

  // Told the advertised port (nothing while not advertising) after every state change.
  std::function<void(std::optional<std::uint16_t>)> onPortChange;
  // Told each new state, only when it differs from the previous one.
  std::function<void(const ListenerState&)> onStateChange;

  // Every port asked of the factory, in order (nothing: any port).
  const std::vector<std::optional<std::uint16_t>>& requestedPorts() const { return requestedPorts_; }
  std::optional<std::uint16_t> lastPort() const { return lastPort_; }
  int failuresOnPort() const { return failuresOnPort_; }
  std::uint64_t generation() const { return generation_; }

  ListenerSupervisor(Strand strand, Factory factory, ConnectionHandler onConnection, BackoffPolicy backoff,
                     std::shared_ptr<Clock> clock);

 private:
  static asio::awaitable<void> run(std::weak_ptr<ListenerSupervisor> weak, std::uint64_t generation);
  bool isCurrent(std::uint64_t generation, bool cancelled) const;
  void setState(ListenerState state);
  // The failure steps; false when the run is no longer current. Gives the delay to wait.
  std::optional<double> fail(std::uint64_t generation, std::int64_t& attempt, const std::string& description);

  Strand strand_;
  Factory factory_;
  ConnectionHandler onConnection_;
  BackoffPolicy backoff_;
  std::shared_ptr<Clock> clock_;

  ListenerState state_;
  std::uint64_t generation_ = 0;
  Task task_;
  std::optional<ListenerStart> current_;
  std::optional<std::uint16_t> lastPort_;
  int failuresOnPort_ = 0;
  std::vector<std::optional<std::uint16_t>> requestedPorts_;
};

}  // namespace brindlet::host
