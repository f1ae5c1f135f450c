// The host application: its composition root makes the long-lived objects (displays, power,
// the application model and its loopback listener); it starts the model and runs until
// SIGINT or SIGTERM, when every power assertion is released and every window that fit mode
// resized is put back before the process exits.

#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "host/HostLog.h"
#include "host/HostVersion.h"
#include "host/app/HostComposition.h"
#include "host/capture/PowerManaging.h"
#include "host/control/FitRestoreRegistry.h"
#include "kit/support/KitLog.h"
#include "kit/support/Task.h"
#include "platform/screen/XErrorHandler.h"
#include "platform/support/MemoryReturn.h"

namespace {

using namespace brindlet;
using namespace brindlet::host;

}  // namespace

int main() {
  platform::returnLargeBlocksToTheSystem();
  setKitLogSubsystem(hostLogSubsystem);
  platform::installXErrorHandlers(transportLog());

  std::printf("%s %s\n", productName, hostVersion());
  std::fflush(stdout);

  asio::io_context io;
  auto work = asio::make_work_guard(io);
  Executor executor = io.get_executor();
  Strand mainStrand = makeStrand(executor);

  HostOptions options = HostOptions::fromProcess();
  std::unique_ptr<HostComposition> root;
  try {
    root = HostComposition::build(io, mainStrand, options);
  } catch (const DisplaysUnavailable& error) {
    transportLog().error("displays unavailable: %s", error.what());
    std::fprintf(stderr, "%s: cannot reach the X display (%s)\n", productName, error.what());
    return 1;
  }
  std::shared_ptr<PowerManaging> power = root->services.power;
  std::shared_ptr<LoopbackHostListener> loopback = root->loopback;
  std::shared_ptr<AppModel> model = root->model;
  // Until the confirmation dialog exists, a compared-code request is shown in the log; it is
  // refused when the gate's minute runs out.
  model->showConfirmation = [](const PairingPrompter::Pending& pending) {
    transportLog().notice("pairing request from %s with code %s", pending.deviceName.c_str(), pending.code.c_str());
  };

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& error, int signal) {
    if (error) return;
    transportLog().notice("terminating on signal %d", signal);
    power->releaseAll();  // synchronous: nothing is left holding the display awake
    loopback->stop();
    work.reset();
    io.stop();
  });

  // A process that only hosts tests makes everything and starts nothing.
  if (!options.hostingTests) asio::post(mainStrand, [model] { model->start(); });

  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&io] { io.run(); });
  io.run();
  for (auto& thread : threads) thread.join();
  power->releaseAll();
  // The model stops first: it closes its sessions' connections and serves each session to its
  // end, as far as what is ready to run takes it; then the model goes, then the rest of the
  // root, and what their going ends still runs before the executor goes.
  io.restart();
  Task stopping = Task::spawn(mainStrand, model->stop());
  io.poll();
  stopping = Task{};
  // Windows that fit mode resized and no session put back get their frames back.
  root->services.fitRestore->restoreAll();
  model.reset();
  root.reset();
  io.restart();
  io.poll();
  return 0;
}
