#include <gtest/gtest.h>

#include "kit/transport/InMemoryConnection.h"
#include "pairing/handshake/PairingHarness.h"
#include "platform/crypto/Digest.h"
#include "support/StreamRecorder.h"

namespace brindlet {
namespace {

using testing::StreamRecorder;
using testing::TestLoop;
using Event = ClientHandshake::Event;
using Purpose = ClientHandshake::Purpose;

// The device's handshake against a host played by the test.
struct DeviceUnderTest {
  TestLoop loop;
  std::shared_ptr<InMemoryConnection> host, device;
  ClientIdentity identity = testing::newDeviceIdentity();
  Bytes fingerprint = AuthCrypto::randomBytes(32);
  std::vector<Event> events;
  std::unique_ptr<ClientHandshake> handshake;
  std::unique_ptr<StreamRecorder<Message>> sentToHost;

  explicit DeviceUnderTest(Purpose purpose, bool fingerprintKnown = true) {
    std::tie(host, device) = InMemoryConnection::pair();
    sentToHost = std::make_unique<StreamRecorder<Message>>(loop.strand(), host->messages());
    std::optional<Bytes> known = fingerprintKnown ? std::optional<Bytes>(fingerprint) : std::nullopt;
    handshake = std::make_unique<ClientHandshake>(
        device, identity, std::move(purpose), "Phone", [known] { return known; },
        [this](const Event& e) { events.push_back(e); });
  }
  std::vector<Message> sent() {
    loop.settle();
    return sentToHost->values();
  }
};

TEST(ClientHandshake, AnswersTheChallengeOverTheKnownFingerprint) {
  DeviceUnderTest d(Purpose::authenticate());
  Bytes nonce = AuthCrypto::randomBytes(32);
  EXPECT_TRUE(d.handshake->handle(msg::AuthChallenge{nonce}));
  auto sent = d.sent();
  ASSERT_EQ(sent.size(), 1u);
  auto* response = sent[0].as<msg::AuthResponse>();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->deviceID, d.identity.deviceID);
  EXPECT_EQ(response->publicKey, d.identity.publicKeyX963());
  EXPECT_TRUE(AuthCrypto::verify(response->signature, response->publicKey, nonce, d.fingerprint, d.identity.deviceID,
                                 std::nullopt));
  EXPECT_FALSE(d.handshake->isFinished());
  EXPECT_FALSE(d.handshake->handle(msg::Ping{1}));  // session traffic is not the handshake's
  EXPECT_TRUE(d.handshake->handle(msg::AuthResult{AuthResult::notPaired}));
  EXPECT_EQ(d.events, std::vector<Event>{Event::notPaired()});
  EXPECT_TRUE(d.handshake->isFinished());
}

TEST(ClientHandshake, WithoutAKnownFingerprintNothingIsSent) {
  DeviceUnderTest d(Purpose::authenticate(), /*fingerprintKnown=*/false);
  EXPECT_TRUE(d.handshake->handle(msg::AuthChallenge{Bytes(32, 1)}));
  EXPECT_TRUE(d.sent().empty());
  EXPECT_EQ(d.events, std::vector<Event>{Event::failed("no host fingerprint")});
}

TEST(ClientHandshake, RevealsTheCommittedNonceAndShowsTheHostsCode) {
  DeviceUnderTest d(Purpose::pairByComparison());
  d.handshake->handle(msg::AuthChallenge{Bytes(32, 1)});
  d.handshake->handle(msg::AuthResult{AuthResult::notPaired});
  Bytes hostNonce = AuthCrypto::randomBytes(32);
  d.handshake->handle(msg::PairNonce{hostNonce});
  auto sent = d.sent();
  ASSERT_EQ(sent.size(), 3u);
  auto* request = sent[1].as<msg::PairRequest>();
  auto* reveal = sent[2].as<msg::PairReveal>();
  ASSERT_TRUE(request && reveal);
  EXPECT_EQ(request->method, PairMethod::compare);
  EXPECT_EQ(request->deviceName, "Phone");
  EXPECT_EQ(platform::sha256(reveal->nonce), request->proof);
  ASSERT_EQ(d.events.size(), 1u);
  EXPECT_EQ(d.events[0], Event::showCode(AuthCrypto::comparisonCode(d.fingerprint, d.identity.publicKeyX963(),
                                                                    hostNonce, reveal->nonce)));
  EXPECT_FALSE(d.handshake->isFinished());
  d.handshake->handle(msg::PairResult{PairResult::denied});
  d.handshake->handle(msg::PairResult{PairResult::accepted});  // after the end: ignored
  EXPECT_EQ(d.events.back(), Event::pairingFailed(PairResult::denied));
  EXPECT_EQ(d.events.size(), 2u);
}

TEST(ClientHandshake, APairNonceWhileNotComparingEndsTheHandshake) {
  DeviceUnderTest d(Purpose::pairWithToken(Bytes(16, 7)));
  d.handshake->handle(msg::AuthChallenge{Bytes(32, 1)});
  d.handshake->handle(msg::AuthResult{AuthResult::notPaired});
  auto sent = d.sent();
  ASSERT_EQ(sent.size(), 2u);
  auto* request = sent[1].as<msg::PairRequest>();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->method, PairMethod::token);
  EXPECT_EQ(request->proof,
            AuthCrypto::pairingProof(Bytes(16, 7), d.fingerprint, d.identity.publicKeyX963(), d.identity.deviceID));
  d.handshake->handle(msg::PairNonce{Bytes(32, 2)});
  EXPECT_EQ(d.events, std::vector<Event>{Event::failed("unexpected pairNonce")});
  EXPECT_EQ(d.sent().size(), 2u);
}

TEST(ClientHandshake, RunEndsWithTheConnectionOrTheTimeLimit) {
  for (bool closes : {true, false}) {
    DeviceUnderTest d(Purpose::authenticate());
    auto outcome = std::make_shared<testing::HandshakeOutcome>();
    Task run = Task::spawn(d.loop.strand(), testing::runHandshake(d.device, d.identity, Purpose::authenticate(),
                                                                  "Phone", d.fingerprint, d.loop.clock, outcome));
    d.loop.settle();
    if (closes) {
      d.host->close();
      d.loop.settle();
      EXPECT_EQ(outcome->event, Event::failed("connection closed"));
    } else {
      d.loop.advance(std::chrono::seconds(599));
      EXPECT_FALSE(outcome->event);
      d.loop.advance(std::chrono::seconds(1));
      EXPECT_EQ(outcome->event, Event::failed("timed out"));
    }
  }
}

TEST(ClientHandshake, APairedDeviceWithATokenJustAuthenticatesAndKeepsTheToken) {
  testing::PairingHarness h;
  auto identity = testing::newDeviceIdentity();
  ASSERT_TRUE(h.store->upsertPairedDevice(
      PairedDevice{identity.deviceID, "Phone", identity.publicKeyX963(), h.loop.clock->wallNow(), std::nullopt}));
  Bytes token = h.tokenFromLink();
  for (int i = 0; i < 2; ++i) {
    auto [host, device] = InMemoryConnection::pair();
    auto end = h.accept(host);
    auto outcome = h.handshake(device, i == 0 ? identity : testing::newDeviceIdentity(), Purpose::pairWithToken(token));
    h.loop.settle();
    EXPECT_EQ(outcome->event, Event::authenticated());  // the second, a new device, uses the token
  }
  EXPECT_EQ(h.store->allPairedDevices().size(), 2u);
}

}  // namespace
}  // namespace brindlet
