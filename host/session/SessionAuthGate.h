#pragma once

#include <memory>

#include "kit/pairing/HostAuthGate.h"
#include "kit/pairing/HostAuthGating.h"

namespace brindlet::host {

// A connection's HostAuthGate as its session uses it.
class SessionAuthGate final : public HostAuthGating {
 public:
  explicit SessionAuthGate(std::shared_ptr<HostAuthGate> gate) : gate_(std::move(gate)) {}

  asio::awaitable<void> start() override { return gate_->start(); }
  asio::awaitable<AuthVerdict> handle(Message message) override;
  asio::awaitable<void> connectionClosed() override { return gate_->connectionClosed(); }
  asio::awaitable<std::optional<UUID>> authenticatedDeviceID() override { return gate_->authenticatedDeviceID(); }
  asio::awaitable<std::optional<Bytes>> authenticatedPublicKey() override {
    return gate_->authenticatedPublicKey();
  }

  const std::shared_ptr<HostAuthGate>& gate() const { return gate_; }

 private:
  std::shared_ptr<HostAuthGate> gate_;
};

}  // namespace brindlet::host
