#include "host/app/UserInterface.h"

#include <csignal>

#include "host/HostLog.h"
#include "host/app/AppModel.h"
#include "host/app/HostInstance.h"
#include "host/app/ListenerSupervisor.h"
#include "host/app/Permissions.h"
#include "host/app/RelayController.h"
#include "host/app/RelayMenuSection.h"
#include "host/app/UpdateController.h"
#include "host/ui/DeviceRemovals.h"
#include "host/ui/HostWindows.h"
#include "host/ui/MenuBarItem.h"
#include "host/ui/MenuBarPanel.h"
#include "host/ui/OnboardingWindow.h"
#include "host/ui/PairQRModel.h"
#include "kit/relay/InviteCode.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"
#include "platform/tray/StatusItem.h"
#include "platform/ui/UIThread.h"

namespace brindlet::host {

namespace {

MenuBarSnapshot snapshotOf(const AppModel& model, const DeviceRemovals& removals, const UpdateController* updates) {
  MenuBarSnapshot snapshot;
  snapshot.status = model.status();
  snapshot.encoderReady = model.encoderReady();
  snapshot.listenerRetrying = model.supervisor() && model.supervisor()->state().kind == ListenerState::Kind::retrying;
  snapshot.pairedDevices = model.pairedDevices();
  snapshot.securityReady = model.security().has_value();
  snapshot.securityError = model.securityError();
  snapshot.screenRecording = model.permissions().screenRecording;
  snapshot.accessibility = model.permissions().accessibility;
  snapshot.keepDisplayAwake = model.keepDisplayAwake();
  snapshot.launchAtLogin = model.launchAtLogin();
  snapshot.canCheckForUpdates = updates && updates->canCheckForUpdates();
  for (const PairedDevice& device : snapshot.pairedDevices) {
    if (removals.isPending(device.deviceID)) snapshot.removing.push_back(device.deviceID);
  }
  return snapshot;
}

// Whether the listener has had its start: it listens, or it failed and waits to try again, or
// it cannot start because the host identity did not load.
bool listenerSettled(const AppModel& model) {
  if (model.securityError()) return true;
  const std::shared_ptr<ListenerSupervisor>& supervisor = model.supervisor();
  if (!supervisor) return false;
  ListenerState::Kind kind = supervisor->state().kind;
  return kind == ListenerState::Kind::advertising || kind == ListenerState::Kind::retrying;
}

// The toolkit starts at the latest this long after the windows were made, however long the
// listener takes.
constexpr double toolkitStartLimitSeconds = 3;

asio::awaitable<void> beginToolkitLater(std::shared_ptr<Clock> clock, std::weak_ptr<platform::UIThread> ui) {
  co_await clock->sleep(Clock::seconds(toolkitStartLimitSeconds));
  if (auto toolkit = ui.lock()) toolkit->begin();
}

// The guide's view of the grants: on X11 there is no settings pane to open.
class GuidePermissions final : public PermissionChecking {
 public:
  explicit GuidePermissions(std::shared_ptr<Permissions::System> system) : system_(std::move(system)) {}
  Grants read() override {
    Permissions::Status status = Permissions::current(*system_);
    return {status.screenRecording, status.accessibility};
  }
  void request(Kind kind) override {
    Permissions::request(
        kind == Kind::screenRecording ? Permissions::Kind::screenRecording : Permissions::Kind::accessibility,
        *system_);
  }
  bool openURL(const std::string&) override { return false; }

