// Remote access against the test coordinator (HTTPS) and the test relay, all on loopback:
// enrolment, admissions, registration, a device joining with its grant and reaching a QUIC
// listener through the relay, keepalive, rebind, a relay restart, denial and failures.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <future>
#include <set>
#include <thread>

#include <asio/post.hpp>

#include "kit/pairing/AuthCrypto.h"
#include "kit/relay/LoopbackUDP.h"
#include "kit/relay/RelayClientLink.h"
#include "kit/relay/RelayJoinGrant.h"
#include "kit/transport/QUICHostListener.h"
#include "platform/net/DatagramBatch.h"
#include "relay/RelayFixture.h"
#include "support/LoopbackNamespace.h"

namespace brindlet {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::quickService;
using testing::quickTunnel;

// Records a service's statuses and relay reports.
struct ServiceWatch {
  std::mutex mutex;
  std::vector<RelayHostService::Status> statuses;
  std::vector<std::vector<RelayEndpoint>> relays;
  std::vector<CoordinatorError> fatal;

  void attach(const std::shared_ptr<RelayHostService>& service) {
    service->setRelaysHandler([this](std::vector<RelayEndpoint> list) {
      std::lock_guard lock(mutex);
      relays.push_back(std::move(list));
    });
    service->setFatalHandler([this](CoordinatorError error) {
      std::lock_guard lock(mutex);
      fatal.push_back(error);
    });
  }
  std::size_t relayReports() {
    std::lock_guard lock(mutex);
    return relays.size();
  }
};

class RelayLoopbackTest : public testing::RelayFixture {
 protected:
  std::shared_ptr<RelayHostService> startService(std::optional<std::uint16_t> listenerPort,
                                                 std::vector<Bytes> denied = {},
                                                 RelayHostService::Options options = quickService()) {
    auto client = makeClient();
    enrol(client);
    auto service = RelayHostService::make(io.get_executor(), clock, client, hostSigner, listenerPort, std::move(denied),
                                          std::move(options));
    watch.attach(service);
    service->start();
    return service;
  }

  static bool isReady(const std::shared_ptr<RelayHostService>& service) {
    return service->current().kind == RelayHostService::Status::Kind::registered;
  }

  Bytes grantFor(const RelaySigner& device) {
    return issueRelayJoinGrant(device.publicKey(), *hostSigner, std::chrono::system_clock::now(), relayGrantValidity);
  }

  std::vector<RelayEndpoint> relays() const { return {RelayEndpoint{"127.0.0.1", relay->port()}}; }

  asio::awaitable<std::shared_ptr<RelayClientLink>> openLink(std::vector<RelayEndpoint> list, Bytes grant,
                                                             std::shared_ptr<RelaySigner> device) {
    RelayClientLink::Options options;
    options.tunnel = quickTunnel();
    co_return co_await RelayClientLink::open(io.get_executor(), clock, std::move(list), std::move(grant),
                                             std::move(device), 3s, options);
  }

  // What opening a link threw, as text ("" when it opened).
  std::string openFailure(std::vector<RelayEndpoint> list, Bytes grant, std::shared_ptr<RelaySigner> device) {
    try {
      await(openLink(std::move(list), std::move(grant), std::move(device)));
    } catch (const RelayLinkError& error) {
      return error.what();
    }
    return "";
  }

