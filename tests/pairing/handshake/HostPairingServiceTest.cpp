#include <gtest/gtest.h>

#include "kit/transport/InMemoryConnection.h"
#include "pairing/handshake/PairingHarness.h"

namespace brindlet {
namespace {

using testing::PairingHarness;
using namespace std::chrono_literals;

// Awaits one operation of the service from a test task and keeps its result.
template <class T>
asio::awaitable<void> keep(asio::awaitable<T> operation, std::shared_ptr<std::optional<T>> out) {
  *out = co_await std::move(operation);
}
asio::awaitable<void> finish(asio::awaitable<void> operation, std::shared_ptr<bool> done) {
  co_await std::move(operation);
  *done = true;
}

class ServiceTest : public ::testing::Test {
 protected:
  PairingHarness h;
  Bytes key = testing::newDeviceIdentity().publicKeyX963();
  UUID device = UUID::random();

  template <class T>
  T await(asio::awaitable<T> operation) {
    auto out = std::make_shared<std::optional<T>>();
    Task task = Task::spawn(h.loop.strand(), keep(std::move(operation), out));
    h.loop.settle();
    EXPECT_TRUE(out->has_value());
    return out->value_or(T{});
  }
  void run(asio::awaitable<void> operation) {
    auto done = std::make_shared<bool>(false);
    Task task = Task::spawn(h.loop.strand(), finish(std::move(operation), done));
    h.loop.settle();
    EXPECT_TRUE(*done);
  }
  TokenCheck check(const Bytes& token, std::size_t proofLength = 32) {
    Bytes proof = AuthCrypto::pairingProof(token, h.fingerprint, key, device);
    proof.resize(proofLength);
    return await(h.service->verifyPairingProof(proof, key, device));
  }
};

TEST_F(ServiceTest, ACorrectProofPairsOnceAndAWrongOneLeavesTheToken) {
  PairingToken token = await(h.service->issuePairingToken());
  EXPECT_EQ(token.value.size(), 16u);
  EXPECT_EQ(token.expiresAt, h.loop.clock->wallNow() + 300s);
  EXPECT_EQ(check(AuthCrypto::randomBytes(16)), TokenCheck::invalid);
  EXPECT_EQ(check(token.value, 31), TokenCheck::invalid);
  EXPECT_EQ(check(token.value, 33), TokenCheck::invalid);
  EXPECT_EQ(check(token.value), TokenCheck::valid);
  EXPECT_EQ(check(token.value), TokenCheck::invalid);  // used up
}

TEST_F(ServiceTest, AnExpiredTokenIsDroppedAndAClearedOneStopsWorking) {
  PairingToken token = await(h.service->issuePairingToken());
  h.loop.clock->advance(299s);
  PairingToken second = await(h.service->issuePairingToken());  // replaces the first
  EXPECT_EQ(check(token.value), TokenCheck::invalid);
  h.loop.clock->advance(300s);
  EXPECT_EQ(check(second.value), TokenCheck::expired);
  EXPECT_EQ(check(second.value), TokenCheck::invalid);

  PairingToken third = await(h.service->issuePairingToken());
  run(h.service->clearToken());
  EXPECT_EQ(check(third.value), TokenCheck::invalid);
}

TEST_F(ServiceTest, AtMostThreeAttemptsCountWithinSixtySeconds) {
  auto first = await(h.service->beginPairingAttempt());
  h.loop.clock->advance(10s);
  auto second = await(h.service->beginPairingAttempt());
  auto third = await(h.service->beginPairingAttempt());
  ASSERT_TRUE(first && second && third);
  EXPECT_FALSE(await(h.service->beginPairingAttempt()));
  run(h.service->endPairingAttempt(*second));
  auto fourth = await(h.service->beginPairingAttempt());
  EXPECT_TRUE(fourth);
  EXPECT_FALSE(await(h.service->beginPairingAttempt()));
  h.loop.clock->advance(50s);  // the first is 60 s old now
  EXPECT_TRUE(await(h.service->beginPairingAttempt()));
  EXPECT_FALSE(await(h.service->beginPairingAttempt()));
}

TEST_F(ServiceTest, LiveConnectionsStampLastSeenAndForgettingClosesThem) {
  PairedDevice paired{device, "Phone", key, h.loop.clock->wallNow(), std::nullopt};
  ASSERT_TRUE(await(h.service->addPairedDevice(paired)));
  EXPECT_EQ(h.changes, 1);
  auto [a, peerA] = InMemoryConnection::pair();
  auto [b, peerB] = InMemoryConnection::pair();
  h.loop.clock->advance(5s);
  run(h.service->registerLiveConnection(UUID::random(), device, a));
  run(h.service->registerLiveConnection(UUID::random(), device, b));
  EXPECT_EQ(h.changes, 3);
  EXPECT_EQ(h.store->pairedDevice(device)->lastSeen, paired.pairedAt + 5s);
  EXPECT_EQ(PairedDeviceStore(*h.store->fileURL()).pairedDevice(device)->lastSeen, paired.pairedAt + 5s);
  EXPECT_EQ(await(h.service->connectedDeviceIDs()), std::set<UUID>{device});

  run(h.service->forgetDevice(device));
  EXPECT_EQ(h.changes, 4);
  EXPECT_FALSE(h.store->pairedDevice(device));
  EXPECT_TRUE(await(h.service->connectedDeviceIDs()).empty());
  bool sent = a->sendVideo(VideoFrame{});
  EXPECT_FALSE(sent);  // closed
  EXPECT_FALSE(b->sendVideo(VideoFrame{}));

  run(h.service->forgetDevice(UUID::random()));
  EXPECT_EQ(h.changes, 5);
}

TEST_F(ServiceTest, AnUnknownDeviceIsListedLiveWithoutWritingTheFile) {
  auto [a, peer] = InMemoryConnection::pair();
  UUID tag = UUID::random();
  run(h.service->registerLiveConnection(tag, device, a));
  EXPECT_EQ(h.changes, 1);
  EXPECT_FALSE(std::filesystem::exists(*h.store->fileURL()));
  EXPECT_EQ(await(h.service->connectedDeviceIDs()), std::set<UUID>{device});
  run(h.service->unregisterLiveConnection(tag));
  EXPECT_TRUE(await(h.service->connectedDeviceIDs()).empty());
  EXPECT_EQ(h.changes, 1);
}

TEST_F(ServiceTest, ThePairingLinkCarriesTheHostAndTheToken) {
  PairingToken token = await(h.service->issuePairingToken());
  auto link = PairingURL::parse(h.service->pairingURL(token).url());
  ASSERT_TRUE(link);
  EXPECT_EQ(*link, (PairingURL{h.hostID, "Studio", h.fingerprint, token.value}));
}

}  // namespace
}  // namespace brindlet