 private:
  std::shared_ptr<Permissions::System> system_;
};

// Asks one of the invite questions and gives whether its first button was chosen; false when
// the alert was closed, or the windows went before it was answered.
asio::awaitable<bool> ask(std::weak_ptr<HostWindows> windows, std::string id, HostWindows::Alert alert) {
  struct Answer {
    AsyncStream<int> chosen;
    ~Answer() { chosen.finish(); }
  };
  auto answer = std::make_shared<Answer>();
  AsyncStream<int> chosen = answer->chosen;
  if (auto shown = windows.lock()) {
    shown->showAlert(id, std::move(alert), [answer](int button) { answer->chosen.yield(button); });
  }
  answer.reset();
  std::optional<int> button = co_await chosen.next();
  co_return button == 0;
}

void askInviteQuestions(AppModel& model, std::weak_ptr<HostWindows> windows) {
  model.setInviteQuestions(
      [windows](std::string code) {
        return ask(windows, HostWindows::inviteJoinID,
                   {"Remote Access",
                    "Join remote access with this invite?",
                    "Invite " + InviteCode::display(code) +
                        ". This lets your iPhone reach this Mac from outside your network through the Nolu relay.",
                    {"Join", "Cancel"}});
      },
      [windows](std::string label) {
        auto shown = windows.lock();
        if (!shown) return;
        shown->showAlert(HostWindows::inviteEnrolledID,
                         {"Remote Access",
                          "Remote access is already set up",
                          "This Mac is already enrolled as " + label +
                              ". Use the \"Allow access outside this network\" switch in the menu bar.",
                          {"OK"}},
                         [](int) {});
      });
}

}  // namespace

// The panel's actions, on the main strand, carried out by the application model.
class UserInterface::Actions final : public MenuBarActions {
 public:
  Actions(Strand main, std::shared_ptr<Clock> clock, std::weak_ptr<AppModel> model, std::weak_ptr<HostWindows> windows,
          std::shared_ptr<UpdateController> updates)
      : main_(main),
        clock_(clock),
        model_(model),
        windows_(std::move(windows)),
        updates_(std::move(updates)),
        removals_(main, clock, [model](const PairedDevice& device) {
          if (auto alive = model.lock()) alive->removeDevice(device);
        }) {}

  void disconnect() override {
    if (auto model = model_.lock()) model->closeSessionConnection();
  }
  void removeDevice(const PairedDevice& device) override { removals_.request(device); }
  void undoRemoval(const UUID& deviceID) override { removals_.undo(deviceID); }
  void showPairingQR() override {
    auto model = model_.lock();
    auto windows = windows_.lock();
    if (!model || !windows || !model->security()) return;
    std::weak_ptr<AppModel> weak = model;
    auto service = model->security()->service;
    windows->showPairingQR([this, weak, service] {
      return PairQRModel::make(main_, clock_, service, [weak] {
        auto alive = weak.lock();
        return alive ? alive->pairedDevices() : std::vector<PairedDevice>{};
      });
    });
  }
  void grant(Grant kind) override {
    Permissions::request(
        kind == Grant::screenRecording ? Permissions::Kind::screenRecording : Permissions::Kind::accessibility,
        *Permissions::system());
  }
  void showSetup() override {
    if (auto shown = guide_.lock()) shown->show(true);
  }
  void checkForUpdates() override {
    if (updates_) updates_->checkForUpdates();
  }
  void setKeepDisplayAwake(bool value) override {
    if (auto model = model_.lock()) model->setKeepDisplayAwake(value);
  }
  void setLaunchAtLogin(bool value) override {
    if (auto model = model_.lock()) model->setLaunchAtLogin(value);
  }
  void quit() override {
    // Waiting removals are carried out; the host then ends as on SIGTERM, releasing what it holds.
    removals_.flush();
    std::raise(SIGTERM);
  }
  // The guide's "Relaunch Nolu Host": this host ends only once its successor has started, and
  // the successor waits for this host's name before it runs.
  void relaunch() {
    std::string error;
    std::optional<int> pid = startRelaunchedHost(&error);
    if (!pid) {
      transportLog().error("relaunch failed, this host keeps running: %s", error.c_str());
      return;
    }
    transportLog().notice("relaunching as process %d", *pid);
    quit();
  }
  void setGuide(std::weak_ptr<OnboardingWindow> guide) { guide_ = std::move(guide); }

  DeviceRemovals& removals() { return removals_; }

