#pragma once

// The host's door keeper for one incoming connection. It challenges the device, checks its
// signature over a transcript bound to the host certificate (and, on QUIC, to the TLS
// session), admits a paired device, lets an unknown one pair by token or by compared code,
// and refuses everything else. Only messages it answers with `proceed` are session traffic.
//
//   auto gate = HostAuthGate::make(executor, connection, service, AuthTimeouts{}, onAuthenticated, clock);
//   co_await gate->start();                                  // sends the challenge
//   while (auto message = co_await messages.next())
//     if (co_await gate->handle(*message) == HostAuthGate::Verdict::proceed) dispatch(*message);
//   co_await gate->connectionClosed();
//
// An actor: its operations run one at a time on its strand. Every step that waits (for the
// pairing service or the user) looks at the phase again when it resumes: once closed, by a
// deadline, a refusal or the end of the connection, the gate stays closed and admits nobody.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kit/pairing/AuthTimeouts.h"
#include "kit/pairing/HostAuthGating.h"
#include "kit/pairing/HostPairingService.h"
#include "kit/support/Actor.h"
#include "base/Clock.h"
#include "kit/support/Task.h"
#include "kit/transport/Connection.h"

namespace brindlet {

class HostAuthGate final : public HostAuthGating, public Actor, public std::enable_shared_from_this<HostAuthGate> {
 public:
  // consumed: handled or dropped by the gate, the caller must not act on it; proceed:
  // session traffic of the authenticated device.
  using Verdict = AuthVerdict;
  // Called once, on the gate's strand, when a device is admitted: after its connection was
  // registered with the pairing service and before the success message is sent. It must
  // return quickly and not call back into the gate.
  using AuthenticatedHandler = std::function<void(const UUID& deviceID)>;

  static std::shared_ptr<HostAuthGate> make(const Executor& executor, std::shared_ptr<Connection> connection,
                                            std::shared_ptr<HostPairingService> service, AuthTimeouts timeouts,
                                            AuthenticatedHandler onAuthenticated, std::shared_ptr<Clock> clock);

  // Sends the challenge and arms the response deadline. Once, when the connection is accepted.
  asio::awaitable<void> start() override;
  // Offered every incoming message, before and after authentication.
  asio::awaitable<Verdict> handle(Message message) override;
  bool admits(const Message& message) const override;
  // The connection's message stream has ended.
  asio::awaitable<void> connectionClosed() override;

  // The admitted device and its X9.63 public key; nothing until a device is admitted.
  asio::awaitable<std::optional<UUID>> authenticatedDeviceID() override;
  asio::awaitable<std::optional<Bytes>> authenticatedPublicKey() override;

  // The name a pairing device is stored and shown under: trimmed of white space and line
  // breaks, at most 64 user-perceived characters, "Unknown device" when nothing is left.
  static std::string cleanDeviceName(std::string_view name);

  HostAuthGate(const Executor& executor, std::shared_ptr<Connection> connection,
               std::shared_ptr<HostPairingService> service, AuthTimeouts timeouts, AuthenticatedHandler onAuthenticated,
               std::shared_ptr<Clock> clock);

 private:
  enum class Phase { awaitingResponse, processing, pairingOnly, committed, awaitingUser, authenticated, closed };

  asio::awaitable<void> startNow();
  asio::awaitable<Verdict> handleNow(Message message);
  asio::awaitable<void> connectionClosedNow();

  asio::awaitable<void> handleAuthResponse(msg::AuthResponse response);
  asio::awaitable<bool> becomeAuthenticated(UUID deviceID);
  asio::awaitable<void> handlePairRequest(msg::PairRequest request);
  void handlePairReveal(const Bytes& clientNonce);
  asio::awaitable<void> completePairing();
  void finish(Message message);
  void armDeadline(double seconds);
  void deadlineExpired(std::uint64_t generation);

  static asio::awaitable<void> deadlineTask(std::weak_ptr<HostAuthGate> gate, std::shared_ptr<Clock> clock,
                                            double seconds, std::uint64_t generation);
  static asio::awaitable<void> decisionTask(std::weak_ptr<HostAuthGate> gate,
                                            std::shared_ptr<PairingConfirming> confirmer, std::shared_ptr<Clock> clock,
                                            double seconds, std::string deviceName, std::string code);
  static asio::awaitable<void> flushThenClose(std::shared_ptr<Clock> clock, std::shared_ptr<Connection> connection,
                                              double seconds);

  const std::shared_ptr<Connection> connection_;
  const std::shared_ptr<HostPairingService> service_;
  const AuthTimeouts timeouts_;
  const UUID tag_;
  const AuthenticatedHandler onAuthenticated_;
  const std::shared_ptr<Clock> clock_;

  // Touched on the strand only.
  Phase phase_ = Phase::awaitingResponse;
  Bytes nonce_;
  std::optional<UUID> deviceID_;
  std::optional<Bytes> publicKey_;
  Bytes commitment_;
  Bytes hostNonce_;
  std::string deviceName_;
  std::optional<UUID> attempt_;
  Task deadline_;
  std::uint64_t deadlineGeneration_ = 0;
  Task decision_;
  Task flush_;
  bool registered_ = false;  // listed with the pairing service as a live connection
  // Set once a device is admitted, cleared when the gate closes; read from any thread.
  std::atomic<bool> admitted_{false};
  std::optional<UUID> authenticatedDeviceID_;
  std::optional<Bytes> authenticatedPublicKey_;
};

}  // namespace brindlet
