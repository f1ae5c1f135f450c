// The host application: it creates the long-lived objects (displays, power, the application
// model and its loopback listener), starts the model and runs until SIGINT or SIGTERM, when
// every power assertion is released before the process exits.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "host/HostLog.h"
#include "host/HostVersion.h"
#include "host/app/AppModel.h"
#include "host/app/SystemPowerManager.h"
#include "host/capture/DisplayManager.h"
#include "host/session/HostComposition.h"
#include "host/session/HostSecurity.h"
#include "host/session/LoopbackHostListener.h"
#include "kit/support/KitLog.h"
#include "kit/support/SystemClock.h"
#include "kit/support/Task.h"
#include "platform/screen/DisplayPower.h"
#include "platform/screen/XErrorHandler.h"

namespace {

using namespace brindlet;
using namespace brindlet::host;

}  // namespace

int main() {
  setKitLogSubsystem(hostLogSubsystem);
  platform::installXErrorHandlers(transportLog());

  std::printf("%s %s\n", productName, hostVersion());
  std::fflush(stdout);

  asio::io_context io;
  auto work = asio::make_work_guard(io);
  Executor executor = io.get_executor();
  Strand mainStrand = makeStrand(executor);

  std::shared_ptr<DisplayManager> displays;
  try {
    displays = DisplayManager::make(executor, SystemClock::shared());
  } catch (const std::exception& error) {
    transportLog().error("displays unavailable: %s", error.what());
    std::fprintf(stderr, "%s: cannot reach the X display (%s)\n", productName, error.what());
    return 1;
  }
  // The monitors' sleep state, read on every relative pointer move: refreshed on a strand of
  // its own, never on a session's.
  auto displaySleep = platform::DisplaySleep::open();
  Task displaySleepRefresh =
      Task::spawn(makeStrand(executor), platform::DisplaySleep::follow(displaySleep, SystemClock::shared()));
  setMainDisplaySleep(displaySleep);
  auto power = std::make_shared<SystemPowerManager>();
  auto loopback = std::make_shared<LoopbackHostListener>();
  auto model = AppModel::make(executor, mainStrand, AppModel::defaultListenerFactory(io), displays, power, loopback,
                              AppModel::defaultServices(executor));
  // Until the confirmation dialog exists, a compared-code request is shown in the log; it is
  // refused when the gate's minute runs out.
  model->showConfirmation = [](const PairingPrompter::Pending& pending) {
    transportLog().notice("pairing request from %s with code %s", pending.deviceName.c_str(), pending.code.c_str());
  };

  // A process that only hosts tests creates everything and starts nothing.
  bool hostingTests = std::getenv("XCTestConfigurationFilePath") != nullptr;

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& error, int signal) {
    if (error) return;
    transportLog().notice("terminating on signal %d", signal);
    power->releaseAll();  // synchronous: nothing is left holding the display awake
    loopback->stop();
    work.reset();
    io.stop();
  });

  if (!hostingTests) asio::post(mainStrand, [model] { model->start(); });

  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&io] { io.run(); });
  io.run();
  for (auto& thread : threads) thread.join();
  power->releaseAll();
  // The model goes first (it closes its sessions' connections and waits for its encoder
  // probe); what its going cancels or ends still runs, then the executor goes.
  model.reset();
  displays.reset();
  displaySleepRefresh.cancel();
  io.restart();
  io.poll();
  return 0;
}
