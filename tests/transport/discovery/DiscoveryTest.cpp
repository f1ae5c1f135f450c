// Advertisement and discovery through the test mDNS daemon: the listener's service as
// avahi-browse and our browser see it, and a device connecting to a host it found.
#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>
#include <thread>

#include <unistd.h>

#include "kit/support/ManualClock.h"
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

// The path of a "unix:path=..." D-Bus address (nothing for other kinds).
std::optional<std::filesystem::path> socketOf(const char* address) {
  const std::string_view prefix = "unix:path=";
  if (!address || !std::string_view(address).starts_with(prefix)) return std::nullopt;
  std::string path(std::string_view(address).substr(prefix.size()));
  return path.substr(0, path.find(','));
}

// libdbus reads the system bus's address once per process. So this process reaches the test
// services' system bus through a link of its own, set up before anything uses D-Bus, which a
// test can take away or point at another bus (one without the daemon) and then give back.
class SystemBusLink {
 public:
  SystemBusLink() : real_(socketOf(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"))) {
    if (!real_) return;
    folder_ = std::filesystem::temp_directory_path() / ("brindlet-bus-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    restore();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (folder_ / "bus").string()).c_str(), 1);
  }
  ~SystemBusLink() {
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }
  bool usable() const { return real_.has_value(); }
  void remove() { std::filesystem::remove(folder_ / "bus"); }
  void pointAt(const std::filesystem::path& socket) {
    std::filesystem::remove(folder_ / "next");
    std::filesystem::create_symlink(socket, folder_ / "next");
    std::filesystem::rename(folder_ / "next", folder_ / "bus");
  }
  void restore() { pointAt(*real_); }

 private:
  std::optional<std::filesystem::path> real_;
  std::filesystem::path folder_;
};

SystemBusLink systemBus;  // before main, so before any D-Bus use

TEST_F(DiscoveryTest, AnAdvertisementWithoutADaemonIsRetriedWithBackOffWhileThePortListens) {
  ASSERT_TRUE(systemBus.usable()) << "needs the test services' system bus at a unix:path address";
  const auto sessionBus = socketOf(std::getenv("DBUS_SESSION_BUS_ADDRESS"));
  ASSERT_TRUE(sessionBus) << "needs the test services' session bus at a unix:path address";
  testing::ListenerLog log;
  struct Restore {
    ~Restore() { systemBus.restore(); }
  } restore;
  auto clock = std::make_shared<ManualClock>();
  auto advanceWhenSleeping = [&](std::chrono::seconds by) {
    for (int i = 0; i < 2000 && clock->sleeperCount() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(clock->sleeperCount(), 1u) << "no retry is waiting";
    clock->advance(by);
  };

  // No system bus at all: the client cannot even be made.
  systemBus.remove();
  const std::string name = uniqueName("Retrying Mac");
  auto listener = QUICHostListener::create(io, name, UUID::random(), makeIdentity(name), std::nullopt, true,
                                           QUICConfiguration(), clock);
  listener->start();
  port = await([](std::shared_ptr<QUICHostListener> l) -> asio::awaitable<uint16_t> {
    co_return co_await l->waitUntilReady();
  }(listener));
  const std::string unadvertised = "advertisement failed: Daemon not running; listening on UDP " +
                                   std::to_string(port) + " unadvertised (reachable by address only); ";
  ASSERT_TRUE(log.waitFor(unadvertised + "retry 1 in 1s")) << ::testing::PrintToString(log.lines());

  // A bus without the daemon on it: the client would wait there without a word.
  systemBus.pointAt(*sessionBus);
  advanceWhenSleeping(std::chrono::seconds(1));
  ASSERT_TRUE(log.waitFor(unadvertised + "retry 2 in 2s")) << ::testing::PrintToString(log.lines());
  EXPECT_TRUE(listener->advertisedName().empty());

  // The daemon is there again: the next attempt publishes the same port.
  systemBus.restore();
  advanceWhenSleeping(std::chrono::seconds(2));
  const std::string advertising = "listener advertising on UDP " + std::to_string(port);
  ASSERT_TRUE(log.waitFor(advertising)) << ::testing::PrintToString(log.lines());
  auto line = browseLine(name);
  ASSERT_TRUE(line) << "avahi-browse does not list " << name;
  EXPECT_EQ((*line)[8], std::to_string(port));
  EXPECT_EQ(listener->advertisedName(), name);

  // Said only once it was true, and no retry after it.
  const auto lines = log.lines();
  auto first =
      std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(advertising, 0) == 0; });
  EXPECT_EQ(std::count_if(lines.begin(), first,
                          [](const std::string& l) { return l.find("advertising on") != std::string::npos; }),
            0);
  EXPECT_EQ(
      std::count_if(first, lines.end(), [](const std::string& l) { return l.find("retry") != std::string::npos; }), 0);
  EXPECT_EQ(clock->sleeperCount(), 0u);

  listener->stop();
  EXPECT_TRUE(browseGone(name)) << "still advertised after stop";
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
