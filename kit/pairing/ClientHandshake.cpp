#include "kit/pairing/ClientHandshake.h"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/this_coro.hpp>

#include "kit/pairing/AuthCrypto.h"

namespace brindlet {
namespace {

// The first final event of a run.
struct ResultBox {
  std::mutex lock;
  std::optional<ClientHandshake::Event> event;

  void offer(const ClientHandshake::Event& candidate) {
    std::lock_guard guard(lock);
    if (!event) event = candidate;
  }
  bool isSet() {
    std::lock_guard guard(lock);
    return event.has_value();
  }
};

asio::awaitable<void> readUntilFinal(std::shared_ptr<Connection> connection, std::shared_ptr<ClientHandshake> handshake,
                                     std::shared_ptr<ResultBox> box) {
  auto messages = connection->messages();
  while (auto message = co_await messages.next()) {
    handshake->handle(*message);
    if (box->isSet()) co_return;
  }
  // Cancelled because the time limit came first: that is the result, not the end of the
  // connection.
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) co_return;
  box->offer(ClientHandshake::Event::failed("connection closed"));
}

asio::awaitable<void> sleepFor(std::shared_ptr<Clock> clock, Clock::Duration duration) {
  co_await clock->sleep(duration);
}

}  // namespace

ClientHandshake::ClientHandshake(std::shared_ptr<Connection> connection, ClientIdentity identity, Purpose purpose,
                                 std::string deviceName, FingerprintSource hostFingerprint, EventHandler onEvent)
    : connection_(std::move(connection)),
      identity_(std::move(identity)),
      purpose_(std::move(purpose)),
      deviceName_(std::move(deviceName)),
      hostFingerprint_(std::move(hostFingerprint)),
      onEvent_(std::move(onEvent)),
      clientNonce_(AuthCrypto::randomBytes(32)) {}

bool ClientHandshake::isFinished() const {
  std::lock_guard guard(lock_);
  return finished_;
}

void ClientHandshake::end(const Event& event) {
  {
    std::lock_guard guard(lock_);
    if (finished_) return;
    finished_ = true;
  }
  if (onEvent_) onEvent_(event);
}

void ClientHandshake::answerChallenge(const Bytes& nonce) {
  std::optional<Bytes> fingerprint = hostFingerprint_ ? hostFingerprint_() : std::nullopt;
  if (!fingerprint) {
    end(Event::failed("no host fingerprint"));
    return;
  }
  {
    std::lock_guard guard(lock_);
    fingerprintUsed_ = *fingerprint;
  }
  Bytes signature;
  try {
    signature =
        AuthCrypto::sign(nonce, *fingerprint, identity_.deviceID, connection_->exporter(), identity_.privateKey);
  } catch (const std::exception&) {
    end(Event::failed("signing failed"));
    return;
  }
  Message response = msg::AuthResponse{identity_.deviceID, identity_.publicKeyX963(), std::move(signature)};
  connection_->send(response);
}

bool ClientHandshake::handle(const Message& message) {
  if (const auto* challenge = message.as<msg::AuthChallenge>()) {
    answerChallenge(challenge->nonce);
    return true;
  }
  if (const auto* result = message.as<msg::AuthResult>()) {
    switch (result->result) {
      case AuthResult::ok:
        end(Event::authenticated());
        break;
      case AuthResult::denied:
        end(Event::denied());
        break;
      case AuthResult::notPaired: {
        if (purpose_.kind == Purpose::Kind::authenticate) {
          end(Event::notPaired());
          break;
        }
        Bytes fingerprint, clientNonce;
        {
          std::lock_guard guard(lock_);
          fingerprint = fingerprintUsed_;
          clientNonce = clientNonce_;
        }
        Message request;
        if (purpose_.kind == Purpose::Kind::pairWithToken) {
          Bytes proof =
              AuthCrypto::pairingProof(purpose_.token, fingerprint, identity_.publicKeyX963(), identity_.deviceID);
          request = msg::PairRequest{PairMethod::token, deviceName_, std::move(proof)};
        } else {
          request = msg::PairRequest{PairMethod::compare, deviceName_, AuthCrypto::commitment(clientNonce)};
        }
        connection_->send(request);
        break;
      }
    }
    return true;
  }
  if (const auto* pairNonce = message.as<msg::PairNonce>()) {
    if (purpose_.kind != Purpose::Kind::pairByComparison) {
      end(Event::failed("unexpected pairNonce"));
      return true;
    }
    Bytes fingerprint, clientNonce;
    {
      std::lock_guard guard(lock_);
      fingerprint = fingerprintUsed_;
      clientNonce = clientNonce_;
    }
    Message reveal = msg::PairReveal{clientNonce};
    connection_->send(reveal);
    std::string code =
        AuthCrypto::comparisonCode(fingerprint, identity_.publicKeyX963(), pairNonce->nonce, clientNonce);
    if (onEvent_) onEvent_(Event::showCode(std::move(code)));
    return true;
  }
  if (const auto* pairResult = message.as<msg::PairResult>()) {
    if (pairResult->result == PairResult::accepted)
      end(Event::authenticated());
    else
      end(Event::pairingFailed(pairResult->result));
    return true;
  }
  return false;
}

asio::awaitable<ClientHandshake::Event> ClientHandshake::run(std::shared_ptr<Connection> connection,
                                                             ClientIdentity identity, Purpose purpose,
                                                             std::string deviceName, FingerprintSource hostFingerprint,
                                                             double timeLimit,
                                                             std::function<void(const std::string&)> onCode,
                                                             std::shared_ptr<Clock> clock) {
  using namespace asio::experimental::awaitable_operators;
  auto box = std::make_shared<ResultBox>();
  EventHandler onEvent = [box, onCode](const Event& event) {
    if (event.kind == Event::Kind::showCode) {
      if (onCode) onCode(event.text);
    } else {
      box->offer(event);
    }
  };
  auto handshake = std::make_shared<ClientHandshake>(connection, std::move(identity), std::move(purpose),
                                                     std::move(deviceName), std::move(hostFingerprint), onEvent);
  auto reading = readUntilFinal(connection, handshake, box);
  auto limit = sleepFor(clock, Clock::seconds(timeLimit));
  co_await (std::move(reading) || std::move(limit));
  std::lock_guard guard(box->lock);
  co_return box->event.value_or(Event::failed("timed out"));
}

}  // namespace brindlet
