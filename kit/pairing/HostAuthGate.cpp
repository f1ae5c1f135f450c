#include "kit/pairing/HostAuthGate.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/this_coro.hpp>

#include "kit/pairing/AuthCrypto.h"
#include "kit/pairing/PairingLog.h"
#include "platform/crypto/Digest.h"
#include "platform/crypto/P256PublicKey.h"
#include "platform/log/Log.h"

namespace brindlet {
namespace {

// The seven messages of the handshake: authChallenge (0x11) to pairResult (0x17).
bool isHandshakeMessage(const Message& message) { return message.type() >= 0x11 && message.type() <= 0x17; }

bool isNameSpace(UChar32 c) { return u_isUWhiteSpace(c) || c == 0x85 || c == 0x2028 || c == 0x2029; }

asio::awaitable<void> sleepFor(std::shared_ptr<Clock> clock, Clock::Duration duration) {
  co_await clock->sleep(duration);
}

constexpr std::int32_t maxNameCharacters = 64;

}  // namespace

std::shared_ptr<HostAuthGate> HostAuthGate::make(const Executor& executor, std::shared_ptr<Connection> connection,
                                                 std::shared_ptr<HostPairingService> service, AuthTimeouts timeouts,
                                                 AuthenticatedHandler onAuthenticated, std::shared_ptr<Clock> clock) {
  return std::make_shared<HostAuthGate>(executor, std::move(connection), std::move(service), timeouts,
                                        std::move(onAuthenticated), std::move(clock));
}

HostAuthGate::HostAuthGate(const Executor& executor, std::shared_ptr<Connection> connection,
                           std::shared_ptr<HostPairingService> service, AuthTimeouts timeouts,
                           AuthenticatedHandler onAuthenticated, std::shared_ptr<Clock> clock)
    : Actor(executor),
      connection_(std::move(connection)),
      service_(std::move(service)),
      timeouts_(timeouts),
      tag_(UUID::random()),
      onAuthenticated_(std::move(onAuthenticated)),
      clock_(std::move(clock)) {}

std::string HostAuthGate::cleanDeviceName(std::string_view name) {
  icu::UnicodeString text =
      icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), static_cast<int32_t>(name.size())));
  std::int32_t start = 0;
  std::int32_t end = text.length();
  while (start < end && isNameSpace(text.char32At(start))) start = text.moveIndex32(start, 1);
  while (end > start) {
    std::int32_t before = text.moveIndex32(end, -1);
    if (!isNameSpace(text.char32At(before))) break;
    end = before;
  }
  icu::UnicodeString trimmed(text, start, end - start);
  if (trimmed.isEmpty()) return "Unknown device";

  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_SUCCESS(status)) {
    characters->setText(trimmed);
    std::int32_t count = 0;
    for (std::int32_t boundary = characters->next(); boundary != icu::BreakIterator::DONE;
         boundary = characters->next()) {
      if (++count == maxNameCharacters) {
        trimmed.truncate(boundary);
        break;
      }
    }
  }
  std::string out;
  trimmed.toUTF8String(out);
  return out;
}

// Public face: each operation runs on the gate's strand.

asio::awaitable<void> HostAuthGate::start() { return isolated(startNow()); }
asio::awaitable<HostAuthGate::Verdict> HostAuthGate::handle(Message message) {
  return isolated(handleNow(std::move(message)));
}
asio::awaitable<void> HostAuthGate::connectionClosed() { return isolated(connectionClosedNow()); }

bool HostAuthGate::admits(const Message& message) const {
  return admitted_.load(std::memory_order_acquire) && !isHandshakeMessage(message);
}

asio::awaitable<std::optional<UUID>> HostAuthGate::authenticatedDeviceID() {
  co_return co_await isolated(
      [](HostAuthGate* gate) -> asio::awaitable<std::optional<UUID>> { co_return gate->authenticatedDeviceID_; }(this));
}

asio::awaitable<std::optional<Bytes>> HostAuthGate::authenticatedPublicKey() {
  co_return co_await isolated([](HostAuthGate* gate) -> asio::awaitable<std::optional<Bytes>> {
    co_return gate->authenticatedPublicKey_;
  }(this));
}

// Steps on the strand.

asio::awaitable<void> HostAuthGate::startNow() {
  nonce_ = AuthCrypto::randomBytes(32);
  Message challenge = msg::AuthChallenge{nonce_};
  connection_->send(challenge);
  armDeadline(timeouts_.response);
  co_return;
}

