#pragma once

// The host's one pairing authority, shared by every connection: the host's identity facts,
// the paired-device store, the current pairing token, the bookkeeping of pairing attempts
// and the registry of authenticated live connections. An actor: its operations run one at
// a time on its strand; the constants can be read from anywhere.
//
//   auto service = std::make_shared<HostPairingService>(executor, hostID, "Studio", fingerprint,
//                                                        store, prompter, systemDate);
//   PairingToken token = co_await service->issuePairingToken();
//   std::string link = service->pairingURL(token).url();

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kit/pairing/PairedDeviceStore.h"
#include "kit/pairing/PairingConfirming.h"
#include "kit/pairing/PairingToken.h"
#include "kit/pairing/PairingURL.h"
#include "kit/pairing/TokenCheck.h"
#include "kit/support/Actor.h"
#include "kit/transport/Connection.h"

namespace brindlet {

class HostPairingService : public Actor, public std::enable_shared_from_this<HostPairingService> {
 public:
  using DateSource = std::function<Date()>;
  using ChangeHandler = std::function<void()>;

  static constexpr std::chrono::seconds tokenLifetime{300};
  static constexpr std::chrono::seconds attemptWindow{60};
  static constexpr std::size_t attemptLimit = 3;

  // The system's date source, for the application.
  static Date systemDate() { return std::chrono::system_clock::now(); }

  HostPairingService(const Executor& executor, UUID hostID, std::string hostName, Bytes hostFingerprint,
                     std::shared_ptr<PairedDeviceStore> store, std::shared_ptr<PairingConfirming> confirmer,
                     DateSource clock);

  const UUID& hostID() const { return hostID_; }
  const std::string& hostName() const { return hostName_; }
  const Bytes& hostFingerprint() const { return hostFingerprint_; }
  const std::shared_ptr<PairedDeviceStore>& store() const { return store_; }
  const std::shared_ptr<PairingConfirming>& confirmer() const { return confirmer_; }

  // Told (on the service's strand; it must return at once) when paired devices or live
  // connections changed.
  asio::awaitable<void> setChangeHandler(ChangeHandler handler);

  // A fresh token valid for 300 s, replacing any earlier one.
  asio::awaitable<PairingToken> issuePairingToken();
  // No token from now on: a link already shown stops working.
  asio::awaitable<void> clearToken();
  // The pairing link of this host with the token's value (not checked to be current).
  PairingURL pairingURL(const PairingToken& token) const;

  // Checks a token proof over the device's X9.63 key and ID against the current token. A
  // valid proof uses the token up; an expired token is dropped.
  asio::awaitable<TokenCheck> verifyPairingProof(Bytes proof, Bytes publicKey, UUID deviceID);

  // A new attempt, or nothing when 3 begun within the last 60 s have not ended.
  asio::awaitable<std::optional<UUID>> beginPairingAttempt();
  asio::awaitable<void> endPairingAttempt(UUID id);

  // Stores a newly paired device and tells the change handler. False when the paired-device
  // file could not be written (nothing is stored then).
  asio::awaitable<bool> addPairedDevice(PairedDevice device);

  // An authenticated connection: listed as live; the device's lastSeen is stamped.
  asio::awaitable<void> registerLiveConnection(UUID tag, UUID deviceID, std::shared_ptr<Connection> connection);
  asio::awaitable<void> unregisterLiveConnection(UUID tag);
  // Removes the device from the store and closes its live connections.
  asio::awaitable<void> forgetDevice(UUID deviceID);

  asio::awaitable<std::set<UUID>> connectedDeviceIDs();

 private:
  struct Attempt {
    UUID id;
    Date at;
  };
  struct LiveConnection {
    UUID tag;
    UUID deviceID;
    std::shared_ptr<Connection> connection;
  };

  void notifyChange() const;

  const UUID hostID_;
  const std::string hostName_;
  const Bytes hostFingerprint_;
  const std::shared_ptr<PairedDeviceStore> store_;
  const std::shared_ptr<PairingConfirming> confirmer_;
  const DateSource clock_;

  // Touched on the strand only.
  std::optional<PairingToken> token_;
  std::vector<Attempt> attempts_;
  std::vector<LiveConnection> live_;
  ChangeHandler changeHandler_;
};

}  // namespace brindlet
