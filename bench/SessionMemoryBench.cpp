// The host's memory over many short sessions: the built host program streams the main display
// to a test device that connects, takes pictures while the screen changes, reports congestion
// once (so the host lowers the bit rate mid-session), and leaves; 60 times in a row. The
// reference is the host's resident memory after the first session, in the same run.
// Counters: rss_first_mb, rss_20_mb, rss_40_mb, rss_60_mb (MB resident once that session has
// ended), idle_mb (before the first session) and ratio_20, ratio_40, ratio_60 (over the first;
// the aim: at most 1.1).
// Needs the test services (scripts/test-services start DIR; . DIR/env); runs
// build/host/brindlet-host in a fresh home folder and stops it at the end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <xcb/xcb.h>

#include "HostUnderBench.h"

using namespace brindlet;
using namespace brindlet::testing;
using namespace std::chrono_literals;

namespace {

// Resident memory of a process, in MB.
double residentMB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// A strip across the main display whose colour changes at every paint.
class ChangingStrip {
 public:
  ChangingStrip() {
    c_ = xcb_connect(nullptr, nullptr);
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    uint32_t values[2] = {0, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, s->root, 0, 400, 1920, 200, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      s->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, window_);
    xcb_flush(c_);
  }
  ~ChangingStrip() {
    xcb_destroy_window(c_, window_);
    xcb_flush(c_);
    xcb_disconnect(c_);
  }
  void paint() {
    uint32_t value = (++count_ * 0x3b5f17u) & 0xffffffu;
    xcb_change_window_attributes(c_, window_, XCB_CW_BACK_PIXEL, &value);
    xcb_clear_area(c_, 0, window_, 0, 0, 0, 0);
    xcb_flush(c_);
  }

 private:
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
  uint32_t count_ = 0;
};

}  // namespace

static void BM_HostMemoryOverSessions(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("DISPLAY is not set: start scripts/test-services and source its env");
    return;
  }
  ChangingStrip strip;
  HostUnderBench host("memory");
  if (!host.listening()) {
    state.SkipWithError("the host did not start listening");
    return;
  }
  std::this_thread::sleep_for(1s);
  const double idle = residentMB(host.process().pid());

  constexpr int sessions = 60;
  double after[sessions + 1] = {};
  for (auto _ : state) {
    for (int n = 1; n <= sessions; ++n) {
      const size_t from = host.process().output().size();
      {
        auto connected = host.connectDevice();
        if (!connected) {
          state.SkipWithError("the device was not let in");
          return;
        }
        TestDevice& device = *connected;
        device.hello();
        if (!device.waitForPicture([](const ReceivedPicture&) { return true; }, 15s)) {
          state.SkipWithError("no video arrived");
          return;
        }
        // Pictures at one rate, congestion, then pictures at the lower rate.
        for (int i = 0; i < 6; ++i) {
          strip.paint();
          std::this_thread::sleep_for(40ms);
          if (i == 2) device.send(Message(msg::Feedback{Feedback{30, 5, 40.0f, false}}));
        }
        device.close();
      }
      if (!host.process().waitForOutput("session ended", 10s, from)) {
        state.SkipWithError("the host did not end the session");
        return;
      }
      std::this_thread::sleep_for(200ms);
      after[n] = residentMB(host.process().pid());
    }
  }
  host.process().stop();
  state.counters["idle_mb"] = idle;
  state.counters["rss_first_mb"] = after[1];
  state.counters["rss_2_mb"] = after[2];
  state.counters["rss_5_mb"] = after[5];
  state.counters["rss_20_mb"] = after[20];
  state.counters["rss_40_mb"] = after[40];
  state.counters["rss_60_mb"] = after[60];
  state.counters["ratio_20"] = after[20] / after[1];
  state.counters["ratio_40"] = after[40] / after[1];
  state.counters["ratio_60"] = after[60] / after[1];
}
BENCHMARK(BM_HostMemoryOverSessions)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
