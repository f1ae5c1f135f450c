#pragma once

// What the pairing and authentication tests share: a host side (pairing service over a
// paired-device file, a test confirmer, one gate per connection run the way a session runs
// it) and the device side's handshake, all driven by a TestLoop and its manual clock.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kit/pairing/AuthCrypto.h"
#include "kit/pairing/ClientHandshake.h"
#include "kit/pairing/HostAuthGate.h"
#include "kit/pairing/HostPairingService.h"
#include "kit/pairing/PairedDeviceStore.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"
#include "pairing/TestSupport.h"
#include "support/TestLoop.h"

namespace brindlet::testing {

// The user at the pairing prompt: allows, declines, or waits for the test's answer (and
// answers false when the prompt is cancelled, as the real prompt does).
class TestConfirmer : public PairingConfirming {
 public:
  enum class Mode { allow, deny, wait };
  Mode mode = Mode::allow;
  std::vector<std::pair<std::string, std::string>> asked;  // (device name, code)
  int cancelled = 0;

  void answer(bool accepted) { answers_.yield(accepted); }

  asio::awaitable<bool> confirm(std::string deviceName, std::string code) override {
    asked.emplace_back(deviceName, code);
    if (mode == Mode::allow) co_return true;
    if (mode == Mode::deny) co_return false;
    std::optional<bool> answer = co_await answers_.next();
    if (!answer) {
      ++cancelled;
      co_return false;
    }
    co_return *answer;
  }

 private:
  AsyncStream<bool> answers_;
};

// What a session loop saw of one connection.
struct SessionProbe {
  std::vector<Message> proceeded;
  // Those the gate said it admits before they were offered to it.
  std::vector<Message> admittedAtOnce;
  bool ended = false;
};

// Runs a gate the way the session does: start, offer every message, then connectionClosed.
inline asio::awaitable<void> serveLikeASession(std::shared_ptr<Connection> connection,
                                               std::shared_ptr<HostAuthGate> gate,
                                               std::shared_ptr<SessionProbe> probe) {
  co_await gate->start();
  auto messages = connection->messages();
  while (auto message = co_await messages.next()) {
    Message offered = *message;
    const bool admitted = gate->admits(offered);
    HostAuthGate::Verdict verdict = co_await gate->handle(offered);
    if (verdict == HostAuthGate::Verdict::proceed) probe->proceeded.push_back(*message);
    if (admitted) {
      probe->admittedAtOnce.push_back(*message);
      // What the gate admits without being asked, it lets through when asked.
      EXPECT_EQ(verdict, HostAuthGate::Verdict::proceed);
    }
  }
  co_await gate->connectionClosed();
  probe->ended = true;
}

struct HandshakeOutcome {
  std::optional<ClientHandshake::Event> event;
  std::vector<std::string> codes;
};

inline asio::awaitable<void> runHandshake(std::shared_ptr<Connection> connection, ClientIdentity identity,
                                          ClientHandshake::Purpose purpose, std::string deviceName,
                                          std::optional<Bytes> fingerprint, std::shared_ptr<Clock> clock,
                                          std::shared_ptr<HandshakeOutcome> outcome) {
  auto codes = [outcome](const std::string& code) { outcome->codes.push_back(code); };
  auto knownFingerprint = [fingerprint] { return fingerprint; };
  outcome->event = co_await ClientHandshake::run(connection, std::move(identity), std::move(purpose),
                                                 std::move(deviceName), knownFingerprint, 600, codes, clock);
}

inline ClientIdentity newDeviceIdentity() {
  return ClientIdentity{UUID::random(), platform::P256PrivateKey::generate()};
}

class PairingHarness {
 public:
  // The pairing service's own loop when a test holds the service back (see holdService);
  // it outlives everything that may hold the service.
  asio::io_context serviceIO;
  TestLoop loop;  // before the tasks below, which are cancelled before it goes
  TempFolder temp;
  UUID hostID = UUID::random();
  Bytes fingerprint = AuthCrypto::randomBytes(32);
  std::shared_ptr<PairedDeviceStore> store;
  std::shared_ptr<TestConfirmer> confirmer = std::make_shared<TestConfirmer>();
  std::shared_ptr<HostPairingService> service;
  std::vector<UUID> admitted;  // onAuthenticated calls
  int changes = 0;             // change handler calls

