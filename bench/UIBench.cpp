// What the host's windows cost: the time from start to "listener advertising" with the windows
// (the panel and, on a first start, the guide) beside the same host without them, and the CPU
// each uses while nothing changes.
//
// The host without windows is the same program with GTK kept off the display (GDK_BACKEND set
// to a Wayland display that does not exist): it then runs without windows and says so, while
// capture still uses the X display.
//
//   BM_StartToAdvertising   pairs of starts, alternating; counters (milliseconds, medians):
//                           ui_ms, bare_ms, and ratio = ui_ms / bare_ms (the aim: at most 1.2)
//   BM_IdleCPU              both hosts started (the guide finished before) and left alone for
//                           30 s after a 3 s settle; counters: ui_cpu_percent,
//                           bare_cpu_percent (of one core), and ui_extra_percent, their
//                           difference (the aim: under 0.5)
// Needs the test services (scripts/test-services start DIR; . DIR/env); each host runs in a
// fresh home folder and is stopped by its process ID.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/HostHome.h"
#include "platform/storage/UserDefaults.h"
#include "support/ChildProcess.h"

using namespace brindlet::testing;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<ChildProcess> startHost(const HostHome& home, bool windows) {
  ChildProcess::Environment environment = home.environment();
  if (!windows) {
    environment.emplace_back("GDK_BACKEND", "wayland");
    environment.emplace_back("WAYLAND_DISPLAY", "brindlet-bench-none");
  }
  return std::make_unique<ChildProcess>(BRINDLET_HOST_BINARY, std::vector<std::string>{}, environment);
}

// Seconds of CPU the process has used, all its threads, user and system.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) utime = std::stoull(field);
    if (index == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

bool servicesRunning(benchmark::State& state) {
  if (std::getenv("DISPLAY") && std::getenv("DBUS_SESSION_BUS_ADDRESS")) return true;
  state.SkipWithError("needs the test services: scripts/test-services start DIR; . DIR/env");
  return false;
}

void BM_StartToAdvertising(benchmark::State& state) {
  if (!servicesRunning(state)) return;
  std::vector<double> ui, bare;
  for (auto _ : state) {
    double total = 0;
    for (bool windows : {true, false}) {
      HostHome home(windows ? "bench-ui" : "bench-bare");
      home.makeHostIdentity();
      home.makeHostID();
      auto start = std::chrono::steady_clock::now();
      auto host = startHost(home, windows);
      if (!host->waitForOutput("listener advertising on UDP", 30s)) {
        state.SkipWithError("the host did not advertise within 30 s");
        return;
      }
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      (windows ? ui : bare).push_back(seconds * 1000);
      total += seconds;
      host->stop();
    }
    state.SetIterationTime(total);
  }
  state.counters["ui_ms"] = median(ui);
  state.counters["bare_ms"] = median(bare);
  state.counters["ratio"] = median(bare) > 0 ? median(ui) / median(bare) : 0;
}
BENCHMARK(BM_StartToAdvertising)->Iterations(7)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_IdleCPU(benchmark::State& state) {
  if (!servicesRunning(state)) return;
  for (auto _ : state) {
    HostHome uiHome("bench-ui-idle"), bareHome("bench-bare-idle");
    // The guide finished: at rest the host shows its panel only (an open guide reads the
    // grants every second, as it should).
    for (const HostHome* home : {&uiHome, &bareHome}) {
      brindlet::platform::UserDefaults(home->settingsFile()).set("onboardingCompleted", true);
    }
    auto ui = startHost(uiHome, true);
    auto bare = startHost(bareHome, false);
    if (!ui->waitForOutput("listener advertising on UDP", 30s) ||
        !bare->waitForOutput("listener advertising on UDP", 30s)) {
      state.SkipWithError("the hosts did not advertise within 30 s");
      return;
    }
    std::this_thread::sleep_for(3s);
    double uiBefore = cpuSeconds(ui->pid()), bareBefore = cpuSeconds(bare->pid());
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(30s);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double uiPercent = (cpuSeconds(ui->pid()) - uiBefore) / elapsed * 100;
    double barePercent = (cpuSeconds(bare->pid()) - bareBefore) / elapsed * 100;
    state.counters["ui_cpu_percent"] = uiPercent;
    state.counters["bare_cpu_percent"] = barePercent;
    state.counters["ui_extra_percent"] = uiPercent - barePercent;
    state.SetIterationTime(elapsed);
    ui->stop();
    bare->stop();
  }
}
BENCHMARK(BM_IdleCPU)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
