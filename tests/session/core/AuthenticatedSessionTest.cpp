// A session behind the real authentication gate: a device pairs with a token from the
// pairing link, then its hello is accepted; another device's ID in a hello is refused.

#include <gtest/gtest.h>

#include <chrono>

#include "host/session/HostSession.h"
#include "kit/pairing/HostAuthGate.h"
#include "kit/transport/InMemoryConnection.h"
#include "pairing/handshake/PairingHarness.h"
#include "session/core/SessionDoubles.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

struct Device {
  std::vector<Message> received;
  bool closed = false;
};

asio::awaitable<void> runSession(std::shared_ptr<HostSession> session) { co_await session->start(); }

asio::awaitable<void> pairThenHello(std::shared_ptr<Connection> connection, ClientIdentity identity, Bytes token,
                                    Bytes hostFingerprint, std::shared_ptr<Clock> clock, UUID helloID,
                                    std::shared_ptr<Device> device,
                                    std::shared_ptr<brindlet::testing::HandshakeOutcome> outcome) {
  // Built in statements of their own: g++ 12 destroys temporaries of a co_await expression twice.
  ClientHandshake::FingerprintSource known = [hostFingerprint] { return std::optional<Bytes>(hostFingerprint); };
  std::function<void(const std::string&)> onCode = [](const std::string&) {};
  ClientHandshake::Purpose purpose = ClientHandshake::Purpose::pairWithToken(token);
  std::string name = "Ada's iPad";
  outcome->event = co_await ClientHandshake::run(connection, identity, purpose, name, known, 600, onCode, clock);
  msg::Hello hello;
  hello.version = 16;
  hello.deviceID = helloID;
  hello.deviceName = "Ada's iPad";
  hello.capabilities.decodableProfiles = {CodecProfile::hevcMain};
  Message opening = hello;
  connection->send(opening);
  auto messages = connection->messages();
  while (auto message = co_await messages.next()) device->received.push_back(*message);
  device->closed = true;
}

class AuthenticatedSession : public ::testing::Test {
 protected:
  void run(bool helloWithOwnID) {
    auto [hostEnd, deviceEnd] = InMemoryConnection::pair();
    services.clock = harness.loop.clock;
    auto gate = HostAuthGate::make(
        harness.loop.io.get_executor(), hostEnd, harness.service, AuthTimeouts{},
        [this](const UUID& id) { harness.admitted.push_back(id); }, harness.loop.clock);
    session =
        HostSession::make(harness.loop.io.get_executor(), hostEnd, services.environment(), gate, std::nullopt, nullptr);
    Bytes token = harness.tokenFromLink();
    hostTask = Task::spawn(harness.loop.strand(), runSession(session));
    deviceTask = Task::spawn(harness.loop.strand(),
                             pairThenHello(deviceEnd, identity, token, harness.fingerprint, harness.loop.clock,
                                           helloWithOwnID ? identity.deviceID : UUID::random(), device, outcome));
    for (int i = 0; i < 20; ++i) harness.runService();
  }

  brindlet::testing::PairingHarness harness;
  TestServices services;
  ClientIdentity identity = brindlet::testing::newDeviceIdentity();
  std::shared_ptr<Device> device = std::make_shared<Device>();
  std::shared_ptr<brindlet::testing::HandshakeOutcome> outcome =
      std::make_shared<brindlet::testing::HandshakeOutcome>();
  std::shared_ptr<HostSession> session;
  Task hostTask;
  Task deviceTask;
};

std::vector<std::string_view> names(const std::vector<Message>& messages) {
  std::vector<std::string_view> result;
  for (const auto& m : messages) result.push_back(m.name());
  return result;
}

TEST_F(AuthenticatedSession, APairedDevicesHelloIsAccepted) {
  run(true);
  ASSERT_TRUE(outcome->event);
  EXPECT_EQ(outcome->event->kind, ClientHandshake::Event::Kind::authenticated);
  EXPECT_EQ(harness.admitted, (std::vector<UUID>{identity.deviceID}));
  EXPECT_EQ(names(device->received),
            (std::vector<std::string_view>{"helloAck", "hostStatus", "displayList", "streamInfo"}));
  EXPECT_EQ(services.power->held.size(), 1u);
}

TEST_F(AuthenticatedSession, AHelloWithAnotherIDIsRefused) {
  run(false);
  ASSERT_TRUE(outcome->event);
  EXPECT_EQ(outcome->event->kind, ClientHandshake::Event::Kind::authenticated);
  EXPECT_EQ(device->received,
            (std::vector<Message>{msg::HelloReject{"Device ID does not match the authenticated device."}}));
  harness.loop.advance(200ms);
  EXPECT_TRUE(device->closed);
}

}  // namespace
}  // namespace brindlet::host::testing
