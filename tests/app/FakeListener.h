#pragma once

// A host listener for supervision tests: the test decides when it becomes ready (and on
// which port), when it fails, and which connections arrive.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "host/app/HostComposition.h"
#include "kit/support/AsyncStream.h"
#include "kit/transport/HostListener.h"

namespace brindlet::testing {

class FakeListener final : public HostListener {
 public:
  void start() override {
    if (failStart) throw std::runtime_error("start refused");
    started = true;
  }
  AsyncStream<std::shared_ptr<Connection>> connections() override { return connections_; }
  void stop() override {
    stopped = true;
    readiness_.finish();
    connections_.finish();
  }

  void becomeReady(std::uint16_t port) { readiness_.yield(port); }
  void failReadiness() { readiness_.finish(); }
  void deliver(std::shared_ptr<Connection> connection) { connections_.yield(std::move(connection)); }
  // The connections end by themselves, as when the network listener fails after it was ready.
  void endConnections() { connections_.finish(); }

  host::ListenerStart listenerStart(const std::shared_ptr<FakeListener>& self) {
    AsyncStream<std::uint16_t> readiness = readiness_;
    return {self, [readiness] { return waitReady(readiness); }};
  }

  static asio::awaitable<std::uint16_t> waitReady(AsyncStream<std::uint16_t> readiness) {
    std::optional<std::uint16_t> port = co_await readiness.next();
    if (!port) throw std::runtime_error("listener failed before it was ready");
    co_return *port;
  }

  bool failStart = false;
  bool started = false;
  bool stopped = false;

 private:
  AsyncStream<std::uint16_t> readiness_;
  AsyncStream<std::shared_ptr<Connection>> connections_;
};

// A factory that records the ports asked for and hands out fake listeners (or throws).
struct FakeListenerFactory {
  std::vector<std::optional<std::uint16_t>> requests;
  std::vector<std::shared_ptr<FakeListener>> listeners;
  bool failing = false;

  host::ListenerStart make(std::optional<std::uint16_t> port) {
    requests.push_back(port);
    if (failing) throw std::runtime_error("no socket");
    auto listener = std::make_shared<FakeListener>();
    listeners.push_back(listener);
    return listener->listenerStart(listener);
  }
  std::shared_ptr<FakeListener> last() const { return listeners.empty() ? nullptr : listeners.back(); }
};

}  // namespace brindlet::testing