  ServiceWatch watch;
  std::shared_ptr<RelaySigner> device = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
};

TEST_F(RelayLoopbackTest, EnrolsOverHTTPSAndCachesTheAdmission) {
  startCoordinator();
  auto client = makeClient();
  enrol(client);
  try {
    await(client->enroll("ABCDE-FGHJK"));  // an invite works once
    FAIL();
  } catch (const CoordinatorError& error) {
    EXPECT_STREQ(error.what(), "That invite is invalid, used or expired");
  }

  RelayAdmission first = await(client->admission(false));
  ASSERT_EQ(first.relays.size(), 1u);
  EXPECT_EQ(first.relays[0], (RelayCandidate{"sin", "127.0.0.1", relay->port()}));
  EXPECT_EQ(await(client->admission(false)), first);
  EXPECT_EQ(tokenRequests(), 1);  // the second came from the cache
  RelayAdmission fresh = await(client->admission(true));
  EXPECT_EQ(fresh.relays, first.relays);
  EXPECT_EQ(tokenRequests(), 2);

  // Failures keep their texts; the cache outlives them.
  admin("/admin/fail", R"({"status":429,"count":1})");
  try {
    await(client->admission(true));
    FAIL();
  } catch (const CoordinatorError& error) {
    EXPECT_STREQ(error.what(), "Too many tries. Wait a minute and try again");
  }
  EXPECT_TRUE(await(client->cachedExpiry()));
  admin("/admin/revoke", R"({"host_key":")" + AuthCrypto::base64URLEncode(hostSigner->publicKey()) + R"("})");
  try {
    await(client->fetchAdmission(std::nullopt));
    FAIL();
  } catch (const CoordinatorError& error) {
    EXPECT_EQ(error.kind(), CoordinatorError::Case::revoked);
  }
}

TEST_F(RelayLoopbackTest, CertificateNotTrustedIsUnreachable) {
  startCoordinator();
  auto untrusting = platform::makeHTTPSession(io.get_executor(), {});
  try {
    await(makeClient(untrusting)->enroll("ABCDEFGHJK"));
    FAIL();
  } catch (const CoordinatorError& error) {
    EXPECT_EQ(error.kind(), CoordinatorError::Case::unreachable);
  }
}

TEST_F(RelayLoopbackTest, DeviceReachesTheQUICListenerThroughTheRelay) {
  startCoordinator();
  auto listener = QUICHostListener::create(io, "Test Mac", UUID::random(), makeIdentity("Test Mac"), std::nullopt,
                                           false, QUICConfiguration(), clock);
  listener->start();
  std::uint16_t port = await(listener->waitUntilReady());
  auto service = startService(port);
  ASSERT_TRUE(eventually([&] { return isReady(service); })) << service->current().text();
  EXPECT_EQ(service->current().text(), "Ready \u00B7 Singapore");
  ASSERT_EQ(watch.relayReports(), 1u);
  EXPECT_EQ(watch.relays[0], relays());

  auto connection = await(connectThroughRelay(io, clock, relays(), grantFor(*device), device,
                                              ServerTrust::pinned(listener->certificateFingerprint())));
  auto accepted = listener->connections();
  auto host = await(accepted.next());
  ASSERT_TRUE(host && *host);
  Message ping = msg::Ping{42};
  connection->send(ping);
  auto received = await((*host)->messages().next());
  ASSERT_TRUE(received);
  EXPECT_EQ(*received, ping);
  Message pong = msg::Pong{42};
  (*host)->send(pong);
  auto answer = await(connection->messages().next());
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, pong);

  // Keepalives flow while registered; the relay forgetting everything makes the host register again.
  ASSERT_TRUE(eventually([&] { return relay->framesOfType(RelayPacketType::keepalive) >= 2; }));
  std::size_t registrations = relay->framesOfType(RelayPacketType::registerRequest);
  relay->restart();
  ASSERT_TRUE(eventually([&] {
    return relay->framesOfType(RelayPacketType::registerRequest) > registrations && relay->sessionCount() == 1;
  }));
  EXPECT_TRUE(isReady(service));
  // A second device joins the new session.
  auto second = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
  auto link = await(openLink(relays(), grantFor(*second), second));
  EXPECT_NE(link->localPort(), 0);
  connection->close();
  service->stop();
  listener->stop();
}

