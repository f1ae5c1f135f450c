// The relay tunnel against a relay the test plays itself (a UDP socket on loopback) on a manual
// clock: what it sends, when, and what it reports for each frame the relay sends back.

#include <gtest/gtest.h>

#include <asio/ip/udp.hpp>

#include <algorithm>
#include <memory>
#include <vector>

#include "kit/relay/RelaySigner.h"
#include "kit/relay/RelayTunnel.h"
#include "kit/relay/RelayWire.h"
#include "platform/crypto/P256PrivateKey.h"
#include "support/TestLoop.h"

namespace brindlet {
namespace {

using namespace std::chrono_literals;
using Kind = RelayTunnelEvent::Kind;

asio::awaitable<void> record(AsyncStream<RelayTunnelEvent> events, std::shared_ptr<std::vector<RelayTunnelEvent>> into,
                             std::shared_ptr<bool> ended) {
  while (auto event = co_await events.next()) into->push_back(std::move(*event));
  *ended = true;
}

class RelayTunnelTest : public ::testing::Test {
 protected:
  RelayTunnelTest() : relay(loop.io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    relay.non_blocking(true);
  }
  ~RelayTunnelTest() override {
    if (tunnel) tunnel->stop();
    loop.settle();
  }

  void make(RelayRole role) {
    RelayTunnel::Options options;  // keepalive 15 s, retry 1.5 s, 8 attempts
    options.pathWatcher = [](const Strand&, std::function<void(const platform::NetworkPath&)>) {
      return std::function<void()>([] {});
    };
    tunnel = RelayTunnel::make(loop.io.get_executor(), loop.clock, role, {"127.0.0.1", relay.local_endpoint().port()},
                               signer, options, [this](bool) { return credential(); });
    reader = Task::spawn(loop.strand(), record(tunnel->events(), events, ended));
  }

  // Starts the tunnel and waits until its first request has come (the relay's address is
  // resolved on a thread of its own).
  void startTunnel() {
    tunnel->start();
    ASSERT_TRUE(loop.runUntil([&] { return relay.available() > 0; })) << "the tunnel sent nothing";
  }

  asio::awaitable<Bytes> credential() {
    ++credentialRequests;
    co_return Bytes{7, 7, 7};
  }

  // Every frame the tunnel sent since the last call.
  std::vector<RelayFrame> sent() {
    loop.settle();
    std::vector<RelayFrame> frames;
    std::array<std::uint8_t, 2048> buffer{};
    for (;;) {
      asio::error_code error;
      std::size_t size = relay.receive_from(asio::buffer(buffer), tunnelEnd, 0, error);
      if (error) break;
      frames.push_back(RelayWire::decodeFrame(ByteView(buffer.data(), size)));
    }
    return frames;
  }
  static std::size_t count(const std::vector<RelayFrame>& frames, RelayPacketType type) {
    return std::count_if(frames.begin(), frames.end(), [&](const RelayFrame& f) { return f.type == type; });
  }

  void reply(const RelayFrame& frame) {
    relay.send_to(asio::buffer(RelayWire::encodeFrame(frame)), tunnelEnd);
    loop.settle();
  }
  void replyChallenge(RelayPurpose purpose, std::uint8_t cookieByte = 0x11) {
    reply({RelayPacketType::challenge, 0, 0, RelayWire::challengePayload(purpose, Bytes(16, cookieByte))});
  }

  // Starts a host tunnel and takes it through registration into session `session`.
  void registerHost(std::uint32_t session = 0x500) {
    make(RelayRole::host);
    startTunnel();
    ASSERT_EQ(count(sent(), RelayPacketType::challengeRequest), 1u);
    replyChallenge(RelayPurpose::registration);
    ASSERT_EQ(count(sent(), RelayPacketType::registerRequest), 1u);
    reply({RelayPacketType::registered, session, 0, {}});
    ASSERT_FALSE(events->empty());
    ASSERT_EQ(events->back(), RelayTunnelEvent::registered(session));
  }

  std::vector<Kind> kinds() const {
    std::vector<Kind> out;
    for (const auto& e : *events) out.push_back(e.kind);
    return out;
  }

