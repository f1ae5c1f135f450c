// Advertisement and discovery through the test mDNS daemon: the listener's service as
// avahi-browse and our browser see it, and a device connecting to a host it found.
#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include "kit/support/SystemClock.h"
#include "kit/transport/QUICHostBrowser.h"
#include "kit/transport/QUICHostListener.h"
#include "platform/dnssd/AvahiBrowse.h"
#include "transport/discovery/ListenerFixture.h"

// libdbus (under the Avahi client) is not instrumented: ThreadSanitizer cannot see how it
// orders and sets up its internal locks when several clients open and close in one process,
// and flags them. Its locking is not ours to change.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libdbus-1.so\nrace:libdbus-1.so\n"; }

namespace brindlet {
namespace {

using testing::browseGone;
using testing::browseLine;
using testing::uniqueName;

class DiscoveryTest : public testing::ListenerFixture {
 protected:
  void SetUp() override {
    if (!std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
      GTEST_FAIL() << "needs the test daemons: run under scripts/test-services (DBUS_SYSTEM_BUS_ADDRESS unset)";
    }
  }

  std::shared_ptr<QUICHostListener> startListener(const std::string& name, std::optional<UUID> hostID, bool advertise) {
    auto listener = QUICHostListener::create(io, name, hostID, makeIdentity(name), std::nullopt, advertise,
                                             QUICConfiguration(), SystemClock::shared());
    listener->start();
    port = await([](std::shared_ptr<QUICHostListener> l) -> asio::awaitable<uint16_t> {
      co_return co_await l->waitUntilReady();
    }(listener));
    return listener;
  }

  uint16_t port = 0;
};

TEST_F(DiscoveryTest, TheAdvertisementCarriesNamePortAndHostIDUntilStopped) {
  const std::string name = uniqueName("Studio Mac");
  const UUID hostID = UUID::random();
  auto listener = startListener(name, hostID, true);
  auto line = browseLine(name);
  ASSERT_TRUE(line) << "avahi-browse does not list " << name;
  EXPECT_EQ((*line)[4], "_nolu._udp");
  EXPECT_EQ((*line)[8], std::to_string(port));
  EXPECT_EQ((*line)[9], "\"id=" + hostID.uuidString() + "\"");

  listener->stop();
  EXPECT_TRUE(browseGone(name)) << "still advertised after stop";
}

TEST_F(DiscoveryTest, WithoutHostIDTheTXTRecordIsEmptyAndWithoutAdvertisingNothingIsPublished) {
  const std::string anonymous = uniqueName("Anonymous Mac");
  const std::string hidden = uniqueName("Hidden Mac");
  auto first = startListener(anonymous, std::nullopt, true);
  auto second = startListener(hidden, UUID::random(), false);
  auto line = browseLine(anonymous);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), 10u);
  EXPECT_EQ((*line)[9], "") << "no TXT entry";
  EXPECT_TRUE(browseGone(hidden)) << "published without advertising";
  first->stop();
  second->stop();
}

asio::awaitable<std::vector<DiscoveredHost>> hostsUntil(AsyncStream<std::vector<DiscoveredHost>> hosts,
                                                        std::string name) {
  while (auto list = co_await hosts.next()) {
    for (const auto& host : *list) {
      if (host.name == name) co_return *list;
    }
  }
  co_return std::vector<DiscoveredHost>{};
}

TEST_F(DiscoveryTest, ADeviceFindsTheHostAndConnectsPinnedAndUnpinned) {
  const std::string name = uniqueName("Office Mac");
  const UUID hostID = UUID::random();
  auto listener = startListener(name, hostID, true);

  auto browser = QUICHostBrowser::create(io);
  browser->start();
  auto list = await(hostsUntil(browser->hosts(), name));
  auto found = std::find_if(list.begin(), list.end(), [&](const DiscoveredHost& h) { return h.name == name; });
  ASSERT_NE(found, list.end()) << "the browser did not find " << name;
  EXPECT_EQ(*found, (DiscoveredHost{name + "._nolu._udp.local", name, hostID, false}));
  EXPECT_TRUE(std::is_sorted(list.begin(), list.end(),
                             [](const DiscoveredHost& a, const DiscoveredHost& b) { return a.name < b.name; }));

  auto pinned = await(browser->connect(*found, ServerTrust::pinned(listener->certificateFingerprint())));
  EXPECT_EQ(pinned->peerFingerprint(), listener->certificateFingerprint());
  auto unpinned = await(browser->connect(*found, ServerTrust::unpinned()));
  EXPECT_EQ(unpinned->peerFingerprint(), listener->certificateFingerprint()) << "recorded when unpinned";

  // The host got both, ready.
  for (int i = 0; i < 2; ++i) {
    auto incoming =
        await([](std::shared_ptr<QUICHostListener> l) -> asio::awaitable<std::optional<std::shared_ptr<Connection>>> {
          auto stream = l->connections();
          co_return co_await stream.next();
        }(listener));
    ASSERT_TRUE(incoming && *incoming);
    (*incoming)->close();
  }
  pinned->close();
  unpinned->close();
  browser->stop();
  listener->stop();
}

}  // namespace
}  // namespace brindlet
