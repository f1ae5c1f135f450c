// The host browser's list, its restarts after a change of the network path (on a manual
// clock) and its end, over doubles of the DNS-SD browser and the path monitor.
#include <gtest/gtest.h>

#include <asio/post.hpp>

#include "kit/transport/QUICHostBrowser.h"
#include "support/TestLoop.h"

namespace brindlet {
namespace {

using platform::DNSSDBrowseResult;
using platform::NetworkInterfaceType;
using platform::NetworkPath;
using testing::TestLoop;
using namespace std::chrono_literals;

constexpr const char* kHostA = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
constexpr const char* kHostB = "6BA7B810-9DAD-41D1-80B4-00C04FD430C8";

struct Activity final : PlatformActivity {
  void cancel() override { cancelled = true; }
  bool cancelled = false;
};

// Records every browser and monitor the host browser starts, so the test can speak for it.
struct PlatformDouble {
  struct Browser {
    std::shared_ptr<Activity> activity;
    Strand strand;
    std::string type;
    HostBrowserPlatform::ResultsHandler handler;
  };
  struct Monitor {
    std::shared_ptr<Activity> activity;
    Strand strand;
    HostBrowserPlatform::PathHandler handler;
  };
  std::vector<Browser> browsers;
  std::vector<Monitor> monitors;

  HostBrowserPlatform platform(std::shared_ptr<Clock> clock) {
    HostBrowserPlatform p;
    p.clock = std::move(clock);
    p.browse = [this](const Strand& strand, const std::string& type, HostBrowserPlatform::ResultsHandler handler) {
      browsers.push_back({std::make_shared<Activity>(), strand, type, std::move(handler)});
      return browsers.back().activity;
    };
    p.monitorPath = [this](const Strand& strand, HostBrowserPlatform::PathHandler handler) {
      monitors.push_back({std::make_shared<Activity>(), strand, std::move(handler)});
      return monitors.back().activity;
    };
    return p;
  }

  void deliver(size_t browser, std::vector<DNSSDBrowseResult> results) {
    auto& b = browsers.at(browser);
    asio::post(b.strand, [handler = b.handler, results] { handler(results); });
  }
  void path(NetworkPath path) {
    auto& m = monitors.back();
    asio::post(m.strand, [handler = m.handler, path] { handler(path); });
  }
};

DNSSDBrowseResult service(std::string name, std::optional<std::string> id, std::string domain = "local",
                          int interfaceIndex = 1, std::string address = "127.0.0.1", uint16_t port = 4000) {
  DNSSDBrowseResult result;
  result.service = {std::move(name), "_nolu._udp", std::move(domain), interfaceIndex, false};
  result.resolved = true;
  result.address = std::move(address);
  result.port = port;
  if (id) result.txt.set("id", *id);
  return result;
}

NetworkPath path(bool satisfied, std::vector<std::pair<std::string, NetworkInterfaceType>> interfaces) {
  NetworkPath p;
  p.satisfied = satisfied;
  int index = 2;
  for (auto& [name, type] : interfaces) p.availableInterfaces.push_back({name, type, index++});
  return p;
}

const NetworkPath kWired = path(true, {{"eth0", NetworkInterfaceType::wiredEthernet}});

asio::awaitable<void> collect(AsyncStream<std::vector<DiscoveredHost>> stream,
                              std::shared_ptr<std::vector<std::vector<DiscoveredHost>>> lists,
                              std::shared_ptr<bool> ended) {
  while (auto list = co_await stream.next()) lists->push_back(std::move(*list));
  *ended = true;
}

class QUICHostBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    browser = QUICHostBrowser::create(loop.io, QUICConfiguration(), platform.platform(loop.clock));
    consumer = Task::spawn(loop.strand(), collect(browser->hosts(), lists, ended));
    browser->start();
    loop.settle();
    ASSERT_EQ(platform.browsers.size(), 1u);
    ASSERT_EQ(platform.monitors.size(), 1u);
    EXPECT_EQ(platform.browsers[0].type, "_nolu._udp");
  }
  void TearDown() override {
    browser->stop();
    loop.settle();
  }

  std::vector<std::string> names(const std::vector<DiscoveredHost>& list) {
    std::vector<std::string> out;
    for (const auto& host : list) out.push_back(host.name);
    return out;
  }

  TestLoop loop;
  PlatformDouble platform;
  std::shared_ptr<QUICHostBrowser> browser;
  std::shared_ptr<std::vector<std::vector<DiscoveredHost>>> lists =
      std::make_shared<std::vector<std::vector<DiscoveredHost>>>();
  std::shared_ptr<bool> ended = std::make_shared<bool>(false);
  Task consumer;
};

