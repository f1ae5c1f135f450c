// Reading an app's menu tree of about 500 items over the accessibility bus, beside a bare
// libatspi walk of the same tree in the same run:
//  - BM_MenuRead: our read (SystemMenuSource: the menu bar found, each item's title, states and
//    shortcut, the nodes built) against a walk that asks libatspi for the same items' children,
//    names, roles, states and key bindings and keeps nothing. Both run as jobs on the
//    accessibility layer's thread, over its one connection, with the app's tree cached.
//    Counters: ours_ms, bare_ms, ratio (ours over bare) and items.
// Needs the X server and session bus of the test services (scripts/test-services start DIR;
// . DIR/env; build/bench/bench_MenuReadBench). It starts the tests' menu app itself.
#include <benchmark/benchmark.h>

#include <atspi/atspi.h>

#include <chrono>
#include <functional>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "host/control/SystemMenuSource.h"
#include "kit/support/SystemClock.h"
#include "platform/accessibility/Accessibility.h"
#include "support/ChildProcess.h"

using namespace brindlet;
using BenchClock = std::chrono::steady_clock;

namespace {

template <class R>
R onAccessibility(const std::shared_ptr<platform::Accessibility>& accessibility, std::function<R()> job) {
  asio::io_context io;
  std::optional<R> result;
  asio::co_spawn(
      io,
      [](std::shared_ptr<platform::Accessibility> a, std::function<R()> j,
         std::optional<R>* out) -> asio::awaitable<void> {
        out->emplace(co_await a->run(std::move(j)));
      }(accessibility, std::move(job), &result),
      asio::detached);
  io.run();
  return std::move(*result);
}

// The app of `pid` straight from the desktop.
AtspiAccessible* bareApplication(int pid) {
  AtspiAccessible* desktop = atspi_get_desktop(0);
  AtspiAccessible* found = nullptr;
  for (int i = 0, n = atspi_accessible_get_child_count(desktop, nullptr); i < n && !found; ++i) {
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (app && int(atspi_accessible_get_process_id(app, nullptr)) == pid) {
      found = app;
    } else if (app) {
      g_object_unref(app);
    }
  }
  g_object_unref(desktop);
  return found;
}

// Every element below `object`, with what a menu item shows; the number of menu items.
int bareWalk(AtspiAccessible* object, int depth) {
  int items = 0;
  for (int i = 0, n = atspi_accessible_get_child_count(object, nullptr); i < n; ++i) {
    AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, nullptr);
    if (!child) continue;
    AtspiRole role = atspi_accessible_get_role(child, nullptr);
    if (role == ATSPI_ROLE_MENU_BAR || role == ATSPI_ROLE_MENU || role == ATSPI_ROLE_MENU_ITEM ||
        role == ATSPI_ROLE_CHECK_MENU_ITEM || role == ATSPI_ROLE_SEPARATOR || depth < 2) {
      if (depth >= 2) ++items;
      g_free(atspi_accessible_get_name(child, nullptr));
      g_object_unref(atspi_accessible_get_state_set(child));
      if (AtspiAction* action = atspi_accessible_get_action_iface(child)) {
        if (atspi_action_get_n_actions(action, nullptr) > 0) g_free(atspi_action_get_key_binding(action, 0, nullptr));
        g_object_unref(action);
      }
      items += bareWalk(child, depth + 1);
    }
    g_object_unref(child);
  }
  return items;
}

std::size_t countNodes(const std::vector<MenuNode>& menus) {
  std::size_t n = 0;
  for (const auto& node : menus) n += node.itemCount();
  return n;
}

void BM_MenuRead(benchmark::State& state) {
  auto accessibility = platform::Accessibility::shared();
  testing::ChildProcess app(MENU_TEST_APP, {"--title", "Menu Bench", "--big", "500"}, {});
  if (!app.waitForOutput("ready", std::chrono::seconds(20))) {
    state.SkipWithError("the menu app did not start (is the test services' environment set?)");
    return;
  }
  const std::int32_t pid = std::int32_t(app.pid());
  std::function<std::optional<host::MenuTree>()> ours = [accessibility, pid] {
    return host::SystemMenuSource::readMenusNow(*accessibility, *SystemClock::shared(), pid);
  };
  std::function<int()> bare = [pid] {
    AtspiAccessible* a = bareApplication(pid);
    if (!a) return 0;
    int items = bareWalk(a, 0);
    g_object_unref(a);
    return items;
  };
  // Wait for the app on the tree, and warm its cache for both.
  std::optional<host::MenuTree> tree;
  for (int attempt = 0; attempt < 100 && !(tree && countNodes(tree->menus) > 500); ++attempt) {
    tree = onAccessibility(accessibility, ours);
    if (!tree) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!tree) {
    state.SkipWithError("the menu app's tree could not be read");
    return;
  }
  onAccessibility(accessibility, bare);

  double oursTotal = 0, bareTotal = 0;
  int rounds = 0;
  for (auto _ : state) {
    auto t0 = BenchClock::now();
    auto read = onAccessibility(accessibility, ours);
    auto t1 = BenchClock::now();
    int items = onAccessibility(accessibility, bare);
    auto t2 = BenchClock::now();
    benchmark::DoNotOptimize(read);
    benchmark::DoNotOptimize(items);
    oursTotal += std::chrono::duration<double, std::milli>(t1 - t0).count();
    bareTotal += std::chrono::duration<double, std::milli>(t2 - t1).count();
    ++rounds;
  }
  state.counters["ours_ms"] = oursTotal / rounds;
  state.counters["bare_ms"] = bareTotal / rounds;
  state.counters["ratio"] = bareTotal > 0 ? oursTotal / bareTotal : 0;
  state.counters["items"] = double(countNodes(tree->menus));
  app.stop();
}

}  // namespace

BENCHMARK(BM_MenuRead)->Unit(benchmark::kMillisecond)->Iterations(30);

BENCHMARK_MAIN();