TEST_F(RelayLoopbackTest, DeniedDeviceIsRefusedAndDenialReachesTheRunningService) {
  startCoordinator();
  auto service = startService(std::uint16_t(9), {device->publicKey()});
  ASSERT_TRUE(eventually([&] { return isReady(service); }));
  ASSERT_TRUE(eventually([&] { return relay->deniedKeys().size() == 1; }));
  EXPECT_EQ(openFailure(relays(), grantFor(*device), device),
            "Couldn't reach the Mac through the relay (relay error 10).");

  auto other = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
  auto link = await(openLink(relays(), grantFor(*other), other));
  service->setDenied({device->publicKey(), other->publicKey()});
  ASSERT_TRUE(eventually([&] { return relay->deniedKeys().size() >= 2; }));
  EXPECT_EQ(openFailure(relays(), grantFor(*other), other),
            "Couldn't reach the Mac through the relay (relay error 10).");
  service->stop();
}

TEST_F(RelayLoopbackTest, AnUnreachableFirstRelayGivesWayToTheNext) {
  std::uint16_t dead;
  {
    asio::ip::udp::socket probe(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    dead = probe.local_endpoint().port();
  }
  startCoordinator(
      {"127.0.0.1:" + std::to_string(dead) + ":fra", "127.0.0.1:" + std::to_string(relay->port()) + ":sin"});
  auto service = startService(std::uint16_t(9));
  ASSERT_TRUE(eventually([&] { return isReady(service); })) << service->current().text();
  EXPECT_EQ(service->current().text(), "Ready \u00B7 Singapore");
  ASSERT_EQ(watch.relayReports(), 1u);
  EXPECT_EQ(watch.relays[0], relays());  // devices are told the relay in use
  service->stop();
}

TEST_F(RelayLoopbackTest, CoordinatorFailuresShowAndRevocationIsFatal) {
  startCoordinator();
  auto client = makeClient();
  enrol(client);
  admin("/admin/fail", R"({"status":500,"body":"oops","count":2})");
  auto service = RelayHostService::make(io.get_executor(), clock, client, hostSigner, std::nullopt, {}, quickService());
  watch.attach(service);
  auto statuses = service->statuses();
  service->start();
  ASSERT_TRUE(eventually([&] { return isReady(service); }));
  std::vector<std::string> texts;
  while (statuses.count() > 0) texts.push_back(await(statuses.next())->text());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "The relay answered 500."), texts.end());
  EXPECT_EQ(texts.front(), "Connecting\u2026");

  admin("/admin/revoke", R"({"host_key":")" + AuthCrypto::base64URLEncode(hostSigner->publicKey()) + R"("})");
  // The relay forgets the session and refuses the cached token: the session ends, and the
  // fresh admission it asks for is refused.
  relay->failNext(RelayPacketType::registerRequest, RelayErrorCode::badToken);
  relay->restart();
  ASSERT_TRUE(eventually(
      [&] {
        std::lock_guard lock(watch.mutex);
        return !watch.fatal.empty();
      },
      20s));
  EXPECT_EQ(watch.fatal[0].kind(), CoordinatorError::Case::revoked);
  EXPECT_EQ(service->current().text(), "Remote access for this Mac was removed");
  service->stop();
  EXPECT_EQ(service->current().text(), "Remote access off");
}

TEST_F(RelayLoopbackTest, SilentRelayIsAbandonedAfterEightRequests) {
  relay->setSilent(true);
  auto tunnel = RelayTunnel::make(io.get_executor(), clock, RelayRole::client, relays().front(), device, quickTunnel(),
                                  [grant = grantFor(*device)](bool) -> asio::awaitable<Bytes> { co_return grant; });
  auto events = tunnel->events();
  tunnel->start();
  auto event = await(events.next());
  ASSERT_TRUE(event);
  EXPECT_EQ(*event, RelayTunnelEvent::unavailable("no reply from relay"));
  EXPECT_EQ(relay->framesOfType(RelayPacketType::challengeRequest), 8u);
  tunnel->stop();
}