asio::awaitable<HostAuthGate::Verdict> HostAuthGate::handleNow(Message message) {
  switch (phase_) {
    case Phase::awaitingResponse:
      if (auto* response = message.as<msg::AuthResponse>()) co_await handleAuthResponse(std::move(*response));
      break;
    case Phase::pairingOnly:
      if (auto* request = message.as<msg::PairRequest>()) co_await handlePairRequest(std::move(*request));
      break;
    case Phase::committed:
      if (auto* reveal = message.as<msg::PairReveal>()) handlePairReveal(reveal->nonce);
      break;
    case Phase::authenticated:
      if (!isHandshakeMessage(message)) co_return Verdict::proceed;
      break;
    case Phase::processing:
    case Phase::awaitingUser:
    case Phase::closed:
      break;
  }
  co_return Verdict::consumed;
}

asio::awaitable<void> HostAuthGate::handleAuthResponse(msg::AuthResponse response) {
  phase_ = Phase::processing;
  std::optional<Bytes> exporter = connection_->exporter();
  Message denied = msg::AuthResult{AuthResult::denied};
  if (!platform::P256PublicKey::fromX963(response.publicKey) || response.signature.size() != 64 ||
      !AuthCrypto::verify(response.signature, response.publicKey, nonce_, service_->hostFingerprint(),
                          response.deviceID, exporter)) {
    finish(denied);
    co_return;
  }
  std::optional<PairedDevice> known = service_->store()->pairedDevice(response.deviceID);
  if (!known) {
    deviceID_ = response.deviceID;
    publicKey_ = response.publicKey;
    phase_ = Phase::pairingOnly;
    Message notPaired = msg::AuthResult{AuthResult::notPaired};
    connection_->send(notPaired);
    pairingLog().notice("device %s is not paired; it may pair within %.0f s", response.deviceID.uuidString().c_str(),
                        timeouts_.pairing);
    armDeadline(timeouts_.pairing);
    co_return;
  }
  if (known->publicKey != response.publicKey) {
    finish(denied);
    co_return;
  }
  publicKey_ = response.publicKey;
  if (!co_await becomeAuthenticated(response.deviceID)) co_return;
  Message ok = msg::AuthResult{AuthResult::ok};
  connection_->send(ok);
}

asio::awaitable<bool> HostAuthGate::becomeAuthenticated(UUID deviceID) {
  phase_ = Phase::authenticated;
  authenticatedDeviceID_ = deviceID;
  authenticatedPublicKey_ = publicKey_;
  deadline_.cancel();
  registered_ = true;
  co_await service_->registerLiveConnection(tag_, deviceID, connection_);
  if (phase_ != Phase::authenticated) {
    // The connection ended while it was being registered: it must not stay listed as live.
    if (registered_) {
      registered_ = false;
      co_await service_->unregisterLiveConnection(tag_);
    }
    co_return false;
  }
  if (onAuthenticated_) onAuthenticated_(deviceID);
  admitted_.store(true, std::memory_order_release);
  co_return true;
}

asio::awaitable<void> HostAuthGate::handlePairRequest(msg::PairRequest request) {
  phase_ = Phase::processing;
  if (!deviceID_ || !publicKey_) {
    finish(msg::PairResult{PairResult::failed});
    co_return;
  }
  std::optional<UUID> attempt = co_await service_->beginPairingAttempt();
  if (phase_ != Phase::processing) co_return;  // closed while waiting
  if (!attempt) {
    finish(msg::PairResult{PairResult::rateLimited});
    co_return;
  }
  attempt_ = attempt;
  deviceName_ = cleanDeviceName(request.deviceName);

  if (request.method == PairMethod::token) {
    TokenCheck check = co_await service_->verifyPairingProof(request.proof, *publicKey_, *deviceID_);
    if (phase_ != Phase::processing) co_return;
    switch (check) {
      case TokenCheck::valid:
        co_await completePairing();
        break;
      case TokenCheck::invalid:
        finish(msg::PairResult{PairResult::invalidToken});
        break;
      case TokenCheck::expired:
        finish(msg::PairResult{PairResult::expiredToken});
        break;
    }
    co_return;
  }

  if (request.proof.size() != 32) {
    finish(msg::PairResult{PairResult::failed});
    co_return;
  }
  commitment_ = request.proof;
  hostNonce_ = AuthCrypto::randomBytes(32);
  phase_ = Phase::committed;
  Message nonce = msg::PairNonce{hostNonce_};
  connection_->send(nonce);
}

