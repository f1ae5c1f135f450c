#include "kit/pairing/HostPairingService.h"

#include <algorithm>

#include "kit/pairing/AuthCrypto.h"

namespace brindlet {
namespace {

// Runs `body` on the actor's strand: each public operation is one of these.
template <class T, class Body>
asio::awaitable<T> onStrand(Body body) {
  co_return body();
}

template <class Body>
asio::awaitable<void> onStrandVoid(Body body) {
  body();
  co_return;
}

}  // namespace

HostPairingService::HostPairingService(const Executor& executor, UUID hostID, std::string hostName,
                                       Bytes hostFingerprint, std::shared_ptr<PairedDeviceStore> store,
                                       std::shared_ptr<PairingConfirming> confirmer, DateSource clock)
    : Actor(executor),
      hostID_(hostID),
      hostName_(std::move(hostName)),
      hostFingerprint_(std::move(hostFingerprint)),
      store_(std::move(store)),
      confirmer_(std::move(confirmer)),
      clock_(clock ? std::move(clock) : DateSource(&HostPairingService::systemDate)) {}

void HostPairingService::notifyChange() const {
  if (changeHandler_) changeHandler_();
}

asio::awaitable<void> HostPairingService::setChangeHandler(ChangeHandler handler) {
  return isolated(
      onStrandVoid([this, handler = std::move(handler)]() mutable { changeHandler_ = std::move(handler); }));
}

asio::awaitable<PairingToken> HostPairingService::issuePairingToken() {
  return isolated(onStrand<PairingToken>([this] {
    token_ = PairingToken{AuthCrypto::randomBytes(16), clock_() + tokenLifetime};
    return *token_;
  }));
}

asio::awaitable<void> HostPairingService::clearToken() {
  return isolated(onStrandVoid([this] { token_.reset(); }));
}

PairingURL HostPairingService::pairingURL(const PairingToken& token) const {
  return PairingURL{hostID_, hostName_, hostFingerprint_, token.value};
}

asio::awaitable<TokenCheck> HostPairingService::verifyPairingProof(Bytes proof, Bytes publicKey, UUID deviceID) {
  return isolated(onStrand<TokenCheck>([this, proof = std::move(proof), publicKey = std::move(publicKey), deviceID] {
    if (!token_) return TokenCheck::invalid;
    if (!(clock_() < token_->expiresAt)) {
      token_.reset();
      return TokenCheck::expired;
    }
    Bytes mac = AuthCrypto::pairingProof(token_->value, hostFingerprint_, publicKey, deviceID);
    if (!AuthCrypto::constantTimeEqual(mac, proof)) return TokenCheck::invalid;
    token_.reset();
    return TokenCheck::valid;
  }));
}

asio::awaitable<std::optional<UUID>> HostPairingService::beginPairingAttempt() {
  return isolated(onStrand<std::optional<UUID>>([this]() -> std::optional<UUID> {
    Date now = clock_();
    std::erase_if(attempts_, [&](const Attempt& a) { return now - a.at >= attemptWindow; });
    if (attempts_.size() >= attemptLimit) return std::nullopt;
    UUID id = UUID::random();
    attempts_.push_back(Attempt{id, now});
    return id;
  }));
}

asio::awaitable<void> HostPairingService::endPairingAttempt(UUID id) {
  return isolated(onStrandVoid([this, id] { std::erase_if(attempts_, [&](const Attempt& a) { return a.id == id; }); }));
}

asio::awaitable<bool> HostPairingService::addPairedDevice(PairedDevice device) {
  return isolated(onStrand<bool>([this, device = std::move(device)] {
    if (!store_->upsertPairedDevice(device)) return false;
    notifyChange();
    return true;
  }));
}

asio::awaitable<void> HostPairingService::registerLiveConnection(UUID tag, UUID deviceID,
                                                                 std::shared_ptr<Connection> connection) {
  return isolated(onStrandVoid([this, tag, deviceID, connection = std::move(connection)]() mutable {
    live_.push_back(LiveConnection{tag, deviceID, std::move(connection)});
    {
      std::lock_guard held(store_->lock());
      store_->updatePairedDeviceDateLocked(deviceID, clock_());
    }
    notifyChange();
  }));
}

asio::awaitable<void> HostPairingService::unregisterLiveConnection(UUID tag) {
  return isolated(
      onStrandVoid([this, tag] { std::erase_if(live_, [&](const LiveConnection& l) { return l.tag == tag; }); }));
}

asio::awaitable<void> HostPairingService::forgetDevice(UUID deviceID) {
  return isolated(onStrandVoid([this, deviceID] {
    store_->removePairedDevice(deviceID);
    std::vector<std::shared_ptr<Connection>> taken;
    std::erase_if(live_, [&](const LiveConnection& l) {
      if (l.deviceID != deviceID) return false;
      taken.push_back(l.connection);
      return true;
    });
    for (const auto& connection : taken) connection->close();
    notifyChange();
  }));
}

asio::awaitable<std::set<UUID>> HostPairingService::connectedDeviceIDs() {
  return isolated(onStrand<std::set<UUID>>([this] {
    std::set<UUID> ids;
    for (const auto& l : live_) ids.insert(l.deviceID);
    return ids;
  }));
}

}  // namespace brindlet
