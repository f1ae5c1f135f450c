#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "app/FakeListener.h"
#include "host/app/ListenerSupervisor.h"
#include "host/app/NetworkPathWatch.h"
#include "kit/transport/InMemoryConnection.h"
#include "platform/log/Log.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::FakeListenerFactory;
using brindlet::testing::TestLoop;
using Ports = std::vector<std::optional<std::uint16_t>>;

class ListenerSupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousObserver_ = platform::setLogObserver([this](const platform::LogRecord& r) {
      if (r.category == "transport") logs.push_back(r.message);
    });
    supervisor = ListenerSupervisor::make(
        loop.strand(), [this](std::optional<std::uint16_t> port) { return factory.make(port); },
        [this](std::shared_ptr<Connection> c) { accepted.push_back(std::move(c)); }, BackoffPolicy{}, loop.clock);
    supervisor->onPortChange = [this](std::optional<std::uint16_t> p) { portChanges.push_back(p); };
    supervisor->onStateChange = [this](const ListenerState& s) { states.push_back(s); };
  }
  void TearDown() override {
    supervisor->stop();
    loop.settle();
    platform::setLogObserver(previousObserver_);
  }

  // Starts supervision and lets the first listener become ready on `port`.
  void advertise(std::uint16_t port) {
    supervisor->start();
    loop.settle();
    factory.last()->becomeReady(port);
    loop.settle();
  }

  TestLoop loop;
  FakeListenerFactory factory;
  std::shared_ptr<ListenerSupervisor> supervisor;
  std::vector<std::shared_ptr<Connection>> accepted;
  Ports portChanges;
  std::vector<ListenerState> states;
  std::vector<std::string> logs;
  platform::LogObserver previousObserver_;
};

TEST_F(ListenerSupervisorTest, FirstRunAsksForAnyPortThenAdvertisesAndHandsOnConnections) {
  supervisor->start();
  loop.settle();
  ASSERT_TRUE(factory.last() && factory.last()->started);
  EXPECT_EQ(supervisor->state(), ListenerState::starting());
  factory.last()->becomeReady(50123);
  loop.settle();

  EXPECT_EQ(supervisor->requestedPorts(), Ports{std::nullopt});
  EXPECT_EQ(supervisor->state(), ListenerState::advertising(50123));
  EXPECT_EQ(portChanges, (Ports{std::nullopt, 50123}));
  EXPECT_EQ(logs, std::vector<std::string>{"listener listening on UDP 50123"});

  auto [a, b] = InMemoryConnection::pair();
  factory.last()->deliver(a);
  factory.last()->deliver(b);
  loop.settle();
  EXPECT_EQ(accepted, (std::vector<std::shared_ptr<Connection>>{a, b}));
}

TEST_F(ListenerSupervisorTest, ARunThatNeverSucceedsBacksOffToThirtySecondsAskingForAnyPort) {
  factory.failing = true;
  supervisor->start();
  loop.settle();
  const std::vector<double> delays{1, 2, 4, 8, 16, 30, 30, 30};
  for (std::size_t i = 0; i < delays.size(); ++i) {
    ASSERT_EQ(supervisor->state(), ListenerState::retrying(static_cast<std::int64_t>(i + 1), delays[i])) << i;
    std::size_t before = factory.requests.size();
    loop.advance(std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(delays[i])) - 1ms);
    EXPECT_EQ(factory.requests.size(), before) << "retried before its delay, failure " << i + 1;
    loop.advance(1ms);
    EXPECT_EQ(factory.requests.size(), before + 1) << "no retry after the delay, failure " << i + 1;
  }
  for (const auto& port : factory.requests) EXPECT_FALSE(port);
  EXPECT_EQ(logs.front(), "listener failed (no socket); retry 1 in 1s");
  EXPECT_EQ(logs.at(5), "listener failed (no socket); retry 6 in 30s");
}

TEST_F(ListenerSupervisorTest, APortIsAskedForAgainUntilItFailsTwiceThenAnyPort) {
  advertise(50123);

  factory.last()->endConnections();  // the listener stopped by itself
  loop.settle();
  EXPECT_EQ(supervisor->state(), ListenerState::retrying(1, 1));
  EXPECT_TRUE(factory.listeners[0]->stopped);
  loop.advance(1s);
  EXPECT_EQ(factory.requests, (Ports{std::nullopt, 50123}));

  factory.last()->failReadiness();
  loop.settle();
  EXPECT_EQ(supervisor->state(), ListenerState::retrying(2, 2));
  loop.advance(2s);
  EXPECT_EQ(factory.requests, (Ports{std::nullopt, 50123, std::nullopt}));
  EXPECT_EQ(supervisor->requestedPorts(), factory.requests);

  // A success on another port becomes the port to ask for.
  factory.last()->becomeReady(50999);
  loop.settle();
  EXPECT_EQ(supervisor->lastPort(), 50999);
  EXPECT_EQ(supervisor->failuresOnPort(), 0);
  EXPECT_EQ(portChanges.back(), 50999);
}

