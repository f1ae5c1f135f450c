// The host application: its composition root makes the long-lived objects (displays, power,
// the application model and its loopback listener); it starts the model and runs until
// SIGINT or SIGTERM, when every power assertion is released and every window that fit mode
// resized is put back before the process exits.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "host/HostLog.h"
#include "host/HostVersion.h"
#include "host/app/HostComposition.h"
#include "host/app/HostInstance.h"
#include "host/app/UserInterface.h"
#include "host/capture/PowerManaging.h"
#include "host/control/FitRestoreRegistry.h"
#include "kit/support/KitLog.h"
#include "kit/support/Task.h"
#include "platform/screen/XErrorHandler.h"
#include "platform/storage/StorageDirectories.h"
#include "platform/ui/SingleInstance.h"
#include "platform/ui/UIThread.h"
#include "platform/support/MemoryReturn.h"

namespace {

using namespace brindlet;
using namespace brindlet::host;

// What later starts of the host hand to this one, carried out on the main strand once the
// model and the windows exist.
struct HandedOver {
  std::function<void()> activate;
  std::function<void(const std::string&)> open;
};

}  // namespace

int main(int argc, char** argv) {
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

  // One host per user and data folder: a later start hands its links (or, without any, the
  // wish to see the panel) to the running host and ends here.
  auto handedOver = std::make_shared<HandedOver>();
  std::vector<std::string> links = hostLinks(argc, argv);
  platform::SingleInstance::Claim instance;
  if (!options.hostingTests) {
    platform::SingleInstance::Handlers handlers;
    handlers.activate = [mainStrand, handedOver] {
      asio::post(mainStrand, [handedOver] {
        if (handedOver->activate) handedOver->activate();
      });
    };
    handlers.open = [mainStrand, handedOver](std::string url) {
      asio::post(mainStrand, [handedOver, url] {
        if (handedOver->open) handedOver->open(url);
      });
    };
    std::string name = hostInstanceName(platform::StorageDirectories::applicationSupportDirectory(), accountHome());
    // A relaunched copy starts once the host it replaces has given up the name.
    if (const char* relaunched = std::getenv(relaunchVariable); relaunched && *relaunched) {
      ::unsetenv(relaunchVariable);
      if (!platform::SingleInstance::waitUntilFree(name, std::chrono::seconds(30))) {
        transportLog().notice("relaunched: the host before this one still holds its name");
      }
    }
    instance = platform::SingleInstance::claim(name, links, std::move(handlers));
    if (instance.outcome == platform::SingleInstance::Outcome::forwarded) {
      std::printf("%s already runs: handed over to it\n", productName);
      return 0;
    }
    if (instance.outcome == platform::SingleInstance::Outcome::unavailable) {
      transportLog().notice("more than one host may run: %s", instance.error.c_str());
    }
  }
  // The toolkit's thread is made before the host is put together; GTK starts there once the
  // listener has had its start.
  std::unique_ptr<platform::UIThreadStart> toolkit;
  if (!options.hostingTests) toolkit = UserInterface::launchToolkit();
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
  // The windows: the compared-code confirmation and the QR code. Without a display the host
  // runs without them (a compared-code request is then refused when the gate's minute runs out).
  std::unique_ptr<UserInterface> ui;
  if (toolkit)
    ui = UserInterface::start(std::move(toolkit), mainStrand, root->services.clock, model, root->settings,
                              root->updates);
  handedOver->open = [model](const std::string& url) { model->handleOpenURL(url); };
  handedOver->activate = [shown = ui.get()] {
    if (shown) shown->showPanel();
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
  // Links this start was given are acted on as a later start's would be.
  if (!options.hostingTests)
    for (const std::string& link : links) asio::post(mainStrand, [handedOver, link] { handedOver->open(link); });

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
  handedOver->activate = nullptr;
  handedOver->open = nullptr;
  ui.reset();
  instance.held.reset();
  model.reset();
  root.reset();
  io.restart();
  io.poll();
  return 0;
}