  testing::TestLoop loop;
  asio::ip::udp::socket relay;
  asio::ip::udp::endpoint tunnelEnd;
  std::shared_ptr<RelaySigner> signer = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
  std::shared_ptr<RelayTunnel> tunnel;
  std::shared_ptr<std::vector<RelayTunnelEvent>> events = std::make_shared<std::vector<RelayTunnelEvent>>();
  std::shared_ptr<bool> ended = std::make_shared<bool>(false);
  Task reader;
  int credentialRequests = 0;
};

TEST_F(RelayTunnelTest, StartActsOnceAndStopSendsOneCloseAndEndsTheEvents) {
  ASSERT_NO_FATAL_FAILURE(registerHost());
  tunnel->start();  // a second start: no second connection or flow
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(credentialRequests, 1);
  tunnel->stop();
  tunnel->stop();
  auto frames = sent();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (RelayFrame{RelayPacketType::close, 0x500, 0, {}}));
  EXPECT_TRUE(*ended);
  tunnel->start();  // after stop: nothing
  EXPECT_TRUE(sent().empty());
}

TEST_F(RelayTunnelTest, ASilentRelayGetsEightRequestsAndIsGivenUpTwelveSecondsAfterTheFirst) {
  make(RelayRole::host);
  startTunnel();
  EXPECT_EQ(count(sent(), RelayPacketType::challengeRequest), 1u);
  loop.advance(10500ms);  // seven retries
  EXPECT_EQ(count(sent(), RelayPacketType::challengeRequest), 7u);
  EXPECT_TRUE(events->empty());
  loop.advance(1500ms);
  EXPECT_TRUE(sent().empty());
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ(events->back(), RelayTunnelEvent::unavailable("no reply from relay"));
  loop.advance(30s);
  EXPECT_TRUE(sent().empty());
}

TEST_F(RelayTunnelTest, ChallengesOfTheWrongPurposeOrSizeAreIgnoredAndBadCookiesRetriedThreeTimes) {
  make(RelayRole::host);
  startTunnel();
  auto first = sent();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].payload, RelayWire::challengeRequestPayload(RelayPurpose::registration));
  replyChallenge(RelayPurpose::join);
  reply({RelayPacketType::challenge, 0, 0, Bytes(16, 1)});  // 16 bytes
  reply({RelayPacketType::challenge, 0, 0, Bytes(18, 1)});  // 18 bytes
  EXPECT_TRUE(sent().empty());

  replyChallenge(RelayPurpose::registration, 0x11);
  auto request = sent();
  ASSERT_EQ(request.size(), 1u);
  ASSERT_EQ(request[0].type, RelayPacketType::registerRequest);
  // The signed register: the key, the cookie, the credential and a signature that checks.
  Bytes cookie(16, 0x11), token{7, 7, 7};
  Bytes expected = RelayWire::registerPayload(signer->publicKey(), cookie, token, Bytes(64, 0));
  ASSERT_EQ(request[0].payload.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end() - 64, request[0].payload.begin()));
  Bytes signature(request[0].payload.end() - 64, request[0].payload.end());
  EXPECT_TRUE(verifyP256Signature(signature, RelayWire::registerMessage(cookie, token, signer->publicKey()),
                                  signer->publicKey()));
  replyChallenge(RelayPurpose::registration, 0x22);  // a second challenge in this flow
  EXPECT_TRUE(sent().empty());
  // The retry resends the same signed request.
  loop.advance(1500ms);
  auto again = sent();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0], request[0]);

  for (int i = 0; i < 3; ++i) {
    reply({RelayPacketType::error, 0, 0, {static_cast<std::uint8_t>(RelayErrorCode::badCookie)}});
    EXPECT_EQ(count(sent(), RelayPacketType::challengeRequest), 1u) << "bad cookie " << i + 1;
    replyChallenge(RelayPurpose::registration, static_cast<std::uint8_t>(0x30 + i));
    EXPECT_EQ(count(sent(), RelayPacketType::registerRequest), 1u);
  }
  EXPECT_TRUE(events->empty());
  reply({RelayPacketType::error, 0, 0, {static_cast<std::uint8_t>(RelayErrorCode::badCookie)}});
  EXPECT_TRUE(sent().empty());
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ(events->back(), RelayTunnelEvent::error(RelayErrorCode::badCookie));
  loop.advance(10s);  // no retry timer after the error
  EXPECT_TRUE(sent().empty());
}