void HostAuthGate::handlePairReveal(const Bytes& clientNonce) {
  if (!publicKey_ || !AuthCrypto::constantTimeEqual(platform::sha256(clientNonce), commitment_)) {
    finish(msg::PairResult{PairResult::failed});
    return;
  }
  std::string code = AuthCrypto::comparisonCode(service_->hostFingerprint(), *publicKey_, hostNonce_, clientNonce);
  phase_ = Phase::awaitingUser;
  decision_ = spawn(
      decisionTask(weak_from_this(), service_->confirmer(), clock_, timeouts_.confirm, deviceName_, std::move(code)));
}

asio::awaitable<void> HostAuthGate::decisionTask(std::weak_ptr<HostAuthGate> weakGate,
                                                 std::shared_ptr<PairingConfirming> confirmer,
                                                 std::shared_ptr<Clock> clock, double confirmSeconds,
                                                 std::string deviceName, std::string code) {
  using namespace asio::experimental::awaitable_operators;
  bool accepted = false;
  if (confirmer) {
    auto asking = confirmer->confirm(deviceName, code);
    auto timer = sleepFor(clock, Clock::seconds(confirmSeconds));
    auto first = co_await (std::move(asking) || std::move(timer));
    accepted = first.index() == 0 && std::get<0>(first);
  }
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) co_return;
  auto gate = weakGate.lock();
  if (!gate || gate->phase_ != Phase::awaitingUser) co_return;
  if (accepted)
    co_await gate->completePairing();
  else
    gate->finish(msg::PairResult{PairResult::denied});
}

asio::awaitable<void> HostAuthGate::completePairing() {
  if (!deviceID_ || !publicKey_) co_return;
  const Phase expected = phase_;
  PairedDevice device{*deviceID_, deviceName_, *publicKey_, clock_->wallNow(), std::nullopt};
  bool saved = co_await service_->addPairedDevice(device);
  if (phase_ != expected) co_return;  // closed while storing: nobody is admitted
  if (!saved) {
    pairingLog().error("pairing of %s refused: the paired-device file could not be written",
                       deviceID_->uuidString().c_str());
    finish(msg::PairResult{PairResult::failed});
    co_return;
  }
  if (attempt_) {
    UUID attempt = *attempt_;
    attempt_.reset();
    co_await service_->endPairingAttempt(attempt);
    if (phase_ != expected) co_return;
  }
  if (!co_await becomeAuthenticated(*deviceID_)) co_return;
  Message accepted = msg::PairResult{PairResult::accepted};
  connection_->send(accepted);
}

void HostAuthGate::finish(Message message) {
  if (phase_ == Phase::closed) return;
  phase_ = Phase::closed;
  admitted_.store(false, std::memory_order_release);
  deadline_.cancel();
  attempt_.reset();
  connection_->send(message);
  flush_ = spawn(flushThenClose(clock_, connection_, timeouts_.flush));
}

asio::awaitable<void> HostAuthGate::flushThenClose(std::shared_ptr<Clock> clock, std::shared_ptr<Connection> connection,
                                                   double flushSeconds) {
  try {
    co_await clock->sleep(Clock::seconds(flushSeconds));
  } catch (const std::exception&) {
    // Interrupted: close now.
  }
  connection->close();
}

void HostAuthGate::armDeadline(double deadlineSeconds) {
  std::uint64_t generation = ++deadlineGeneration_;
  deadline_ = spawn(deadlineTask(weak_from_this(), clock_, deadlineSeconds, generation));
}

asio::awaitable<void> HostAuthGate::deadlineTask(std::weak_ptr<HostAuthGate> weakGate, std::shared_ptr<Clock> clock,
                                                 double deadlineSeconds, std::uint64_t generation) {
  co_await clock->sleep(Clock::seconds(deadlineSeconds));
  if (auto gate = weakGate.lock()) gate->deadlineExpired(generation);
}

void HostAuthGate::deadlineExpired(std::uint64_t generation) {
  if (generation != deadlineGeneration_) return;  // re-armed or cancelled meanwhile
  if (phase_ == Phase::authenticated || phase_ == Phase::closed) return;
  // The session that ends with the connection says only that it ended: the reason is said here.
  pairingLog().notice("connection closed: %s", phase_ == Phase::awaitingResponse || phase_ == Phase::processing
                                                   ? "no authentication in time"
                                                   : "not paired");
  phase_ = Phase::closed;
  decision_.cancel();
  attempt_.reset();
  connection_->close();
}

asio::awaitable<void> HostAuthGate::connectionClosedNow() {
  phase_ = Phase::closed;
  admitted_.store(false, std::memory_order_release);
  ++deadlineGeneration_;
  deadline_.cancel();
  decision_.cancel();
  attempt_.reset();
  if (registered_) {
    registered_ = false;
    co_await service_->unregisterLiveConnection(tag_);
  }
}

}  // namespace brindlet
