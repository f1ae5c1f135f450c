#include "host/app/RelayProvisioner.h"

#include "host/app/RelaySettings.h"
#include "kit/relay/RelayJoinGrant.h"
#include "kit/relay/RelaySigner.h"

namespace brindlet::host {

RelayProvisioner::RelayProvisioner(std::shared_ptr<RelaySettings> settings, std::shared_ptr<Clock> clock)
    : settings_(std::move(settings)), clock_(std::move(clock)) {}

std::optional<RelayProvision> RelayProvisioner::provision(const Bytes& deviceKey) {
  std::shared_ptr<RelaySigner> signer;
  std::vector<RelayEndpoint> relays;
  {
    std::lock_guard lock(lock_);
    if (!active_ || relays_.empty() || !signer_) return std::nullopt;
    signer = signer_;
    relays = relays_;
  }
  Bytes grant;
  try {
    grant = issueRelayJoinGrant(deviceKey, *signer, clock_->wallNow(), relayGrantValidity);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  settings_->liftDenial(deviceKey);
  return RelayProvision{std::move(relays), std::move(grant)};
}

void RelayProvisioner::setSigner(std::shared_ptr<RelaySigner> signer) {
  std::lock_guard lock(lock_);
  signer_ = std::move(signer);
}

std::uint64_t RelayProvisioner::deactivate() {
  std::lock_guard lock(lock_);
  active_ = false;
  relays_.clear();
  return ++generation_;
}

bool RelayProvisioner::activate(std::uint64_t generation, std::vector<RelayEndpoint> relays) {
  std::lock_guard lock(lock_);
  if (generation != generation_) return false;
  relays_ = std::move(relays);
  active_ = true;
  return true;
}

bool RelayProvisioner::isActive() const {
  std::lock_guard lock(lock_);
  return active_;
}

}  // namespace brindlet::host
