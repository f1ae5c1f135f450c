#pragma once

// Keeps this computer reachable from outside the local network while remote access is on: it
// obtains relay admissions from the coordinator, registers with a relay through a host tunnel,
// keeps the token fresh, and forwards every device the relay attaches into the local QUIC
// listener, one loopback UDP flow per device, so relayed devices arrive like local ones.
//
//   auto service = RelayHostService::make(executor, clock, coordinator, signer, listenerPort, denied, {});
//   service->setRelaysHandler([](std::vector<RelayEndpoint> relays) { ... });   // the relay in use
//   service->setFatalHandler([](CoordinatorError error) { ... });              // enrolment gone
//   service->start();
//   auto statuses = service->statuses();                                      // one consumer
//   service->stop();                                                          // ends statuses
//
// When a relay of the admission's list cannot be reached before registering, the next one is
// tried, in order; the relays handler is told the relay that accepted the registration.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/protocol/RelayEndpoint.h"
#include "kit/relay/CoordinatorClient.h"
#include "kit/relay/RelayTunnel.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"
#include "platform/log/Log.h"

namespace brindlet {

class LoopbackUDP;

class RelayHostService final : public std::enable_shared_from_this<RelayHostService> {
 public:
  struct Status {
    enum class Kind { registered, error, stopped, connecting };
    Kind kind = Kind::stopped;
    std::string detail;  // the region (registered) or the message (error)

    static Status registered(std::string region) { return {Kind::registered, std::move(region)}; }
    static Status error(std::string message) { return {Kind::error, std::move(message)}; }
    static Status stopped() { return {Kind::stopped, {}}; }
    static Status connecting() { return {Kind::connecting, {}}; }

    // What the menu shows: "Ready", "Ready · Singapore", the error, "Remote access off", "Connecting…".
    std::string text() const;
    bool operator==(const Status&) const = default;
  };

  struct Options {
    std::vector<Clock::Duration> retryBackoff{std::chrono::seconds(2), std::chrono::seconds(5),
                                              std::chrono::seconds(10), std::chrono::seconds(30)};
    Clock::Duration keepaliveInterval = std::chrono::seconds(15);
    // Loopback flows (one socket each) a relay session may hold; datagrams of further peers are
    // dropped, so a relay that names endless peers cannot use up the process's descriptors.
    std::size_t maxFlows = 64;
    // The tunnels' retry interval, attempts and path watcher (keepalive taken from above).
    RelayTunnel::Options tunnel;
  };

  static std::shared_ptr<RelayHostService> make(const Executor& executor, std::shared_ptr<Clock> clock,
                                                std::shared_ptr<CoordinatorClient> coordinator,
                                                std::shared_ptr<RelaySigner> signer,
                                                std::optional<std::uint16_t> listenerPort, std::vector<Bytes> denied,
                                                Options options);
  ~RelayHostService();

  AsyncStream<Status> statuses() const { return statuses_; }
  Status current() const;
  void setRelaysHandler(std::function<void(std::vector<RelayEndpoint>)> handler);
  void setFatalHandler(std::function<void(CoordinatorError)> handler);

  void start();  // a second start while running does nothing
  void stop();   // status stopped, statuses end
  void setListenerPort(std::optional<std::uint16_t> port);
  void setDenied(std::vector<Bytes> keys);
  // The device keys the relay is told to refuse.
  std::vector<Bytes> denied() const;

  RelayHostService(const Executor& executor, std::shared_ptr<Clock> clock,
                   std::shared_ptr<CoordinatorClient> coordinator, std::shared_ptr<RelaySigner> signer,
                   std::optional<std::uint16_t> listenerPort, std::vector<Bytes> denied, Options options);

 private:
  struct Session;
  struct Routes;

  void setStatus(Status status);
  void fail(const CoordinatorError& error);
  std::shared_ptr<LoopbackUDP> flowFor(Routes& routes, std::uint32_t peer);

  static asio::awaitable<void> run(std::shared_ptr<RelayHostService> self);
  // Nothing for a clean end (after registering); otherwise why the session ended.
  static asio::awaitable<std::optional<std::string>> runSession(std::shared_ptr<RelayHostService> self,
                                                                RelayCandidate relay, RelayAdmission admission,
                                                                bool& registered);
  static asio::awaitable<void> refreshTokens(std::weak_ptr<RelayHostService> weak, RelayAdmission admission);

  Strand strand_;
  const std::shared_ptr<Clock> clock_;
  const std::shared_ptr<CoordinatorClient> coordinator_;
  const std::shared_ptr<RelaySigner> signer_;
  const Options options_;
  const platform::Logger log_;
  AsyncStream<Status> statuses_;

  mutable std::mutex lock_;
  Status current_;
  std::optional<std::uint16_t> listenerPort_;
  std::uint64_t portGeneration_ = 0;
  std::vector<Bytes> denied_;
  std::shared_ptr<RelayTunnel> tunnel_;
  std::shared_ptr<Routes> routes_;  // the current session's
  std::function<void(std::vector<RelayEndpoint>)> relaysHandler_;
  std::function<void(CoordinatorError)> fatalHandler_;
  Task task_;
  bool running_ = false;
};

}  // namespace brindlet