  struct HostEnd {
    std::shared_ptr<HostAuthGate> gate;
    std::shared_ptr<SessionProbe> probe = std::make_shared<SessionProbe>();
    Task task;
  };

  // With holdService the pairing service runs on serviceIO, which only the test runs
  // (runService), so a test can act while the gate waits for the service.
  // `hostFingerprint` stands for the host certificate's (random unless given).
  explicit PairingHarness(bool holdService = false, std::optional<std::filesystem::path> file = std::nullopt,
                          bool withConfirmer = true, std::optional<Bytes> hostFingerprint = std::nullopt) {
    if (hostFingerprint) fingerprint = *hostFingerprint;
    store = std::make_shared<PairedDeviceStore>(file ? *file : temp.path() / "Nolu" / "paired-devices.json");
    auto clock = loop.clock;
    service = std::make_shared<HostPairingService>(
        holdService ? serviceIO.get_executor() : loop.io.get_executor(), hostID, "Studio", fingerprint, store,
        withConfirmer ? confirmer : nullptr, [clock] { return clock->wallNow(); });
    Task install = Task::spawn(loop.strand(), setHandler(service, &changes));
    loop.settle();
    runService();
  }

  // Runs the held service's work until nothing is left on either loop.
  void runService() {
    while (stepService() > 0) {
    }
  }
  // Runs what the held service has queued now, then what that wakes on the main loop.
  std::size_t stepService() {
    serviceIO.restart();
    std::size_t ran = serviceIO.poll();
    loop.settle();
    return ran;
  }

  // A gate for the connection, served at once unless the caller starts `task` itself.
  std::unique_ptr<HostEnd> accept(std::shared_ptr<Connection> connection, AuthTimeouts timeouts = AuthTimeouts{},
                                  bool serve = true) {
    auto end = std::make_unique<HostEnd>();
    end->gate = HostAuthGate::make(
        loop.io.get_executor(), connection, service, timeouts, [this](const UUID& id) { admitted.push_back(id); },
        loop.clock);
    if (serve) end->task = Task::spawn(loop.strand(), serveLikeASession(connection, end->gate, end->probe));
    return end;
  }

  std::shared_ptr<HandshakeOutcome> handshake(std::shared_ptr<Connection> device, const ClientIdentity& identity,
                                              ClientHandshake::Purpose purpose, std::string name = "Anna's iPad",
                                              std::optional<Bytes> pin = std::nullopt) {
    auto outcome = std::make_shared<HandshakeOutcome>();
    handshakes_.push_back(
        Task::spawn(loop.strand(), runHandshake(device, identity, std::move(purpose), std::move(name),
                                                pin ? pin : std::optional<Bytes>(fingerprint), loop.clock, outcome)));
    return outcome;
  }

  // A token from the service, through the text of its pairing link and back.
  Bytes tokenFromLink() {
    auto token = std::make_shared<std::optional<PairingToken>>();
    Task issue = Task::spawn(loop.strand(), issueToken(service, token));
    loop.settle();
    runService();
    auto link = PairingURL::parse(service->pairingURL(**token).url());
    return link ? link->token : Bytes{};
  }

  std::set<UUID> liveDevices() {
    auto ids = std::make_shared<std::set<UUID>>();
    Task read = Task::spawn(loop.strand(), readLive(service, ids));
    loop.settle();
    runService();
    return *ids;
  }

 private:
  static asio::awaitable<void> setHandler(std::shared_ptr<HostPairingService> service, int* changes) {
    co_await service->setChangeHandler([changes] { ++*changes; });
  }
  static asio::awaitable<void> issueToken(std::shared_ptr<HostPairingService> service,
                                          std::shared_ptr<std::optional<PairingToken>> token) {
    *token = co_await service->issuePairingToken();
  }
  static asio::awaitable<void> readLive(std::shared_ptr<HostPairingService> service,
                                        std::shared_ptr<std::set<UUID>> ids) {
    *ids = co_await service->connectedDeviceIDs();
  }

  std::vector<Task> handshakes_;
};

}  // namespace brindlet::testing
