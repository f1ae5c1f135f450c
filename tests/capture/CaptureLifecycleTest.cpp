#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/app/CaptureLifecycle.h"
#include "platform/log/Log.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::TestLoop;
using Event = HostPowerEvent;
using Calls = std::vector<std::string>;

const char* stateName(HostState state) {
  switch (state) {
    case HostState::ok:
      return "ok";
    case HostState::displayAsleep:
      return "displayAsleep";
    case HostState::waking:
      return "waking";
    case HostState::locked:
      return "locked";
    case HostState::asleep:
      return "asleep";
    default:
      return "other";
  }
}

// The application model's side, written down as one line per call.
class RecordingCapture final : public CaptureControlling {
 public:
  asio::awaitable<void> suspendCapture(std::string reason) override {
    calls.push_back("suspend " + reason);
    co_return;
  }
  asio::awaitable<void> resumeCapture() override {
    calls.push_back("resume");
    co_return;
  }
  asio::awaitable<void> hostNote(std::optional<std::string> note) override {
    calls.push_back("note " + note.value_or("(none)"));
    co_return;
  }
  asio::awaitable<void> publish(HostState state, std::optional<std::string> note) override {
    calls.push_back(std::string("publish ") + stateName(state) + (note ? " / " + *note : ""));
    co_return;
  }

  Calls calls;
};

class CountingListener final : public ListenerControlling {
 public:
  ListenerState state() const override { return ListenerState::idle(); }
  void start() override { ++starts; }
  int starts = 0;
};

class CountingPower final : public PowerManaging {
 public:
  std::optional<AssertionID> holdDisplayAwake(std::string_view) override { return std::nullopt; }
  bool release(AssertionID) override { return false; }
  void releaseAll() override {}
  void wakeDisplay() override { ++wakes; }
  int wakes = 0;
};

class CaptureLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousObserver_ = platform::setLogObserver([this](const platform::LogRecord& r) {
      if (r.level == platform::LogLevel::error) errors.push_back(r.message);
    });
    capture = std::make_shared<RecordingCapture>();
    listener = std::make_shared<CountingListener>();
    power = std::make_shared<CountingPower>();
    probes = 0;
    errors.clear();
    lifecycle = CaptureLifecycle::make(
        loop.strand(), power,
        [this] {
          ++probes;
          return displayAsleep;
        },
        loop.clock);
    lifecycle->setCapture(capture);
    lifecycle->setListener(listener);
  }
  void TearDown() override {
    lifecycle.reset();
    loop.settle();
    platform::setLogObserver(previousObserver_);
  }

  void run(asio::awaitable<void> operation) {
    Task task = Task::spawn(loop.strand(), std::move(operation));
    loop.settle();
  }
  void handle(std::vector<Event> events) {
    for (Event event : events) run(lifecycle->handle(event));
  }
  void wake(bool displayWasAsleep) { run(lifecycle->wakeDisplay(displayWasAsleep)); }
  // The calls made since the last look.
  Calls taken() { return std::exchange(capture->calls, {}); }

  TestLoop loop;
  std::shared_ptr<RecordingCapture> capture;
  std::shared_ptr<CountingListener> listener;
  std::shared_ptr<CountingPower> power;
  bool displayAsleep = false;
  int probes = 0;
  std::shared_ptr<CaptureLifecycle> lifecycle;
  std::vector<std::string> errors;
  platform::LogObserver previousObserver_;
};

