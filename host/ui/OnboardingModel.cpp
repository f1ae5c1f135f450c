#include "host/ui/OnboardingModel.h"

#include "platform/storage/UserDefaults.h"

namespace brindlet::host {

std::optional<OnboardingStep> onboardingStep(int raw) {
  if (raw < 0 || raw > 4) return std::nullopt;
  return static_cast<OnboardingStep>(raw);
}

std::string PermissionChecking::settingsURL(PermissionPane pane) {
  switch (pane) {
    case PermissionPane::localNetwork:
      return "x-apple.systempreferences:com.apple.preference.security?Privacy_LocalNetwork";
    case PermissionPane::screenRecording:
      return "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
    case PermissionPane::accessibility:
      return "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
  }
  return fallbackURL();
}

const std::string& PermissionChecking::fallbackURL() {
  static const std::string url = "x-apple.systempreferences:com.apple.preference.security";
  return url;
}

std::shared_ptr<OnboardingModel> OnboardingModel::make(Strand main, std::shared_ptr<Clock> clock,
                                                       std::shared_ptr<PermissionChecking> checker,
                                                       std::shared_ptr<platform::UserDefaults> defaults,
                                                       Clock::Duration pollInterval) {
  return std::make_shared<OnboardingModel>(std::move(main), std::move(clock), std::move(checker), std::move(defaults),
                                           pollInterval);
}

OnboardingModel::OnboardingModel(Strand main, std::shared_ptr<Clock> clock, std::shared_ptr<PermissionChecking> checker,
                                 std::shared_ptr<platform::UserDefaults> defaults, Clock::Duration pollInterval)
    : main_(std::move(main)),
      clock_(std::move(clock)),
      checker_(std::move(checker)),
      defaults_(std::move(defaults)),
      pollInterval_(pollInterval) {
  permissions_ = checker_->read();
  completed_ = defaults_->boolean(completedKey).value_or(false);
}

bool OnboardingModel::currentStepSatisfied() const {
  switch (step_) {
    case OnboardingStep::welcome:
    case OnboardingStep::localNetwork:
      return true;
    case OnboardingStep::screenRecording:
      return permissions_.screenRecording;
    case OnboardingStep::accessibility:
      return permissions_.accessibility;
    case OnboardingStep::done:
      return false;
  }
  return false;
}

std::vector<std::string> OnboardingModel::missingPermissionNames() const {
  std::vector<std::string> names;
  if (!permissions_.screenRecording) names.emplace_back("Screen Recording");
  if (!permissions_.accessibility) names.emplace_back("Accessibility");
  return names;
}

void OnboardingModel::advance() {
  if (step_ == OnboardingStep::done) return;
  if (step_ == OnboardingStep::localNetwork) setFlag(localNetworkAcknowledged_, true);
  setStep(static_cast<OnboardingStep>(static_cast<int>(step_) + 1));
}

void OnboardingModel::back() {
  if (step_ == OnboardingStep::welcome) return;
  setStep(static_cast<OnboardingStep>(static_cast<int>(step_) - 1));
}

void OnboardingModel::request(PermissionChecking::Kind kind) {
  if (kind == PermissionChecking::Kind::screenRecording) setFlag(screenRecordingRequested_, true);
  checker_->request(kind);
  readGrants();
}

void OnboardingModel::refreshPermissions() {
  readGrants();
  if (step_ == OnboardingStep::accessibility && permissions_.screenRecording && permissions_.accessibility) {
    setStep(OnboardingStep::done);
  }
}

void OnboardingModel::startPolling() {
  if (pollTask_.isRunning()) return;
  readGrants();
  pollTask_ = Task::spawn(main_, poll(weak_from_this(), clock_, pollInterval_));
}

void OnboardingModel::stopPolling() { pollTask_ = Task{}; }

void OnboardingModel::openSettings(PermissionPane pane) {
  if (!checker_->openURL(PermissionChecking::settingsURL(pane))) checker_->openURL(PermissionChecking::fallbackURL());
}

void OnboardingModel::finish() {
  setFlag(completed_, true);
  defaults_->set(completedKey, true);
}

bool OnboardingModel::shouldShowAtStart() {
  readGrants();
  return !(completed_ && permissions_.screenRecording && permissions_.accessibility);
}

void OnboardingModel::prepareForShowing() {
  setStep(OnboardingStep::welcome);
  startPolling();
}

void OnboardingModel::readGrants() {
  PermissionChecking::Grants grants = checker_->read();
  if (grants == permissions_) return;
  permissions_ = grants;
  changed();
}

void OnboardingModel::setStep(OnboardingStep step) {
  if (step == step_) return;
  step_ = step;
  changed();
}

void OnboardingModel::setFlag(bool& field, bool value) {
  if (field == value) return;
  field = value;
  changed();
}

void OnboardingModel::changed() {
  if (onChange) onChange();
}

asio::awaitable<void> OnboardingModel::poll(std::weak_ptr<OnboardingModel> weak, std::shared_ptr<Clock> clock,
                                            Clock::Duration interval) {
  // A cancelled sleep ends the loop (the window closed).
  for (;;) {
    co_await clock->sleep(interval);
    auto model = weak.lock();
    if (!model) co_return;
    model->refreshPermissions();
  }
}

OnboardingPage::MarkTone OnboardingPage::tone(OnboardingStep mark, OnboardingStep current) {
  if (mark == current) return MarkTone::current;
  return static_cast<int>(mark) < static_cast<int>(current) ? MarkTone::before : MarkTone::after;
}

OnboardingPage OnboardingPage::render(const OnboardingModel& model) {
  OnboardingPage page;
  const auto& grants = model.permissions();
  auto markFor = [](bool granted) { return granted ? Mark::granted : Mark::notGranted; };
  bool permissionPage = false;
  bool pageGranted = false;
  switch (model.step()) {
    case OnboardingStep::welcome:
      page.title = "Welcome to Nolu Host";
      break;
    case OnboardingStep::localNetwork:
      page.title = "Local Network";
      break;
    case OnboardingStep::screenRecording:
      page.title = "Screen Recording";
      permissionPage = true;
      pageGranted = grants.screenRecording;
      page.mark = markFor(pageGranted);
      if (model.screenRecordingRequested()) {
        page.relaunchNote = pageGranted ? "If the stream shows a black screen, relaunch Nolu Host."
                                        : "Screen Recording often needs a relaunch before it takes effect. After you "
                                          "enable it in System Settings, relaunch.";
        page.showsRelaunch = true;
      }
      break;
    case OnboardingStep::accessibility:
      page.title = "Accessibility";
      permissionPage = true;
      pageGranted = grants.accessibility;
      page.mark = markFor(pageGranted);
      break;
    case OnboardingStep::done: {
      page.title = "Ready";
      page.mark = markFor(grants.screenRecording && grants.accessibility);
      std::vector<std::string> missing = model.missingPermissionNames();
      if (missing.empty()) {
        page.readyLine = "Ready — open Nolu on your iPhone or iPad.";
      } else {
        std::string names;
        for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
        page.missingLine = "Still missing: " + names + ". Nolu Host will keep asking from the menu bar.";
      }
      break;
    }
  }
  page.showsGrant = permissionPage && !pageGranted;
  page.showsGranted = permissionPage && pageGranted;
  page.showsBack = model.step() != OnboardingStep::welcome;
  page.showsSkip = permissionPage && !model.currentStepSatisfied();
  page.showsContinue = model.step() != OnboardingStep::done;
  page.continueEnabled = !permissionPage || model.currentStepSatisfied();
  page.showsFinish = model.step() == OnboardingStep::done;
  return page;
}

}  // namespace brindlet::host
