// From a change of the focused window on the X server to the session's new capture region,
// beside the follow debounce interval that a new window must hold the focus for before the
// stream follows it:
//  - BM_FocusChangeToCaptureRegion: a session in focus mode on one of two managed windows of
//    this process; the focus is moved to the other one through the window manager, and the time
//    until the session hands the capture source that window's region is measured, 12 times.
//    Counters: p50_ms, p95_ms, debounce_ms (the reference) and p50_over_debounce.
// Needs an X server with a window manager: run it with the environment of scripts/test-services
// (scripts/test-services start DIR; . DIR/env; build/bench/bench_WindowFollowBench).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "host/capture/CaptureSource.h"
#include "host/capture/DisplayManager.h"
#include "host/capture/PowerManaging.h"
#include "host/capture/VideoEncoder.h"
#include "host/capture/WindowCatalog.h"
#include "host/control/AXWindowController.h"
#include "host/control/CGWindowTracker.h"
#include "host/control/FitRestoreRegistry.h"
#include "host/control/SystemFocusObserver.h"
#include "host/control/WindowEvents.h"
#include "host/session/HostSession.h"
#include "kit/support/SystemClock.h"
#include "kit/transport/InMemoryConnection.h"
#include "platform/windows/ManagedTestWindow.h"
#include "platform/windows/WindowManager.h"

using namespace brindlet;
using namespace brindlet::host;
using BenchClock = std::chrono::steady_clock;

namespace {

// Remembers each scope the session asks for, with the time it asked.
class ScopeRecorder final : public CaptureSource {
 public:
  asio::awaitable<void> setScope(CaptureScope scope) override {
    std::lock_guard guard(lock);
    scopes.emplace_back(BenchClock::now(), scope);
    changed.notify_all();
    co_return;
  }
  asio::awaitable<void> start(DisplayInfo, Viewport, FrameHandler) override { co_return; }
  asio::awaitable<void> update(DisplayInfo, Viewport) override { co_return; }
  asio::awaitable<void> stop() override { co_return; }
  AsyncStream<CaptureStop> stops() override { return stops_; }

  // When the session first asked for an app scope of `pid` whose base is `base`, after `since`.
  std::optional<BenchClock::time_point> waitFor(std::int32_t pid, const Rect& base, BenchClock::time_point since) {
    std::unique_lock guard(lock);
    std::optional<BenchClock::time_point> found;
    changed.wait_for(guard, std::chrono::seconds(5), [&] {
      for (const auto& [at, scope] : scopes) {
        if (at >= since && scope == CaptureScope::app(pid, base)) found = at;
      }
      return found.has_value();
    });
    return found;
  }

  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::pair<BenchClock::time_point, CaptureScope>> scopes;

 private:
  AsyncStream<CaptureStop> stops_;
};

class NoEncoder final : public VideoEncoder {
 public:
  CodecProfile activeProfile() const override { return CodecProfile::hevcMain; }
  void encode(const CapturedFrame&, bool, bool) override {}
  void invalidate() override {}
  void requestKeyframe() override {}
  bool keyframePending() const override { return false; }
  void setBitrate(int64_t) override {}
};

class NoEncoders final : public EncoderFactory {
 public:
  std::vector<CodecProfile> supportedProfiles() const override { return {CodecProfile::hevcMain}; }
  std::shared_ptr<VideoEncoder> makeEncoder(CodecProfile, int64_t, EncoderOutputHandler) const override {
    return std::make_shared<NoEncoder>();
  }
};

class NoPower final : public PowerManaging {
 public:
  std::optional<AssertionID> holdDisplayAwake(std::string_view) override { return std::nullopt; }
  bool release(AssertionID) override { return false; }
  void releaseAll() override {}
  void wakeDisplay() override {}
};

asio::awaitable<void> nothing(bool) { co_return; }

void BM_FocusChangeToCaptureRegion(benchmark::State& state) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  std::shared_ptr<Clock> clock = SystemClock::shared();
  auto manager = std::shared_ptr<platform::WindowManager>(platform::WindowManager::open());
  auto events = WindowEvents::make(io.get_executor());
  auto recorder = std::make_shared<ScopeRecorder>();