TEST_F(ListenerSupervisorTest, ARestartWhileWaitingToRetryEndsTheOldRunAndKeepsThePort) {
  advertise(50123);
  factory.last()->endConnections();
  loop.settle();
  loop.advance(1s);
  factory.last()->failReadiness();  // second attempt on 50123 fails: the port counts 1 failure more
  loop.settle();
  ASSERT_EQ(supervisor->state(), ListenerState::retrying(2, 2));
  std::size_t requestsBefore = factory.requests.size();

  supervisor->start();  // a wake from sleep
  loop.settle();
  EXPECT_EQ(factory.requests.size(), requestsBefore + 1);
  EXPECT_EQ(factory.requests.back(), std::nullopt);  // 50123 had failed twice
  loop.advance(60s);                                 // the old run's sleep would have ended
  EXPECT_EQ(factory.requests.size(), requestsBefore + 1);

  factory.failing = true;
  factory.last()->failReadiness();
  loop.settle();
  EXPECT_EQ(supervisor->state(), ListenerState::retrying(1, 1));  // the new run counts from 0
}

TEST_F(ListenerSupervisorTest, ASupersededAttemptThatBecomesReadyLateChangesNothing) {
  supervisor->start();
  loop.settle();
  auto old = factory.last();
  supervisor->start();  // a network-path change while the first attempt waits
  loop.settle();
  EXPECT_TRUE(old->stopped);
  ASSERT_EQ(factory.listeners.size(), 2u);
  std::size_t logsBefore = logs.size(), changesBefore = portChanges.size();

  old->becomeReady(40000);  // too late: the old run ends quietly
  loop.settle();
  EXPECT_EQ(supervisor->state(), ListenerState::starting());
  EXPECT_EQ(logs.size(), logsBefore);
  EXPECT_EQ(portChanges.size(), changesBefore);
  EXPECT_FALSE(supervisor->lastPort());

  factory.last()->becomeReady(50123);
  loop.settle();
  EXPECT_EQ(supervisor->state(), ListenerState::advertising(50123));
}

TEST_F(ListenerSupervisorTest, ASupersededFailureIsNeitherLoggedNorRetried) {
  supervisor->start();
  loop.settle();
  auto old = factory.last();
  supervisor->start();
  loop.settle();
  old->failReadiness();
  loop.settle();
  loop.advance(120s);
  EXPECT_EQ(factory.requests.size(), 2u);
  EXPECT_EQ(supervisor->state(), ListenerState::starting());
  EXPECT_TRUE(logs.empty());
}

TEST_F(ListenerSupervisorTest, TheSameStateTwiceNotifiesObserversOnceButThePortCallbackEachTime) {
  supervisor->start();
  supervisor->start();
  loop.settle();
  EXPECT_EQ(states, std::vector<ListenerState>{ListenerState::starting()});
  EXPECT_EQ(portChanges, (Ports{std::nullopt, std::nullopt}));
  EXPECT_EQ(supervisor->generation(), 2u);
}

TEST_F(ListenerSupervisorTest, FailuresOfEveryKindAreLoggedWithTheirReason) {
  advertise(50123);
  factory.last()->endConnections();
  loop.settle();
  factory.failing = true;
  loop.advance(1s);
  EXPECT_EQ(supervisor->state(), ListenerState::retrying(2, 2));
  EXPECT_EQ(logs.back(), "listener failed (no socket); retry 2 in 2s");
  EXPECT_EQ(logs.at(1), "listener failed (the listener stopped unexpectedly); retry 1 in 1s");
}

TEST_F(ListenerSupervisorTest, ANetworkPathChangeRestartsTheAdvertisingListenerOnItsPort) {
  advertise(50123);

  AsyncStream<NetworkPathSignature> paths;
  Task watch = Task::spawn(loop.strand(), NetworkPathWatch::watch(paths, supervisor));
  paths.yield({true, {"eth0"}});
  loop.settle();
  EXPECT_EQ(factory.listeners.size(), 1u);  // the first path reported changes nothing
  paths.yield({true, {"eth0", "wlan0"}});
  loop.settle();

  EXPECT_TRUE(factory.listeners[0]->stopped);
  EXPECT_EQ(factory.requests, (Ports{std::nullopt, 50123}));
  EXPECT_EQ(supervisor->state(), ListenerState::starting());
  factory.last()->becomeReady(50123);
  loop.settle();
  EXPECT_EQ(supervisor->state(), ListenerState::advertising(50123));
  EXPECT_EQ(logs.at(1), "network path changed; restarting listener");
  paths.finish();
}

TEST(BackoffPolicy, DelaysDoubleUpToTheCapAndNeverOverflow) {
  BackoffPolicy policy;
  const std::vector<std::pair<std::int64_t, double>> table{
      {0, 1},  {1, 2},  {2, 4},   {3, 8},     {4, 16},
      {5, 30}, {6, 30}, {64, 30}, {1100, 30}, {std::numeric_limits<std::int64_t>::max(), 30},
      {-3, 1}};
  for (auto [k, expected] : table) EXPECT_EQ(policy.delay(k), expected) << "k = " << k;
  // Odd policies stay finite and within the cap.
  EXPECT_EQ((BackoffPolicy{0, 2, 30}.delay(5000)), 0);
  EXPECT_EQ((BackoffPolicy{1e300, 1e300, 30}.delay(3)), 30);
  EXPECT_EQ((BackoffPolicy{1, 1, 30}.delay(std::numeric_limits<std::int64_t>::max())), 1);
}

}  // namespace
}  // namespace brindlet::host