TEST_F(RelayLoopbackTest, BadCookiesAreRetriedThreeTimes) {
  startCoordinator();
  auto service = startService(std::uint16_t(9));
  ASSERT_TRUE(eventually([&] { return isReady(service); }));
  relay->failNext(RelayPacketType::join, RelayErrorCode::badCookie, 3);
  auto link = await(openLink(relays(), grantFor(*device), device));  // the fourth join gets in
  EXPECT_EQ(relay->framesOfType(RelayPacketType::join), 4u);
  relay->failNext(RelayPacketType::join, RelayErrorCode::badCookie, 4);
  auto other = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
  EXPECT_EQ(openFailure(relays(), grantFor(*other), other),
            "Couldn't reach the Mac through the relay (relay error 8).");
  service->stop();
}

// Path changes come from the test: a satisfied path after the first makes a client rebind and
// a host register again.
struct FakePaths {
  std::mutex mutex;
  std::vector<std::pair<Strand, std::function<void(const platform::NetworkPath&)>>> watchers;

  RelayTunnel::PathWatcher watcher() {
    return [this](const Strand& strand, std::function<void(const platform::NetworkPath&)> handler) {
      std::lock_guard lock(mutex);
      watchers.emplace_back(strand, handler);
      asio::post(strand, [handler] { handler(platform::NetworkPath{}); });
      return std::function<void()>([] {});
    };
  }
  void change() {
    platform::NetworkPath path;
    path.satisfied = true;
    path.availableInterfaces.push_back({"eth1", platform::NetworkInterfaceType::wiredEthernet, 3});
    std::lock_guard lock(mutex);
    for (auto& [strand, handler] : watchers) asio::post(strand, [handler, path] { handler(path); });
  }
};

TEST_F(RelayLoopbackTest, PathChangeRebindsTheDeviceAndReregistersTheHost) {
  startCoordinator();
  FakePaths paths;
  auto options = quickService();
  options.tunnel.pathWatcher = paths.watcher();
  auto client = makeClient();
  enrol(client);
  auto service = RelayHostService::make(io.get_executor(), clock, client, hostSigner, std::uint16_t(9), {}, options);
  service->start();
  ASSERT_TRUE(eventually([&] { return isReady(service); }));
  RelayClientLink::Options linkOptions;
  linkOptions.tunnel = quickTunnel();
  linkOptions.tunnel.pathWatcher = paths.watcher();
  auto link =
      await(RelayClientLink::open(io.get_executor(), clock, relays(), grantFor(*device), device, 3s, linkOptions));
  std::size_t registrations = relay->framesOfType(RelayPacketType::registerRequest);
  paths.change();
  ASSERT_TRUE(eventually([&] { return relay->framesOfType(RelayPacketType::rebind) >= 1; }));
  ASSERT_TRUE(eventually([&] { return relay->framesOfType(RelayPacketType::registerRequest) > registrations; }));
  EXPECT_TRUE(link->tunnel()->established());
  service->stop();
}

