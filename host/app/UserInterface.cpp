#include "host/app/UserInterface.h"

#include "host/HostLog.h"
#include "host/app/AppModel.h"
#include "host/ui/HostWindows.h"
#include "platform/ui/UIThread.h"

namespace brindlet::host {

std::unique_ptr<UserInterface> UserInterface::start(Strand main, const std::shared_ptr<AppModel>& model) {
  std::string error;
  std::shared_ptr<platform::UIThread> ui = platform::UIThread::start("brindlet-host", &error);
  if (!ui) {
    transportLog().error("no windows: %s; compared-code pairing requests are refused", error.c_str());
    return nullptr;
  }
  std::unique_ptr<UserInterface> result(new UserInterface());
  result->ui_ = ui;
  result->windows_ = std::make_shared<HostWindows>(ui, main);
  std::weak_ptr<AppModel> weak = model;
  std::weak_ptr<HostWindows> windows = result->windows_;
  model->showConfirmation = [weak, windows](const PairingPrompter::Pending& pending) {
    auto shown = windows.lock();
    if (!shown) return;
    transportLog().notice("pairing request from %s with code %s", pending.deviceName.c_str(), pending.code.c_str());
    UUID id = pending.id;
    shown->showConfirmation(
        pending,
        [weak, windows, id](bool accepted) {
          if (auto alive = weak.lock()) {
            alive->answerPairing(accepted, id);
          } else if (auto open = windows.lock()) {
            open->close(HostWindows::confirmID);
          }
        },
        [weak, id] {
          if (auto alive = weak.lock()) alive->declinePairingOnClose(id);
        });
  };
  model->closeConfirmation = [windows] {
    if (auto open = windows.lock()) open->close(HostWindows::confirmID);
  };
  return result;
}

UserInterface::~UserInterface() {
  // The windows go first, then the toolkit's thread, which destroys them on its way out.
  windows_.reset();
  ui_.reset();
}

}  // namespace brindlet::host