TEST_F(RelayTunnelTest, DataFlowsOnlyWhileRegisteredAndOnlyForItsSession) {
  make(RelayRole::host);
  tunnel->send(3, Bytes{1});
  startTunnel();
  EXPECT_EQ(count(sent(), RelayPacketType::data), 0u);
  reply({RelayPacketType::data, 0x500, 3, {9}});  // before registration
  EXPECT_TRUE(events->empty());
  replyChallenge(RelayPurpose::registration);
  sent();
  reply({RelayPacketType::registered, 0x500, 0, {}});
  tunnel->send(3, Bytes{4, 5});
  auto frames = sent();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (RelayFrame{RelayPacketType::data, 0x500, 3, {4, 5}}));
  tunnel->send(3, Bytes(RelayWire::maxPayloadSize + 1, 1));  // too large for a frame: dropped
  tunnel->send(3, Bytes(RelayWire::maxPayloadSize, 1));
  frames = sent();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload.size(), RelayWire::maxPayloadSize);

  reply({RelayPacketType::data, 0x501, 3, {9}});  // another session
  reply({RelayPacketType::data, 0x500, 3, {}});
  reply({RelayPacketType::data, 0x500, 4, {1, 2}});
  ASSERT_EQ(events->size(), 3u);
  EXPECT_EQ((*events)[1], RelayTunnelEvent::datagram(3, {}));
  EXPECT_EQ((*events)[2], RelayTunnelEvent::datagram(4, {1, 2}));

  // A sink takes what it accepts, each read it took from followed by its batch end; the rest
  // still comes as events.
  std::vector<std::pair<std::uint32_t, Bytes>> sunk;
  int batchEnds = 0;
  tunnel->setDataSink(
      [&](std::uint32_t peer, ByteView datagram) {
        if (peer != 4) return false;
        sunk.emplace_back(peer, Bytes(datagram.begin(), datagram.end()));
        return true;
      },
      [&] {
        EXPECT_FALSE(sunk.empty()) << "a batch end before anything was taken";
        ++batchEnds;
      });
  reply({RelayPacketType::data, 0x500, 4, {6}});
  EXPECT_EQ(batchEnds, 1);
  reply({RelayPacketType::data, 0x500, 5, {7}});
  EXPECT_EQ(batchEnds, 1) << "nothing of that read went to the sink";
  EXPECT_EQ(sunk, (std::vector<std::pair<std::uint32_t, Bytes>>{{4, {6}}}));
  ASSERT_EQ(events->size(), 4u);
  EXPECT_EQ(events->back(), RelayTunnelEvent::datagram(5, {7}));

  // Gathered on the strand, data frames wait for the flush and then go out in order.
  std::size_t waitingBeforeFlush = 0;
  asio::post(tunnel->strand(), [&] {
    tunnel->gather(3, Bytes{1});
    tunnel->gather(3, Bytes{2});
    waitingBeforeFlush = relay.available();
    tunnel->flush();
  });
  frames = sent();
  EXPECT_EQ(waitingBeforeFlush, 0u);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], (RelayFrame{RelayPacketType::data, 0x500, 3, {1}}));
  EXPECT_EQ(frames[1], (RelayFrame{RelayPacketType::data, 0x500, 3, {2}}));
  relay.send_to(asio::buffer(Bytes{3, 0, 0}), tunnelEnd);  // not a frame
  loop.settle();
  EXPECT_EQ(events->size(), 4u);
}

TEST_F(RelayTunnelTest, DeniedKeysGoOutBeforeRegisteredIsReportedAndAtOnceWhenChanged) {
  make(RelayRole::host);
  const Bytes a(65, 1), b(65, 2);
  tunnel->setDenied({a, b});
  startTunnel();
  sent();
  replyChallenge(RelayPurpose::registration);
  sent();
  reply({RelayPacketType::registered, 0x600, 0, {}});
  auto frames = sent();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], (RelayFrame{RelayPacketType::deny, 0x600, 0, a}));
  EXPECT_EQ(frames[1], (RelayFrame{RelayPacketType::deny, 0x600, 0, b}));
  tunnel->setDenied({b});
  frames = sent();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (RelayFrame{RelayPacketType::deny, 0x600, 0, b}));
  // Keepalives every interval while registered.
  loop.advance(15s);
  frames = sent();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (RelayFrame{RelayPacketType::keepalive, 0x600, 0, {0}}));
  loop.advance(30s);
  EXPECT_EQ(count(sent(), RelayPacketType::keepalive), 2u);
  // A registered frame with no register flow in progress is ignored.
  reply({RelayPacketType::registered, 0x601, 0, {}});
  EXPECT_EQ(tunnel->session(), 0x600u);
}