// Datagrams cross the relay both ways in order and unchanged, and follow a change of the
// listener's port at once: nothing more reaches the old port, and the new one's answers get back.
TEST_F(RelayLoopbackTest, DatagramsFollowTheListenersPortThroughTheRelay) {
  startCoordinator();
  asio::ip::udp::socket oldListener(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  asio::ip::udp::socket newListener(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  asio::ip::udp::socket app(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  for (auto* socket : {&oldListener, &newListener, &app}) socket->non_blocking(true);
  auto service = startService(oldListener.local_endpoint().port());
  ASSERT_TRUE(eventually([&] { return isReady(service); }));
  auto link = await(openLink(relays(), grantFor(*device), device));
  const asio::ip::udp::endpoint linkEnd(asio::ip::address_v4::loopback(), link->localPort());

  // Everything waiting on `socket` within a moment, with where the last one came from.
  asio::ip::udp::endpoint lastSender;
  auto take = [&](asio::ip::udp::socket& socket, std::size_t expected, std::chrono::milliseconds limit = 5s) {
    std::vector<Bytes> got;
    eventually(
        [&] {
          std::array<std::uint8_t, 2048> buffer{};
          asio::error_code error;
          for (;;) {
            std::size_t size = socket.receive_from(asio::buffer(buffer), lastSender, 0, error);
            if (error) break;
            got.emplace_back(buffer.begin(), buffer.begin() + static_cast<long>(size));
          }
          return got.size() >= expected;
        },
        limit);
    return got;
  };
  auto datagram = [](std::uint8_t tag, std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(tag + i * 7);
    return bytes;
  };

  std::vector<Bytes> sent;
  for (std::uint8_t i = 0; i < 20; ++i) {
    sent.push_back(datagram(i, i == 0 ? 0 : 60 * i + 150));  // up to 1,290 bytes, and an empty one
    app.send_to(asio::buffer(sent.back()), linkEnd);
  }
  EXPECT_EQ(take(oldListener, sent.size()), sent);
  const auto flowToOld = lastSender;
  oldListener.send_to(asio::buffer(datagram(99, 1350)), flowToOld);
  EXPECT_EQ(take(app, 1), std::vector<Bytes>{datagram(99, 1350)});

  service->setListenerPort(newListener.local_endpoint().port());
  app.send_to(asio::buffer(datagram(7, 500)), linkEnd);
  EXPECT_EQ(take(newListener, 1), std::vector<Bytes>{datagram(7, 500)});
  EXPECT_TRUE(take(oldListener, 1, 300ms).empty()) << "the old port still gets datagrams";
  newListener.send_to(asio::buffer(datagram(8, 700)), lastSender);
  EXPECT_EQ(take(app, 1), std::vector<Bytes>{datagram(8, 700)});
  // The flow towards the old port is closed: its answers go nowhere.
  oldListener.send_to(asio::buffer(datagram(9, 10)), flowToOld);
  EXPECT_TRUE(take(app, 1, 300ms).empty());
  link->close();
  service->stop();
}

TEST_F(RelayLoopbackTest, PeersBeyondTheFlowLimitAreDropped) {
  startCoordinator();
  asio::ip::udp::socket listener(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  listener.non_blocking(true);
  auto options = quickService();
  options.maxFlows = 1;
  auto service = startService(listener.local_endpoint().port(), {}, options);
  ASSERT_TRUE(eventually([&] { return isReady(service); }));
  auto second = std::make_shared<P256RelaySigner>(platform::P256PrivateKey::generate());
  auto first = await(openLink(relays(), grantFor(*device), device));
  auto other = await(openLink(relays(), grantFor(*second), second));

  asio::ip::udp::socket app(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  auto sendThrough = [&](const std::shared_ptr<RelayClientLink>& link, std::uint8_t tag) {
    app.send_to(asio::buffer(Bytes(32, tag)),
                asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), link->localPort()));
  };
  std::set<std::uint8_t> tags;
  auto received = [&] {
    std::array<std::uint8_t, 64> buffer{};
    asio::error_code error;
    asio::ip::udp::endpoint from;
    for (;;) {
      std::size_t size = listener.receive_from(asio::buffer(buffer), from, 0, error);
      if (error) break;
      if (size > 0) tags.insert(buffer[0]);
    }
  };
  sendThrough(first, 1);
  ASSERT_TRUE(eventually([&] {
    received();
    return tags.count(1) == 1;
  }));
  for (int i = 0; i < 3; ++i) sendThrough(other, 2);
  sendThrough(first, 3);
  ASSERT_TRUE(eventually([&] {
    received();
    return tags.count(3) == 1;
  }));
  received();
  EXPECT_EQ(tags.count(2), 0u) << "a peer beyond the limit got a flow";
  first->close();
  other->close();
  service->stop();
}

TEST(LoopbackUDPTest, HostFlowPassesOnlyTheListenersWholeDatagrams) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread thread([&] { io.run(); });
  asio::ip::udp::socket listener(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  asio::ip::udp::socket stranger(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  auto flow = LoopbackUDP::make(io.get_executor(), listener.local_endpoint().port());
  std::mutex mutex;
  std::vector<Bytes> received;
  std::size_t receivedAtBatchEnd = 0;
  flow->start(
      [&](ByteView datagram) {
        std::lock_guard lock(mutex);
        received.emplace_back(datagram.begin(), datagram.end());
      },
      [&] {
        std::lock_guard lock(mutex);
        receivedAtBatchEnd = received.size();
      });
  auto count = [&] {
    std::lock_guard lock(mutex);
    return received.size();
  };
  asio::ip::udp::endpoint to(asio::ip::address_v4::loopback(), flow->port());
  stranger.send_to(asio::buffer(Bytes{6, 6, 6}), to);  // not the listener: never passed on
  listener.send_to(asio::buffer(Bytes(3000, 1)), to);  // larger than the buffer: dropped whole
  listener.send_to(asio::buffer(Bytes{}), to);         // empty: passed on as empty
  listener.send_to(asio::buffer(Bytes(2048, 2)), to);  // exactly the buffer
  ASSERT_TRUE(eventually([&] { return count() == 2; }));
  std::this_thread::sleep_for(50ms);
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(received[0].empty());
    EXPECT_EQ(received[1], Bytes(2048, 2));
  }
  EXPECT_EQ(flow->oversizedDropped(), 1u);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(receivedAtBatchEnd, 2u) << "the last read's batch end did not follow its datagrams";
  }

  // Sends go to the listener before anything was received from it; none after close.
  flow->send(Bytes{7});
  std::array<std::uint8_t, 16> buffer{};
  EXPECT_EQ(listener.receive(asio::buffer(buffer)), 1u);
  flow->close();
  flow->close();
  flow->send(Bytes{8});
  listener.non_blocking(true);
  std::this_thread::sleep_for(50ms);
  asio::error_code error;
  listener.receive(asio::buffer(buffer), 0, error);
  EXPECT_EQ(error, asio::error::would_block);
  work.reset();
  io.stop();
  thread.join();
}

TEST(LoopbackUDPTest, DeviceFlowAnswersTheLatestSender) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread thread([&] { io.run(); });
  auto flow = LoopbackUDP::make(io.get_executor(), std::nullopt);
  std::atomic<int> received{0};
  flow->start([&](ByteView) { ++received; });
  flow->send(Bytes{1});  // no remote yet: dropped
  asio::ip::udp::socket first(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  asio::ip::udp::socket second(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  asio::ip::udp::endpoint to(asio::ip::address_v4::loopback(), flow->port());
  first.send_to(asio::buffer(Bytes{1}), to);
  second.send_to(asio::buffer(Bytes{2}), to);
  ASSERT_TRUE(eventually([&] { return received == 2; }));
  flow->send(Bytes{3});
  std::array<std::uint8_t, 4> buffer{};
  EXPECT_EQ(second.receive(asio::buffer(buffer)), 1u);
  EXPECT_EQ(buffer[0], 3);
  first.non_blocking(true);
  asio::error_code error;
  first.receive(asio::buffer(buffer), 0, error);
  EXPECT_EQ(error, asio::error::would_block);
  flow->close();
  work.reset();
  io.stop();
  thread.join();
}

// On the flow's strand gathered datagrams wait for the flush, then go out in order; gathered
// from elsewhere, each goes out as a send would.
TEST(LoopbackUDPTest, GatheredDatagramsWaitForTheFlush) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread thread([&] { io.run(); });
  asio::ip::udp::socket listener(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  listener.non_blocking(true);
  Strand strand = makeStrand(io.get_executor());
  auto flow = LoopbackUDP::make(strand, listener.local_endpoint().port());
  flow->start([](ByteView) {});
  auto waiting = [&] {
    asio::error_code error;
    return listener.available(error);
  };
  std::promise<std::size_t> beforeFlush;
  asio::post(strand, [&] {
    flow->gather(Bytes{1});
    flow->gather(Bytes{2, 2});
    beforeFlush.set_value(waiting());
    flow->flush();
  });
  EXPECT_EQ(beforeFlush.get_future().get(), 0u);
  flow->gather(Bytes{3, 3, 3});  // not on the strand
  std::vector<std::size_t> sizes;
  ASSERT_TRUE(eventually([&] {
    std::array<std::uint8_t, 16> buffer{};
    asio::error_code error;
    std::size_t size = listener.receive(asio::buffer(buffer), 0, error);
    if (!error) sizes.push_back(size);
    return sizes.size() == 3;
  }));
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 2, 3}));
  flow->close();
  work.reset();
  io.stop();
  thread.join();
}

