#pragma once

// The first-run guide's state: the page shown, the two grants the host can read, what the user
// has done so far, and a poll that re-reads the grants every second while the guide's window
// is open. It owns the setting "onboardingCompleted", which decides with the two grants
// whether the guide opens by itself at start-up. Lives on the main strand.
//
//   auto guide = OnboardingModel::make(mainStrand, clock, checker, settings, std::chrono::seconds(1));
//   if (guide->shouldShowAtStart()) { guide->prepareForShowing(); window.present(); }
//   window closed: guide->stopPolling();

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/support/Task.h"

namespace brindlet::platform {
class UserDefaults;
}

namespace brindlet::host {

enum class OnboardingStep { welcome = 0, localNetwork = 1, screenRecording = 2, accessibility = 3, done = 4 };
inline constexpr OnboardingStep onboardingSteps[] = {OnboardingStep::welcome, OnboardingStep::localNetwork,
                                                     OnboardingStep::screenRecording, OnboardingStep::accessibility,
                                                     OnboardingStep::done};
// The step of a raw value; nothing outside 0 to 4.
std::optional<OnboardingStep> onboardingStep(int raw);

// Which settings pane to open.
enum class PermissionPane { localNetwork, screenRecording, accessibility };

// The guide's view of the system's grants.
class PermissionChecking {
 public:
  enum class Kind { screenRecording, accessibility };
  struct Grants {
    bool screenRecording = false;
    bool accessibility = false;
    bool operator==(const Grants&) const = default;
  };

  virtual ~PermissionChecking() = default;
  virtual Grants read() = 0;
  // Asks the system for one grant (it may show its own prompt or open its pane).
  virtual void request(Kind kind) = 0;
  // Opens a settings link; false when nothing could open it.
  virtual bool openURL(const std::string& url) = 0;

  static std::string settingsURL(PermissionPane pane);
  static const std::string& fallbackURL();
};

class OnboardingModel : public std::enable_shared_from_this<OnboardingModel> {
 public:
  static constexpr const char* completedKey = "onboardingCompleted";

  static std::shared_ptr<OnboardingModel> make(Strand main, std::shared_ptr<Clock> clock,
                                               std::shared_ptr<PermissionChecking> checker,
                                               std::shared_ptr<platform::UserDefaults> defaults,
                                               Clock::Duration pollInterval);
  OnboardingModel(Strand main, std::shared_ptr<Clock> clock, std::shared_ptr<PermissionChecking> checker,
                  std::shared_ptr<platform::UserDefaults> defaults, Clock::Duration pollInterval);

  OnboardingStep step() const { return step_; }
  const PermissionChecking::Grants& permissions() const { return permissions_; }
  bool screenRecordingRequested() const { return screenRecordingRequested_; }
  bool completed() const { return completed_; }
  bool localNetworkAcknowledged() const { return localNetworkAcknowledged_; }
  bool isPolling() const { return pollTask_.isRunning(); }

  bool currentStepSatisfied() const;
  std::vector<std::string> missingPermissionNames() const;

  void advance();
  void back();
  void request(PermissionChecking::Kind kind);
  // One poll read: re-reads the grants; on the Accessibility page with both present, the
  // guide moves on to done.
  void refreshPermissions();
  void startPolling();
  void stopPolling();
  void openSettings(PermissionPane pane);
  // Finish: completed, and "onboardingCompleted" stored as true.
  void finish();

  // Start-up: re-reads the grants; true unless the guide was finished and both are present.
  bool shouldShowAtStart();
  // Each showing of the window: back to the first page, with the poll running.
  void prepareForShowing();

  // Told whenever an observed value changed.
  std::function<void()> onChange;

 private:
  void readGrants();
  void setStep(OnboardingStep step);
  void setFlag(bool& field, bool value);
  void changed();
  static asio::awaitable<void> poll(std::weak_ptr<OnboardingModel> weak, std::shared_ptr<Clock> clock,
                                    Clock::Duration interval);

  Strand main_;
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<PermissionChecking> checker_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  Clock::Duration pollInterval_;

  OnboardingStep step_ = OnboardingStep::welcome;
  PermissionChecking::Grants permissions_;
  bool screenRecordingRequested_ = false;
  bool completed_ = false;
  bool localNetworkAcknowledged_ = false;
  Task pollTask_;
};

// What the guide's page shows for the model's state.
struct OnboardingPage {
  enum class MarkTone { current, before, after };
  enum class Mark { none, granted, notGranted };

  std::string title;
  Mark mark = Mark::none;
  bool showsBack = false;
  bool showsSkip = false;
  bool showsContinue = false;
  bool continueEnabled = false;
  bool showsFinish = false;
  // The permission row of the Screen Recording and Accessibility pages: Grant or "✓ Granted".
  bool showsGrant = false;
  bool showsGranted = false;
  // The Screen Recording page's relaunch note and button.
  std::optional<std::string> relaunchNote;
  bool showsRelaunch = false;
  // The done page's lines.
  std::optional<std::string> readyLine;
  std::optional<std::string> missingLine;

  static OnboardingPage render(const OnboardingModel& model);
  static MarkTone tone(OnboardingStep mark, OnboardingStep current);
};

}  // namespace brindlet::host