  HostEnvironment env;
  env.hostName = "Bench";
  env.displays = DisplayManager::make(io.get_executor(), clock);
  env.makeCapture = [recorder]() -> std::shared_ptr<CaptureSource> { return recorder; };
  env.encoders = std::make_shared<NoEncoders>();
  env.power = std::make_shared<NoPower>();
  env.keepDisplayAwake = [] { return false; };
  env.isDisplayAsleep = [] { return false; };
  env.screenRecordingGranted = [] { return true; };
  env.onWakeRequested = nothing;
  env.clock = clock;
  env.windowControl = std::make_shared<AXWindowController>(manager, clock);
  env.windowTracker = std::make_shared<CGWindowTracker>(manager);
  // The host is another process: these windows are this one's.
  env.focusObserver = std::make_shared<SystemFocusObserver>(manager, events, 0);
  env.fitRestore = std::make_shared<FitRestoreRegistry>();
  const double debounce = env.focusDebounce;

  brindlet::testing::ManagedTestWindow a({.title = "Bench A", .x = 100, .y = 100, .width = 600, .height = 400});
  brindlet::testing::ManagedTestWindow b({.title = "Bench B", .x = 400, .y = 300, .width = 600, .height = 400});
  auto [hostEnd, device] = InMemoryConnection::pair();
  auto session = HostSession::make(io.get_executor(), hostEnd, env, nullptr, Bytes{}, nullptr);
  Strand strand = makeStrand(io.get_executor());
  Task run = Task::spawn(strand, session->start());
  msg::Hello hello;
  hello.version = HostSession::protocolVersion;
  hello.deviceName = "Bench";
  hello.capabilities.decodableProfiles = {CodecProfile::hevcMain};
  hello.capabilities.screenPixelWidth = 1920;
  hello.capabilities.screenPixelHeight = 1080;
  hello.capabilities.scale = 1;
  device->send(hello);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto baseOf = [&](std::uint32_t id) {
    auto w = manager->window(id);
    const Rect frame{w->frame.x, w->frame.y, w->frame.width, w->frame.height};
    auto list = asio::co_spawn(io, env.displays->displays(), asio::use_future).get();
    auto display = displayForRect(frame, list);
    return displayLocalRect(frame, *display, 8);
  };
  const std::int32_t pid = getpid();
  device->send(msg::Focus{pid, a.id(), false, false});
  recorder->waitFor(pid, baseOf(a.id()), BenchClock::now() - std::chrono::seconds(5));

  std::vector<double> latencies;
  for (auto _ : state) {
    std::uint32_t next = b.id();
    for (int i = 0; i < 12; ++i) {
      // Past the grace after the last switch.
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      const Rect base = baseOf(next);
      const auto start = BenchClock::now();
      manager->activate(next);
      auto at = recorder->waitFor(pid, base, start);
      if (!at) {
        state.SkipWithError("the session did not follow the focus");
        break;
      }
      latencies.push_back(std::chrono::duration<double, std::milli>(*at - start).count());
      next = next == a.id() ? b.id() : a.id();
    }
  }
  device->close();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  run = Task();
  work.reset();
  io.stop();
  runner.join();
  if (latencies.empty()) return;
  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) { return latencies[std::min(latencies.size() - 1, size_t(p * latencies.size()))]; };
  state.counters["p50_ms"] = percentile(0.5);
  state.counters["p95_ms"] = percentile(0.95);
  state.counters["debounce_ms"] = debounce * 1000;
  state.counters["p50_over_debounce"] = percentile(0.5) / (debounce * 1000);
}

}  // namespace

BENCHMARK(BM_FocusChangeToCaptureRegion)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
