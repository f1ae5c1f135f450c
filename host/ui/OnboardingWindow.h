#pragma once

// The first-run guide's window, "Nolu Host Setup": step marks, the page of the guide's current
// step, and Back / Skip for now / Continue / Finish. It draws what OnboardingPage::render()
// makes of the model and runs every action on the model, on the main strand; the window
// itself lives on the toolkit's thread and is made once, then only hidden and shown again.
//
//   OnboardingWindow guide(ui, mainStrand, model, relaunch);
//   if (model->shouldShowAtStart()) guide.show(false);   // at start-up
//   guide.show();                                        // "Setup…"

#include <functional>
#include <memory>

#include "base/Executor.h"
#include "host/ui/OnboardingModel.h"

namespace brindlet::platform {
class UIThread;
}

namespace brindlet::host {

class OnboardingWindow {
 public:
  static constexpr const char* title = "Nolu Host Setup";

  // `relaunch` runs on the main strand for "Relaunch Nolu Host".
  OnboardingWindow(std::shared_ptr<platform::UIThread> ui, Strand main, std::shared_ptr<OnboardingModel> model,
                   std::function<void()> relaunch);
  ~OnboardingWindow();
  OnboardingWindow(const OnboardingWindow&) = delete;
  OnboardingWindow& operator=(const OnboardingWindow&) = delete;

  // Main strand: back to the first page with the grant poll running, and the window in front.
  // Opened by the host itself (at start) it does not take the focus from the window in use.
  void show(bool byUser = true);

 private:
  struct Toolkit;
  void redraw();

  std::shared_ptr<platform::UIThread> ui_;
  Strand main_;
  std::shared_ptr<OnboardingModel> model_;
  std::shared_ptr<Toolkit> toolkit_;
};

}  // namespace brindlet::host