TEST_F(RelayTunnelTest, ErrorFramesByCodeAndState) {
  make(RelayRole::host);
  startTunnel();
  sent();
  reply({RelayPacketType::error, 0, 0, {}});    // no code
  reply({RelayPacketType::error, 0, 0, {99}});  // no such code
  EXPECT_TRUE(events->empty());
  // Never registered: unknownSession is an error.
  reply({RelayPacketType::error, 0, 0, {static_cast<std::uint8_t>(RelayErrorCode::unknownSession)}});
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ(events->back(), RelayTunnelEvent::error(RelayErrorCode::unknownSession));
  tunnel->stop();
  loop.settle();
  events->clear();
  *ended = false;

  ASSERT_NO_FATAL_FAILURE(registerHost(0x700));
  events->clear();
  // Registered: the relay lost the session, so the host registers again ...
  reply({RelayPacketType::error, 0x700, 0, {static_cast<std::uint8_t>(RelayErrorCode::unknownSession)}});
  EXPECT_EQ(count(sent(), RelayPacketType::challengeRequest), 1u);
  EXPECT_FALSE(tunnel->established());
  // ... and while it does, a repeated unknownSession is ignored.
  reply({RelayPacketType::error, 0x700, 0, {static_cast<std::uint8_t>(RelayErrorCode::unknownSession)}});
  EXPECT_TRUE(events->empty());
  EXPECT_TRUE(sent().empty());
  replyChallenge(RelayPurpose::registration);
  sent();
  reply({RelayPacketType::registered, 0x701, 0, {}});
  EXPECT_EQ(kinds(), std::vector<Kind>{Kind::registered});
  // addressNotOnRecord for another session is ignored; for ours it makes the host register again.
  reply({RelayPacketType::error, 0x999, 0, {static_cast<std::uint8_t>(RelayErrorCode::addressNotOnRecord)}});
  EXPECT_TRUE(sent().empty());
  reply({RelayPacketType::error, 0x701, 0, {static_cast<std::uint8_t>(RelayErrorCode::addressNotOnRecord)}});
  EXPECT_EQ(count(sent(), RelayPacketType::challengeRequest), 1u);
  // Denied: reported as is.
  reply({RelayPacketType::error, 0x701, 0, {static_cast<std::uint8_t>(RelayErrorCode::denied), 0xFF}});
  EXPECT_EQ(events->back(), RelayTunnelEvent::error(RelayErrorCode::denied));
}

TEST_F(RelayTunnelTest, AClientJoinsSendsAsItsOwnPeerAndOnlyStoresDeniedKeys) {
  make(RelayRole::client);
  tunnel->setDenied({Bytes(65, 3)});
  startTunnel();
  auto first = sent();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].payload, RelayWire::challengeRequestPayload(RelayPurpose::join));
  reply({RelayPacketType::registered, 0x800, 0, {}});  // for hosts only
  EXPECT_TRUE(events->empty());
  replyChallenge(RelayPurpose::join);
  auto join = sent();
  ASSERT_EQ(join.size(), 1u);
  EXPECT_EQ(join[0].type, RelayPacketType::join);
  reply({RelayPacketType::joined, 0x800, 12, {}});
  EXPECT_EQ(events->back(), RelayTunnelEvent::joined(0x800, 12));
  EXPECT_TRUE(sent().empty()) << "a client sends no deny frames";
  tunnel->send(99, Bytes{1});
  auto frames = sent();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (RelayFrame{RelayPacketType::data, 0x800, 12, {1}}));
  reply({RelayPacketType::close, 0x800, 12, {}});
  EXPECT_EQ(events->back(), RelayTunnelEvent::sessionClosed());
  EXPECT_FALSE(tunnel->established());
}

}  // namespace
}  // namespace brindlet
