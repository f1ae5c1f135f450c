#pragma once

// Hands each device that says hello what it needs to reach this host through a relay: the
// relays the relay service registered with and a join grant for the device's key, valid for 30
// days. Read from session tasks on any thread; changed by the relay controller.
//
//   std::optional<RelayProvision> provision = provisioner.provision(deviceKey);

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "host/session/RelayProvision.h"

namespace brindlet {
class RelaySigner;
}

namespace brindlet::host {

class RelaySettings;

class RelayProvisioner {
 public:
  RelayProvisioner(std::shared_ptr<RelaySettings> settings, std::shared_ptr<Clock> clock);

  // Nothing while inactive, without relays or without a signer, or when the grant cannot be
  // signed. A device given relay access is no longer denied.
  std::optional<RelayProvision> provision(const Bytes& deviceKey);

  void setSigner(std::shared_ptr<RelaySigner> signer);
  // No relays for anybody until a newer service reports them; returns that service's number.
  std::uint64_t deactivate();
  // The relays the service with `generation` registered with; ignored (false) once a newer
  // service replaced it.
  bool activate(std::uint64_t generation, std::vector<RelayEndpoint> relays);
  bool isActive() const;

 private:
  std::shared_ptr<RelaySettings> settings_;
  std::shared_ptr<Clock> clock_;
  mutable std::mutex lock_;
  std::shared_ptr<RelaySigner> signer_;
  std::vector<RelayEndpoint> relays_;
  bool active_ = false;
  std::uint64_t generation_ = 0;
};

}  // namespace brindlet::host
