#include "host/app/UpdateController.h"

#include <asio/post.hpp>

namespace brindlet::host {

UpdateController::UpdateController(Strand main, std::shared_ptr<platform::Updater> updater)
    : main_(std::move(main)), updater_(std::move(updater)) {}

std::shared_ptr<UpdateController> UpdateController::make(Strand main, std::shared_ptr<platform::Updater> updater,
                                                         bool startUpdater) {
  std::shared_ptr<UpdateController> controller(new UpdateController(main, updater));
  if (!startUpdater || !updater) return controller;
  std::weak_ptr<UpdateController> weak = controller;
  platform::Updater::Handlers handlers;
  // The updater reports on its own thread; the value is written on the main strand only.
  handlers.canCheck = [weak, main](bool value) {
    asio::post(main, [weak, value] {
      if (auto alive = weak.lock()) alive->set(value);
    });
  };
  handlers.checked = [weak, main](const platform::Updater::Outcome& outcome) {
    asio::post(main, [weak, outcome] {
      auto alive = weak.lock();
      if (alive && alive->onChecked) alive->onChecked(outcome);
    });
  };
  updater->start(std::move(handlers));
  return controller;
}

void UpdateController::set(bool value) {
  if (value == canCheckForUpdates_) return;
  canCheckForUpdates_ = value;
  if (onChange) onChange();
}

void UpdateController::checkForUpdates() {
  if (!canCheckForUpdates_ || !updater_) return;
  updater_->checkForUpdates();
}

HostWindows::Alert UpdateController::alert(const platform::Updater::Outcome& outcome) {
  switch (outcome.kind) {
    case platform::Updater::Outcome::Kind::available:
      return {"Check for Updates",
              "A new version of Nolu Host is available.",
              "Version " + outcome.version + " can be installed with the system's software updater.",
              {"OK"}};
    case platform::Updater::Outcome::Kind::upToDate:
      return {"Check for Updates",
              "Nolu Host is up to date.",
              outcome.version.empty() ? std::string() : "Version " + outcome.version + " is the newest version.",
              {"OK"}};
    case platform::Updater::Outcome::Kind::failed:
      break;
  }
  return {"Check for Updates", "Updates could not be checked.", outcome.error, {"OK"}};
}

}  // namespace brindlet::host
