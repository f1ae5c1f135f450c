// Key latency: from the device sending a key press to an X client receiving it, through the
// built host program over QUIC on loopback, while the session streams the (still) screen.
// Beside it, in the same run and in turns with it, the reference: a local client of the same
// X server sending the same press through XTest, until the same X client receives it.
//
// Each iteration presses and releases the key `a` once through the host and once through the
// local XTest client, 5-15 ms apart, and times each press from its sending to its arrival at
// the observing window (which has the keyboard focus). Iteration time is the host's latency
// (manual time). Counters (milliseconds): p50_ms, p95_ms for the host, xtest_p50_ms,
// xtest_p95_ms for the reference, and ratio = p50_ms / xtest_p50_ms.
// Needs the test services (scripts/test-services start DIR; . DIR/env); runs
// build/host/brindlet-host in a fresh home folder and stops it at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "HostUnderBench.h"

// Xlib's macros last: they clash with names of ours.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "platform/input/X11InputObserver.h"

using namespace brindlet;
using namespace brindlet::testing;
using namespace std::chrono_literals;

namespace {

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t index = std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5));
  return values[index];
}

// Milliseconds from `start` until the observer has seen `count` events of `kind`, or nothing
// when they do not come within a second.
std::optional<double> timeUntil(test::X11InputObserver& observer, std::chrono::steady_clock::time_point start,
                                test::ObservedEvent::Kind kind, std::size_t count) {
  if (!observer.waitFor([&] { return observer.of(kind).size() >= count; }, 1s)) return std::nullopt;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

static void BM_KeyToXClient(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("DISPLAY is not set: start scripts/test-services and source its env");
    return;
  }
  test::X11InputObserver observer;
  Display* local = XOpenDisplay(nullptr);
  if (!observer.isReady() || !local) {
    state.SkipWithError("no X display");
    return;
  }
  const KeyCode keycode = XKeysymToKeycode(local, XK_a);

  StreamingHost session("keys");
  if (session.error()) {
    state.SkipWithError(session.error()->c_str());
    XCloseDisplay(local);
    return;
  }
  TestDevice& device = session.device();

  using Kind = test::ObservedEvent::Kind;
  std::vector<double> ours, reference;
  std::mt19937 random(7);
  auto pause = [&] { std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 11)); };
  observer.clear();
  for (auto _ : state) {
    // Through the host.
    auto start = std::chrono::steady_clock::now();
    device.key(HIDUsage::a, true);
    auto pressed = timeUntil(observer, start, Kind::keyPress, 1);
    device.key(HIDUsage::a, false);
    if (!pressed || !timeUntil(observer, start, Kind::keyRelease, 1)) {
      state.SkipWithError("a key from the device did not reach the X client");
      break;
    }
    ours.push_back(*pressed);
    state.SetIterationTime(*pressed / 1000.0);
    observer.clear();
    pause();

    // The same key from a local XTest client.
    start = std::chrono::steady_clock::now();
    XTestFakeKeyEvent(local, keycode, True, CurrentTime);
    XFlush(local);
    pressed = timeUntil(observer, start, Kind::keyPress, 1);
    XTestFakeKeyEvent(local, keycode, False, CurrentTime);
    XFlush(local);
    if (!pressed || !timeUntil(observer, start, Kind::keyRelease, 1)) {
      state.SkipWithError("a key from XTest did not reach the X client");
      break;
    }
    reference.push_back(*pressed);
    observer.clear();
    pause();
  }
  session.stop();
  XCloseDisplay(local);

  const double p50 = percentile(ours, 0.5), referenceP50 = percentile(reference, 0.5);
  state.counters["p50_ms"] = p50;
  state.counters["p95_ms"] = percentile(ours, 0.95);
  state.counters["xtest_p50_ms"] = referenceP50;
  state.counters["xtest_p95_ms"] = percentile(reference, 0.95);
  state.counters["ratio"] = referenceP50 > 0 ? p50 / referenceP50 : 0;
}
BENCHMARK(BM_KeyToXClient)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
