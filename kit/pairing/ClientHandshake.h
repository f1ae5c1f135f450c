#pragma once

// The device's half of authentication and pairing: answers the host's challenge with a
// signature and, when the host does not know the device, pairs by token or by compared code.
//
//   auto event = co_await ClientHandshake::run(connection, identity,
//                                              ClientHandshake::Purpose::pairWithToken(link.token),
//                                              "iPad", [&] { return std::optional(link.fingerprint); },
//                                              30, [](const std::string& code) { show(code); }, clock);
//   if (event == ClientHandshake::Event::authenticated()) ...   // session traffic may start

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kit/pairing/ClientIdentity.h"
#include "kit/protocol/Message.h"
#include "base/Clock.h"
#include "kit/transport/Connection.h"

namespace brindlet {

class ClientHandshake {
 public:
  struct Purpose {
    enum class Kind { pairWithToken, authenticate, pairByComparison };
    Kind kind = Kind::authenticate;
    Bytes token;  // pairWithToken only

    // Pair with the token of the host's pairing link (a paired device just authenticates).
    static Purpose pairWithToken(Bytes token) { return Purpose{Kind::pairWithToken, std::move(token)}; }
    // Authenticate only: being unknown to the host is a result.
    static Purpose authenticate() { return Purpose{Kind::authenticate, {}}; }
    // Pair by compared code when the host does not know the device.
    static Purpose pairByComparison() { return Purpose{Kind::pairByComparison, {}}; }
  };

  struct Event {
    enum class Kind { showCode, pairingFailed, failed, authenticated, notPaired, denied };
    Kind kind = Kind::failed;
    std::string text;                            // the code of showCode, the reason of failed
    PairResult pairResult = PairResult::failed;  // pairingFailed only

    static Event showCode(std::string code) { return Event{Kind::showCode, std::move(code), PairResult::failed}; }
    static Event pairingFailed(PairResult result) { return Event{Kind::pairingFailed, {}, result}; }
    static Event failed(std::string reason) { return Event{Kind::failed, std::move(reason), PairResult::failed}; }
    static Event authenticated() { return Event{Kind::authenticated, {}, PairResult::failed}; }
    static Event notPaired() { return Event{Kind::notPaired, {}, PairResult::failed}; }
    static Event denied() { return Event{Kind::denied, {}, PairResult::failed}; }

    bool operator==(const Event&) const = default;
  };

  // The SHA-256 fingerprint of the host certificate as the device knows it, asked when the
  // challenge arrives; nothing when it is not known yet.
  using FingerprintSource = std::function<std::optional<Bytes>()>;
  // Receives every event; called from whichever thread handles the message.
  using EventHandler = std::function<void(const Event&)>;

  ClientHandshake(std::shared_ptr<Connection> connection, ClientIdentity identity, Purpose purpose,
                  std::string deviceName, FingerprintSource hostFingerprint, EventHandler onEvent);

  // Reacts to one message from the host: true when it belonged to the handshake, false for
  // session traffic. Any thread.
  bool handle(const Message& message);
  // True once a final event has been emitted.
  bool isFinished() const;

  // Runs a whole handshake on the connection's messages and returns its final event:
  // failed("timed out") after `timeLimit` seconds, failed("connection closed") when the
  // messages end first. showCode goes to `onCode`.
  static asio::awaitable<Event> run(std::shared_ptr<Connection> connection, ClientIdentity identity, Purpose purpose,
                                    std::string deviceName, FingerprintSource hostFingerprint, double timeLimit,
                                    std::function<void(const std::string&)> onCode, std::shared_ptr<Clock> clock);

 private:
  void end(const Event& event);
  void answerChallenge(const Bytes& nonce);

  const std::shared_ptr<Connection> connection_;
  const ClientIdentity identity_;
  const Purpose purpose_;
  const std::string deviceName_;
  const FingerprintSource hostFingerprint_;
  const EventHandler onEvent_;

  mutable std::mutex lock_;
  Bytes clientNonce_;
  Bytes fingerprintUsed_;
  bool finished_ = false;
};

}  // namespace brindlet