TEST_F(CaptureLifecycleTest, PowerAndLockEventsSuspendResumeAndPublishAsTheComputerChanges) {
  struct Step {
    Event event;
    Calls calls;  // what the session is asked, in order
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    int listenerStarts;
  };
  const std::vector<Case> cases{
      {"sleep, then the displays: suspended twice, the state published once",
       {{Event::willSleep, {"suspend Mac is asleep", "publish asleep / Mac is asleep"}},
        {Event::screensDidSleep, {"suspend Mac is asleep"}}},
       0},
      {"a wake before the displays: listening restarts, capture waits for the displays",
       {{Event::willSleep, {"suspend Mac is asleep", "publish asleep / Mac is asleep"}},
        {Event::screensDidSleep, {"suspend Mac is asleep"}},
        {Event::didWake, {"publish displayAsleep / Mac display is asleep"}},
        {Event::screensDidWake, {"resume", "publish ok"}}},
       1},
      {"the displays before the wake: capture waits for the wake",
       {{Event::willSleep, {"suspend Mac is asleep", "publish asleep / Mac is asleep"}},
        {Event::screensDidSleep, {"suspend Mac is asleep"}},
        {Event::screensDidWake, {}},
        {Event::didWake, {"resume", "publish ok"}}},
       1},
      {"a lock keeps capture running; the unlock restarts it",
       {{Event::screenLocked, {"note Mac is locked", "publish locked / Mac is locked"}},
        {Event::screenUnlocked, {"resume", "publish ok"}}},
       0},
      {"an unlock behind sleeping displays only clears the flag",
       {{Event::screensDidSleep, {"suspend Mac display is asleep", "publish displayAsleep / Mac display is asleep"}},
        {Event::screenLocked, {"note Mac is locked"}},
        {Event::screenUnlocked, {}},
        {Event::screensDidWake, {"resume", "publish ok"}}},
       0},
      {"a lock outlives the displays' sleep",
       {{Event::screenLocked, {"note Mac is locked", "publish locked / Mac is locked"}},
        {Event::screensDidSleep, {"suspend Mac display is asleep", "publish displayAsleep / Mac display is asleep"}},
        {Event::screensDidWake, {"resume", "publish locked / Mac is locked"}}},
       0},
      {"a wake that nothing suspended resumes nothing",
       {{Event::didWake, {"publish ok"}}, {Event::screensDidWake, {}}},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    for (const Step& step : c.steps) {
      handle({step.event});
      EXPECT_EQ(taken(), step.calls) << hostPowerEventName(step.event);
    }
    EXPECT_EQ(listener->starts, c.listenerStarts);
    EXPECT_EQ(probes, 0);
  }
}

TEST_F(CaptureLifecycleTest, AWakeRequestForASleepingDisplayShowsWakingAndRetriesOnce) {
  displayAsleep = true;
  wake(true);
  EXPECT_EQ(taken(), (Calls{"suspend Mac display is asleep", "publish waking"}));
  EXPECT_TRUE(lifecycle->displaysAsleep());

  loop.advance(2999ms);
  EXPECT_EQ(power->wakes, 0);
  loop.advance(1ms);
  EXPECT_EQ(errors, Calls{"display did not wake within the timeout; retrying once"});
  EXPECT_EQ(power->wakes, 1);
  EXPECT_TRUE(taken().empty());

  loop.advance(3s);
  EXPECT_EQ(errors,
            (Calls{"display did not wake within the timeout; retrying once", "display still asleep after retry"}));
  EXPECT_EQ(taken(), Calls{"publish displayAsleep / Mac display is asleep"});
  EXPECT_FALSE(lifecycle->wakePending());

  handle({Event::screensDidWake});  // late, but it still brings the picture back
  EXPECT_EQ(taken(), (Calls{"resume", "publish ok"}));
  loop.advance(10s);
  EXPECT_EQ(power->wakes, 1);
}

TEST_F(CaptureLifecycleTest, ADisplayThatWakesInTimeEndsTheRetryQuietly) {
  struct Case {
    const char* name;
    Clock::Duration wokeAfter;
  };
  for (const Case& c : {Case{"before the first check", 2s}, Case{"after the retry", 4s}}) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    handle({Event::screensDidSleep});
    taken();
    wake(false);  // the displays are known to sleep: no probe needed
    EXPECT_EQ(probes, 0);
    EXPECT_EQ(taken(), Calls{"publish waking"});
    loop.advance(c.wokeAfter);
    handle({Event::screensDidWake});
    EXPECT_EQ(taken(), (Calls{"resume", "publish ok"}));
    loop.advance(10s);
    EXPECT_EQ(power->wakes, c.wokeAfter > 3s ? 1 : 0);
    EXPECT_EQ(errors.size(), c.wokeAfter > 3s ? 1u : 0u);
    EXPECT_TRUE(taken().empty());
  }
}

TEST_F(CaptureLifecycleTest, ASecondWakeRequestStartsAFreshWait) {
  displayAsleep = true;
  wake(true);
  loop.advance(2s);
  wake(true);  // already suspended: not again; the state is still waking
  EXPECT_EQ(taken(), (Calls{"suspend Mac display is asleep", "publish waking"}));
  loop.advance(1500ms);  // 3.5 s after the first request
  EXPECT_EQ(power->wakes, 0);
  loop.advance(1500ms);
  EXPECT_EQ(power->wakes, 1);
  loop.advance(3s);
  EXPECT_EQ(errors.size(), 2u);
  EXPECT_EQ(taken(), Calls{"publish displayAsleep / Mac display is asleep"});
}

TEST_F(CaptureLifecycleTest, AWakeRequestWithNothingAsleepOnlyRepublishes) {
  struct Case {
    const char* name;
    std::vector<Event> before;
    bool displayWasAsleep;
    bool probeSaysAsleep;
    int probes;
    Calls calls;
  };
  const std::vector<Case> cases{
      {"the session saw the display awake", {}, false, true, 0, {"publish ok"}},
      {"the probe finds it awake", {}, true, false, 1, {"publish ok"}},
      {"the state was published before", {Event::screenLocked}, false, true, 0, {}},
      // Asleep as a whole: no probe and no retry, whatever the session saw.
      {"the computer sleeps", {Event::willSleep}, true, true, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    displayAsleep = c.probeSaysAsleep;
    handle(c.before);
    taken();
    wake(c.displayWasAsleep);
    EXPECT_EQ(probes, c.probes);
    EXPECT_EQ(taken(), c.calls);
    EXPECT_FALSE(lifecycle->wakePending());
    loop.advance(10s);
    EXPECT_EQ(power->wakes, 0);
  }
}

TEST_F(CaptureLifecycleTest, WithoutItsControllersTheFlagsStillFollowAndTheRetryEndsWithTheLifecycle) {
  capture.reset();
  listener.reset();
  handle({Event::willSleep, Event::screenLocked, Event::didWake, Event::screensDidSleep});
  EXPECT_TRUE(lifecycle->locked());
  EXPECT_TRUE(lifecycle->captureSuspended());
  EXPECT_EQ(lifecycle->lastPublished(), HostState::displayAsleep);

  wake(false);
  EXPECT_EQ(lifecycle->lastPublished(), HostState::waking);
  lifecycle.reset();  // the retry holds it weakly: it ends without waking the display
  loop.advance(10s);
  EXPECT_EQ(power->wakes, 0);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace brindlet::host