// Datagrams gathered for one send arrive as the datagrams they were, in order, also where runs of
// one size to one receiver go out as one segmented message; a datagram larger than a slot is
// reported, not cut.
TEST(DatagramBatchTest, GatheredDatagramsArriveWholeAndInOrder) {
  asio::io_context io;
  auto open = [&] {
    asio::ip::udp::socket socket(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    socket.non_blocking(true);
    socket.set_option(asio::socket_base::receive_buffer_size(1 << 20));
    return socket;
  };
  auto sender = open(), b = open(), c = open(), joined = open();
  platform::enableReceiveCoalescing(joined);  // runs may come as one read, split again here
  const auto toB = b.local_endpoint(), toC = c.local_endpoint(), toJoined = joined.local_endpoint();
  auto datagram = [](std::uint8_t tag, std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(tag * 31 + i);
    return bytes;
  };
  std::vector<Bytes> forB, forC;
  platform::DatagramSender batch(64, 2048);
  auto add = [&](std::vector<Bytes>& list, const asio::ip::udp::endpoint& to, Bytes bytes) {
    ASSERT_TRUE(batch.add(ByteView(bytes).first(9), ByteView(bytes).subspan(9), &to));
    list.push_back(std::move(bytes));
  };
  std::uint8_t tag = 0;
  for (int i = 0; i < 50; ++i) add(forB, toB, datagram(++tag, 1359));  // more than one run holds
  add(forB, toB, datagram(++tag, 700));                                // a shorter last
  for (int i = 0; i < 5; ++i) add(forC, toC, datagram(++tag, 1359));
  add(forB, toB, datagram(++tag, 1400));  // longer than the run before
  add(forB, toB, datagram(++tag, 1400));
  add(forC, toC, datagram(++tag, 2048));
  EXPECT_FALSE(batch.add(Bytes(2049, 1), {}, &toB)) << "larger than a slot";
  batch.flush(sender);
  EXPECT_TRUE(batch.empty());
  for (const auto& bytes : forB) ASSERT_TRUE(batch.add({}, bytes, &toJoined));
  ASSERT_TRUE(batch.add({}, datagram(99, 1500), &toJoined));  // larger than the receiver takes
  batch.flush(sender);

  auto receiveAll = [](asio::ip::udp::socket& socket, std::size_t slot, bool coalesce = false) {
    platform::DatagramReceiver receiver(coalesce ? 4 : 16, slot, coalesce);
    std::vector<Bytes> got;
    std::size_t truncated = 0;
    asio::error_code error;
    while (std::size_t count = receiver.receive(socket, error)) {
      for (std::size_t i = 0; i < count; ++i) {
        if (receiver.datagram(i).truncated) {
          ++truncated;
        } else {
          got.emplace_back(receiver.bytes(i).begin(), receiver.bytes(i).end());
        }
      }
    }
    EXPECT_FALSE(error);
    return std::pair(got, truncated);
  };
  EXPECT_EQ(receiveAll(b, 2048).first, forB);
  auto [gotC, truncatedC] = receiveAll(c, 2000);
  EXPECT_EQ(gotC, std::vector<Bytes>(forC.begin(), forC.end() - 1));
  EXPECT_EQ(truncatedC, 1u);
  auto [gotJoined, truncatedJoined] = receiveAll(joined, 1450, true);
  EXPECT_EQ(gotJoined, forB);
  EXPECT_EQ(truncatedJoined, 1u);

  // A burst of the QUIC stack's (54 packets of 1,200 bytes) with a relay header on each goes
  // as one message: the receiver reads it whole in one.
  std::vector<Bytes> burst;
  for (int i = 0; i < 54; ++i) {
    burst.push_back(datagram(++tag, 1209));
    ASSERT_TRUE(batch.add(ByteView(burst.back()).first(9), ByteView(burst.back()).subspan(9), &toJoined));
  }
  batch.flush(sender);
  platform::DatagramReceiver oneMessage(1, 2048, true);
  asio::error_code error;
  ASSERT_EQ(oneMessage.receive(joined, error), burst.size()) << error.message();
  for (std::size_t i = 0; i < burst.size(); ++i) {
    EXPECT_TRUE(std::ranges::equal(oneMessage.bytes(i), burst[i])) << "datagram " << i;
  }
}

// A segmented send that the kernel refuses goes out again one datagram at a time: every
// datagram arrives whole and in order, and so do those of the sender's later batches. The
// kernel refuses on a socket without checksums, and on a route whose MTU is smaller than a
// segment with its headers (there it fragments single datagrams instead).
TEST(DatagramBatchTest, DatagramsOfARefusedSegmentedSendGoOutOneAtATime) {
  struct Case {
    const char* refusal;
    int loopbackMTU;  // 0: this machine's loopback
    bool noChecksums;
  };
  for (const Case& c : {Case{"no checksums", 0, true}, Case{"segments above the MTU", 1380, false}}) {
    SCOPED_TRACE(c.refusal);
    std::string skipped;
    std::thread([&] {
      if (c.loopbackMTU) {
        skipped = testing::enterLoopbackNamespace(c.loopbackMTU);
        if (!skipped.empty()) return;
      }
      asio::io_context io;
      asio::ip::udp::socket sender(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
      asio::ip::udp::socket receiver(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
      receiver.non_blocking(true);
      receiver.set_option(asio::socket_base::receive_buffer_size(4 << 20));
      if (c.noChecksums) {
        int on = 1;
        ASSERT_EQ(setsockopt(sender.native_handle(), SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
      }
      const auto to = receiver.local_endpoint();
      platform::DatagramSender batch(64, 2048);
      std::vector<Bytes> sent;
      std::uint8_t tag = 0;
      for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 41; ++i) {
          Bytes bytes(i == 40 ? 700 : 1359, ++tag);  // a run, then a shorter last
          ASSERT_TRUE(batch.add(ByteView(bytes).first(9), ByteView(bytes).subspan(9), &to));
          sent.push_back(std::move(bytes));
        }
        batch.flush(sender);
      }
      platform::DatagramReceiver reader(16, 2048);
      std::vector<Bytes> got;
      asio::error_code error;
      while (std::size_t count = reader.receive(receiver, error)) {
        for (std::size_t i = 0; i < count; ++i) got.emplace_back(reader.bytes(i).begin(), reader.bytes(i).end());
      }
      EXPECT_FALSE(error) << error.message();
      EXPECT_EQ(got.size(), sent.size());
      EXPECT_TRUE(got == sent) << "a datagram arrived changed or out of order";
    }).join();
    if (!skipped.empty()) GTEST_SKIP() << skipped;
  }
}

}  // namespace
}  // namespace brindlet