TEST_F(QUICHostBrowserTest, ListsEachServiceOnceSortedByNameThenID) {
  platform.deliver(0, {
                          service("Studio", kHostA), service("Attic", std::nullopt),
                          service("Studio", kHostB, "example.org"),      // same name, another domain
                          service("Cellar", std::string("not-a-uuid")),  // id that is no UUID
                          service("Attic", std::nullopt, "local", 3),    // same service on another interface
                      });
  loop.settle();
  ASSERT_EQ(lists->size(), 1u);
  const std::vector<DiscoveredHost> expected = {
      {"Attic._nolu._udp.local", "Attic", std::nullopt, false},
      {"Cellar._nolu._udp.local", "Cellar", std::nullopt, false},
      {"Studio._nolu._udp.example.org", "Studio", UUID::parse(kHostB), false},
      {"Studio._nolu._udp.local", "Studio", UUID::parse(kHostA), false},
  };
  EXPECT_EQ(lists->back(), expected);

  // Every result set replaces the list as a whole.
  platform.deliver(0, {service("Cellar", std::nullopt)});
  loop.settle();
  EXPECT_EQ(names(lists->back()), std::vector<std::string>{"Cellar"});
}

TEST_F(QUICHostBrowserTest, RestartsHalfASecondAfterARealPathChange) {
  platform.deliver(0, {service("Studio", kHostA)});
  platform.path(kWired);  // the first report only records
  loop.advance(2s);
  EXPECT_EQ(platform.browsers.size(), 1u);

  // Another interface of the same type: no change.
  platform.path(path(true, {{"eth1", NetworkInterfaceType::wiredEthernet}}));
  loop.advance(2s);
  EXPECT_EQ(platform.browsers.size(), 1u);

  // Joining Wi-Fi: two reports 0.3 s apart give one restart, 0.5 s after the last.
  platform.path(path(true, {{"eth1", NetworkInterfaceType::wiredEthernet}, {"wlan0", NetworkInterfaceType::wifi}}));
  loop.advance(300ms);
  platform.path(path(true, {{"wlan0", NetworkInterfaceType::wifi}}));
  loop.advance(499ms);
  EXPECT_EQ(platform.browsers.size(), 1u);
  const size_t before = lists->size();
  loop.advance(1ms);
  ASSERT_EQ(platform.browsers.size(), 2u);
  EXPECT_TRUE(platform.browsers[0].activity->cancelled);
  EXPECT_FALSE(platform.monitors[0].activity->cancelled) << "the monitor keeps running";
  ASSERT_EQ(lists->size(), before + 1);
  EXPECT_TRUE(lists->back().empty()) << "the list empties when browsing starts afresh";

  // The replaced browser is not heard any more; the new one refills the list.
  platform.deliver(0, {service("Ghost", kHostB)});
  loop.settle();
  EXPECT_EQ(lists->size(), before + 1);
  platform.deliver(1, {service("Studio", kHostA)});
  loop.settle();
  EXPECT_EQ(names(lists->back()), std::vector<std::string>{"Studio"});
  loop.advance(5s);
  EXPECT_EQ(platform.browsers.size(), 2u);

  // Losing the network is a change as well.
  platform.path(path(false, {}));
  loop.advance(500ms);
  EXPECT_EQ(platform.browsers.size(), 3u);
}

TEST_F(QUICHostBrowserTest, ConnectingToAHostNoLongerListedFailsWithUnknownHost) {
  platform.deliver(0, {service("Studio", kHostA)});
  loop.settle();
  const DiscoveredHost studio = lists->back().at(0);
  platform.path(kWired);
  platform.path(path(false, {}));
  loop.advance(500ms);
  ASSERT_TRUE(lists->back().empty());

  std::optional<QUICError> error;
  auto attempt = [](std::shared_ptr<QUICHostBrowser> browser, DiscoveredHost host,
                    std::optional<QUICError>& error) -> asio::awaitable<void> {
    try {
      co_await browser->connect(host, ServerTrust::unpinned());
    } catch (const QUICError& e) {
      error = e;
    }
  };
  Task task = Task::spawn(loop.strand(), attempt(browser, studio, error));
  ASSERT_TRUE(loop.runUntil([&] { return error.has_value(); }));
  EXPECT_EQ(*error, QUICError::failed("unknown host Studio"));
}

TEST_F(QUICHostBrowserTest, StopEndsTheListAndEverythingPending) {
  platform.path(kWired);
  platform.path(path(false, {}));
  loop.settle();
  browser->stop();
  browser->stop();
  loop.settle();
  EXPECT_TRUE(*ended);
  EXPECT_TRUE(platform.browsers[0].activity->cancelled);
  EXPECT_TRUE(platform.monitors[0].activity->cancelled);
  loop.advance(2s);
  EXPECT_EQ(platform.browsers.size(), 1u) << "the pending restart was cancelled";

  // Results arriving late go nowhere.
  const size_t seen = lists->size();
  platform.deliver(0, {service("Late", kHostA)});
  loop.settle();
  EXPECT_EQ(lists->size(), seen);
}

}  // namespace
}  // namespace brindlet
