// Authentication and pairing between a device and the host's gate over QUIC on loopback:
// the transcript is bound to the TLS session through its exporter.

#include <gtest/gtest.h>

#include <asio/ip/udp.hpp>

#include "kit/transport/QUICConnection.h"
#include "pairing/handshake/PairingHarness.h"
#include "platform/quic/QUICListener.h"
#include "platform/quic/TestCertificate.h"
#include "support/StreamRecorder.h"

namespace brindlet {
namespace {

using namespace std::chrono_literals;
using testing::PairingHarness;
using testing::StreamRecorder;
using Event = ClientHandshake::Event;
using Purpose = ClientHandshake::Purpose;

asio::awaitable<void> serveWhenReady(std::shared_ptr<QUICConnection> connection, std::shared_ptr<HostAuthGate> gate,
                                     std::shared_ptr<testing::SessionProbe> probe) {
  co_await connection->waitUntilReady();
  co_await testing::serveLikeASession(connection, gate, probe);
}

bool isTerminal(const std::vector<ConnectionState>& states) { return !states.empty() && states.back().isTerminal(); }

template <class T>
std::vector<T> casesOf(const std::vector<Message>& messages) {
  std::vector<T> out;
  for (const auto& m : messages)
    if (auto* body = m.as<T>()) out.push_back(*body);
  return out;
}

class PairingOverQUIC : public ::testing::Test {
 protected:
  // The host side of one accepted connection.
  struct Accepted {
    std::shared_ptr<QUICConnection> connection;
    std::unique_ptr<PairingHarness::HostEnd> end;
    std::unique_ptr<StreamRecorder<ConnectionState>> states;
    bool closed() const { return isTerminal(states->values()); }
  };
  // A device's connection and what it saw of it.
  struct Device {
    std::shared_ptr<QUICConnection> connection;
    std::unique_ptr<StreamRecorder<ConnectionState>> states;
    bool closed() const { return isTerminal(states->values()); }
  };

  void SetUp() override {
    auto parameters = makeQUICParameters(identity, nullptr, QUICConfiguration{}, h.loop.io.get_executor());
    listener = platform::QUICListener::make(h.loop.io, parameters);
    ASSERT_FALSE(listener->listen({asio::ip::make_address("127.0.0.1"), 0}));
    listener->setNewGroupHandler([this](std::shared_ptr<platform::QUICGroup> group) {
      auto accepted = std::make_unique<Accepted>();
      accepted->connection = QUICConnection::makeHost(group, QUICConfiguration{}, h.loop.clock);
      accepted->states =
          std::make_unique<StreamRecorder<ConnectionState>>(h.loop.strand(), accepted->connection->states());
      accepted->connection->start();
      accepted->end = h.accept(accepted->connection, AuthTimeouts{}, false);
      accepted->end->task =
          Task::spawn(h.loop.strand(), serveWhenReady(accepted->connection, accepted->end->gate, accepted->end->probe));
      hosts.push_back(std::move(accepted));
    });
  }
  void TearDown() override {
    for (auto& d : devices) d->connection->close();
    for (auto& a : hosts) a->connection->close();
    h.loop.settle();
    listener->cancel();
    h.loop.advance(std::chrono::minutes(1));  // closed connections tear their transport down
  }

  Device& connect(std::optional<Bytes> pin = std::nullopt) {
    auto device = std::make_unique<Device>();
    device->connection =
        QUICConnection::makeClient(h.loop.io, {asio::ip::make_address("127.0.0.1"), listener->port()},
                                   ServerTrust::pinned(pin ? *pin : fingerprint), QUICConfiguration{}, h.loop.clock);
    device->states = std::make_unique<StreamRecorder<ConnectionState>>(h.loop.strand(), device->connection->states());
    device->connection->start();
    devices.push_back(std::move(device));
    return *devices.back();
  }

  Event handshake(Device& device, const ClientIdentity& identity, Purpose purpose,
                  std::optional<Bytes> pin = std::nullopt, std::shared_ptr<testing::HandshakeOutcome>* keep = nullptr) {
    auto outcome = h.handshake(device.connection, identity, std::move(purpose), "Anna's iPad", pin);
    EXPECT_TRUE(h.loop.runUntil([&] { return outcome->event.has_value(); }));
    if (keep) *keep = outcome;
    return outcome->event.value_or(Event::failed("no result"));
  }