 private:
  Strand main_;
  std::shared_ptr<Clock> clock_;
  std::weak_ptr<AppModel> model_;
  std::weak_ptr<HostWindows> windows_;
  std::weak_ptr<OnboardingWindow> guide_;
  std::shared_ptr<UpdateController> updates_;
  DeviceRemovals removals_;
};

std::unique_ptr<platform::UIThreadStart> UserInterface::launchToolkit() {
  return platform::UIThread::launch("brindlet-host");
}

std::unique_ptr<UserInterface> UserInterface::start(std::unique_ptr<platform::UIThreadStart> toolkit, Strand main,
                                                    std::shared_ptr<Clock> clock,
                                                    const std::shared_ptr<AppModel>& model,
                                                    std::shared_ptr<platform::UserDefaults> settings,
                                                    std::shared_ptr<UpdateController> updates) {
  // GTK may still be starting: the windows are made once it runs, and never without a display.
  std::shared_ptr<platform::UIThread> ui = toolkit->proceed([](const std::string& error) {
    transportLog().error("no windows: %s; compared-code pairing requests are refused", error.c_str());
  });
  if (!ui) return nullptr;
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

  result->actions_ = std::make_shared<Actions>(main, clock, weak, windows, updates);
  askInviteQuestions(*model, windows);

  auto guideModel = OnboardingModel::make(main, clock, std::make_shared<GuidePermissions>(Permissions::system()),
                                          std::move(settings), std::chrono::seconds(1));
  std::weak_ptr<Actions> acting = result->actions_;
  result->guide_ = std::make_shared<OnboardingWindow>(ui, main, guideModel, [acting] {
    if (auto alive = acting.lock()) alive->relaunch();
  });
  result->actions_->setGuide(result->guide_);

  std::shared_ptr<RelayMenuSection> relaySection;
  if (model->relay()) relaySection = std::make_shared<RelayMenuSection>(model->relay());
  result->panel_ = std::make_shared<MenuBarPanel>(ui, main, result->actions_, relaySection);
  std::weak_ptr<MenuBarPanel> panel = result->panel_;
  std::weak_ptr<Actions> actions = result->actions_;
  // The tray item opens and closes the panel; where no tray shows it, the panel opens as a
  // window of its own.
  MenuBarItem::Panel itemPanel;
  itemPanel.show = [panel](bool byUser) {
    if (auto shown = panel.lock()) shown->show(byUser);
  };
  itemPanel.toggle = [panel] {
    if (auto shown = panel.lock()) shown->toggle();
  };
  itemPanel.setOpensFromTray = [panel](bool fromTray) {
    if (auto shown = panel.lock()) shown->setOpensFromTray(fromTray);
  };
  result->item_ = MenuBarItem::start(main, platform::startStatusNotifierItem, std::move(itemPanel), [actions] {
    if (auto acting = actions.lock()) acting->quit();
  });
  std::weak_ptr<MenuBarItem> item = result->item_;
  std::weak_ptr<UpdateController> updating = updates;
  std::weak_ptr<platform::UIThread> toolkitThread = ui;
  auto redraw = [weak, actions, panel, item, updating, toolkitThread] {
    auto alive = weak.lock();
    auto acting = actions.lock();
    auto shown = panel.lock();
    if (!alive || !acting || !shown) return;
    // GTK's start-up (the display, the theme, the fonts, the first drawing of every window)
    // waits until the listener has had its start, so that the windows do not hold up the
    // host's being reachable; what they were asked to show meanwhile is shown then.
    if (listenerSettled(*alive)) {
      if (auto toolkit = toolkitThread.lock()) toolkit->begin();
    }
    MenuBarSnapshot snapshot = snapshotOf(*alive, acting->removals(), updating.lock().get());
    shown->update(snapshot);
    if (auto icon = item.lock()) icon->update(snapshot);
  };
  model->onChange = redraw;
  result->actions_->removals().onChange = redraw;
  if (model->relay()) model->relay()->onChange = redraw;
  if (updates) {
    updates->onChange = redraw;
    updates->onChecked = [windows](const platform::Updater::Outcome& outcome) {
      if (auto shown = windows.lock())
        shown->showAlert(HostWindows::updatesID, UpdateController::alert(outcome), [](int) {});
    };
  }
  result->toolkitStart_ = Task::spawn(main, beginToolkitLater(clock, toolkitThread));
  std::weak_ptr<OnboardingWindow> guide = result->guide_;
  asio::post(main, [main, redraw, guide, guideModel] {
    redraw();
    // The guide opens once the model has started (its start is queued after this), unless it
    // was finished and both grants are there.
    asio::post(main, [guide, guideModel] {
      auto shown = guide.lock();
      if (shown && guideModel->shouldShowAtStart()) shown->show(false);
    });
  });
  return result;
}

void UserInterface::showPanel() {
  if (panel_) panel_->show(true);
}

UserInterface::~UserInterface() {
  toolkitStart_ = Task{};
  guide_.reset();
  item_.reset();
  // The panel and the windows go first, then the toolkit's thread, which destroys them on its way out.
  panel_.reset();
  actions_.reset();
  windows_.reset();
  ui_.reset();
}

}  // namespace brindlet::host
