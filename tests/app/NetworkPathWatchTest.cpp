#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/app/NetworkPathWatch.h"
#include "platform/log/Log.h"

namespace brindlet::host {
namespace {

class CountingSupervisor final : public ListenerControlling {
 public:
  ListenerState state() const override { return ListenerState::idle(); }
  void start() override { ++starts; }
  int starts = 0;
};

NetworkPathSignature path(bool satisfied, std::vector<std::string> names) {
  platform::NetworkPath p;
  p.satisfied = satisfied;
  for (auto& n : names) p.availableInterfaces.push_back({n, platform::NetworkInterfaceType::other, 0});
  return NetworkPathSignature::of(p);
}

TEST(NetworkPathWatch, RestartsOnlyWhenThePathComesBackOrItsInterfacesChange) {
  struct Case {
    const char* name;
    std::vector<NetworkPathSignature> updates;
    int restarts;
  };
  const std::vector<Case> cases{
      {"same path twice", {path(true, {"en0"}), path(true, {"en0"})}, 0},
      {"down then back", {path(true, {"en0"}), path(false, {}), path(true, {"en0"})}, 1},
      {"interface added", {path(true, {"en0"}), path(true, {"en0", "utun3"})}, 1},
      {"same names in another order", {path(true, {"en1", "en0"}), path(true, {"en0", "en1"})}, 0},
      {"first update usable", {path(true, {"en0"})}, 0},
      {"first update unusable", {path(false, {})}, 0},
      {"stays down", {path(true, {"en0"}), path(false, {}), path(false, {"en0"})}, 0},
      {"each changed signature", {path(true, {"a"}), path(true, {"b"}), path(true, {"c"}), path(true, {"c"})}, 2},
  };
  for (const auto& c : cases) {
    auto supervisor = std::make_shared<CountingSupervisor>();
    NetworkPathWatch watch(supervisor);
    for (const auto& update : c.updates) watch.receive(update);
    EXPECT_EQ(supervisor->starts, c.restarts) << c.name;
  }
}

TEST(NetworkPathWatch, AReleasedSupervisorStillGetsTheLineLoggedAndThePathRemembered) {
  std::vector<std::string> logs;
  auto previous = platform::setLogObserver([&](const platform::LogRecord& r) {
    if (r.category == "transport") logs.push_back(r.message);
  });
  auto supervisor = std::make_shared<CountingSupervisor>();
  NetworkPathWatch watch(supervisor);
  watch.receive(path(true, {"en0"}));
  supervisor.reset();
  EXPECT_TRUE(watch.receive(path(true, {"wlan0"})));
  EXPECT_FALSE(watch.receive(path(true, {"wlan0"})));  // remembered: the same path again is no change
  platform::setLogObserver(previous);
  EXPECT_EQ(logs, std::vector<std::string>{"network path changed; restarting listener"});
}

}  // namespace
}  // namespace brindlet::host