  Accepted& host(std::size_t index) {
    EXPECT_TRUE(h.loop.runUntil([&] { return hosts.size() > index; }));
    return *hosts.at(index);
  }

  platform::QUICIdentity identity = testing::makeTestIdentity("Studio");
  Bytes fingerprint = certificateFingerprint(identity.certificateDER);
  PairingHarness h{false, std::nullopt, true, fingerprint};
  std::shared_ptr<platform::QUICListener> listener;
  std::vector<std::unique_ptr<Accepted>> hosts;
  std::vector<std::unique_ptr<Device>> devices;
};

TEST_F(PairingOverQUIC, AnUnknownDevicePairsWithItsLinksTokenAndIsAdmittedOnItsNextConnection) {
  auto identity = testing::newDeviceIdentity();
  EXPECT_EQ(handshake(connect(), identity, Purpose::authenticate()), Event::notPaired());

  // The link as the device reads it: the pin and the token both come from its text.
  PairingToken token;
  {
    auto issued = std::make_shared<std::optional<PairingToken>>();
    Task issue = Task::spawn(h.loop.strand(),
                             [](std::shared_ptr<HostPairingService> s,
                                std::shared_ptr<std::optional<PairingToken>> out) -> asio::awaitable<void> {
                               *out = co_await s->issuePairingToken();
                             }(h.service, issued));
    h.loop.settle();
    token = issued->value();
  }
  auto link = PairingURL::parse(h.service->pairingURL(token).url());
  ASSERT_TRUE(link);
  EXPECT_EQ(handshake(connect(link->fingerprint), identity, Purpose::pairWithToken(link->token), link->fingerprint),
            Event::authenticated());
  EXPECT_TRUE(h.store->pairedDevice(identity.deviceID));
  EXPECT_EQ(h.liveDevices(), std::set<UUID>{identity.deviceID});

  Device& next = connect();
  EXPECT_EQ(handshake(next, identity, Purpose::authenticate()), Event::authenticated());
  EXPECT_EQ(h.admitted.size(), 2u);
  msg::Ping ping{42};
  next.connection->send(ping);
  ASSERT_TRUE(h.loop.runUntil([&] { return !host(2).end->probe->proceeded.empty(); }));
  EXPECT_EQ(host(2).end->probe->proceeded[0], Message(ping));
}

// A paired device must sign over this TLS session's exporter: a signature without it (the
// in-process form) or over another session's is denied.
TEST_F(PairingOverQUIC, TheTranscriptIsBoundToTheTLSExporter) {
  auto identity = testing::newDeviceIdentity();
  ASSERT_TRUE(h.store->upsertPairedDevice(
      PairedDevice{identity.deviceID, "Phone", identity.publicKeyX963(), h.loop.clock->wallNow(), std::nullopt}));
  enum Binding { none, another, own };
  for (Binding binding : {none, another, own}) {
    SCOPED_TRACE(binding);
    Device& device = connect();
    StreamRecorder<Message> received(h.loop.strand(), device.connection->messages());
    ASSERT_TRUE(h.loop.runUntil([&] { return !received.values().empty(); }));
    auto challenge = casesOf<msg::AuthChallenge>(received.values()).at(0);
    auto exporter = device.connection->exporter();
    ASSERT_TRUE(exporter);
    ASSERT_EQ(exporter->size(), 32u);
    std::optional<Bytes> signedExporter = binding == none      ? std::nullopt
                                          : binding == another ? std::optional<Bytes>(AuthCrypto::randomBytes(32))
                                                               : exporter;
    msg::AuthResponse response{
        identity.deviceID, identity.publicKeyX963(),
        AuthCrypto::sign(challenge.nonce, fingerprint, identity.deviceID, signedExporter, identity.privateKey)};
    device.connection->send(response);
    ASSERT_TRUE(h.loop.runUntil([&] { return received.values().size() >= 2; }));
    EXPECT_EQ(casesOf<msg::AuthResult>(received.values()).at(0).result,
              binding == own ? AuthResult::ok : AuthResult::denied);
  }
  EXPECT_EQ(h.admitted, std::vector<UUID>{identity.deviceID});
}

TEST_F(PairingOverQUIC, ComparedCodesAreAcceptedDeclinedOrLeftToLapse) {
  using Mode = testing::TestConfirmer::Mode;
  for (Mode mode : {Mode::allow, Mode::deny, Mode::wait}) {
    SCOPED_TRACE(static_cast<int>(mode));
    h.confirmer->mode = mode;
    h.confirmer->asked.clear();
    auto identity = testing::newDeviceIdentity();
    std::shared_ptr<testing::HandshakeOutcome> outcome =
        h.handshake(connect().connection, identity, Purpose::pairByComparison());
    ASSERT_TRUE(h.loop.runUntil([&] { return outcome->event || !h.confirmer->asked.empty(); }));
    if (mode == Mode::wait) {
      ASSERT_FALSE(outcome->event);
      h.loop.advance(60s);
    }
    ASSERT_TRUE(h.loop.runUntil([&] { return outcome->event.has_value(); }));
    EXPECT_EQ(*outcome->event, mode == Mode::allow ? Event::authenticated() : Event::pairingFailed(PairResult::denied));
    ASSERT_EQ(outcome->codes.size(), 1u);
    ASSERT_EQ(h.confirmer->asked.size(), 1u);
    EXPECT_EQ(h.confirmer->asked[0].second, outcome->codes[0]);
    EXPECT_EQ(h.store->pairedDevice(identity.deviceID).has_value(), mode == Mode::allow);
  }
}

TEST_F(PairingOverQUIC, AKnownDeviceWithAnotherKeyIsDeniedAndTheRefusalLeavesBeforeTheClose) {
  auto identity = testing::newDeviceIdentity();
  ASSERT_TRUE(h.store->upsertPairedDevice(
      PairedDevice{identity.deviceID, "Phone", identity.publicKeyX963(), h.loop.clock->wallNow(), std::nullopt}));
  ClientIdentity impostor{identity.deviceID, platform::P256PrivateKey::generate()};
  Device& device = connect();
  EXPECT_EQ(handshake(device, impostor, Purpose::authenticate()), Event::denied());
  h.loop.advance(199ms);
  EXPECT_FALSE(host(0).closed());
  h.loop.advance(1ms);
  EXPECT_TRUE(host(0).closed());
  EXPECT_TRUE(h.loop.runUntil([&] { return device.closed(); }));
  EXPECT_EQ(h.store->pairedDevice(identity.deviceID)->publicKey, identity.publicKeyX963());
}

TEST_F(PairingOverQUIC, AFourthPairingWithinAMinuteOfThreeFailedOnesIsRateLimited) {
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(handshake(connect(), testing::newDeviceIdentity(), Purpose::pairWithToken(AuthCrypto::randomBytes(16))),
              Event::pairingFailed(PairResult::invalidToken));
  EXPECT_EQ(handshake(connect(), testing::newDeviceIdentity(), Purpose::pairWithToken(h.tokenFromLink())),
            Event::pairingFailed(PairResult::rateLimited));
}

TEST_F(PairingOverQUIC, SilentDevicesAreDisconnectedAtEachDeadline) {
  // No answer to the challenge: closed after 10 s.
  Device& mute = connect();
  StreamRecorder<Message> challenge(h.loop.strand(), mute.connection->messages());
  ASSERT_TRUE(h.loop.runUntil([&] { return challenge.count() == 1; }));
  h.loop.advance(9999ms);
  EXPECT_FALSE(host(0).closed());
  h.loop.advance(1ms);
  EXPECT_TRUE(host(0).closed());
  EXPECT_TRUE(h.loop.runUntil([&] { return mute.closed(); }));

  // Told notPaired and never pairing: closed 120 s later.
  Device& idle = connect();
  EXPECT_EQ(handshake(idle, testing::newDeviceIdentity(), Purpose::authenticate()), Event::notPaired());
  h.loop.advance(119s);
  EXPECT_FALSE(host(1).closed());
  h.loop.advance(1s);
  EXPECT_TRUE(host(1).closed());
  EXPECT_TRUE(h.loop.runUntil([&] { return idle.closed(); }));
  EXPECT_TRUE(h.admitted.empty());
}

}  // namespace
}  // namespace brindlet
