#pragma once

// The two pairing windows and their registry: "pair-confirm" ("Pair Device") asks the user to
// allow or deny a compared code, "pair-qr" ("Pair New Device") shows the one-time pairing link
// as a QR code. Called on the application's main strand; the windows themselves live on the
// toolkit's thread, and every answer comes back to the main strand.
//
//   HostWindows windows(ui, mainStrand);
//   windows.showConfirmation(pending, [model, id](bool a) { model->answerPairing(a, id); },
//                            [model, id] { model->declinePairingOnClose(id); });
//   windows.close(HostWindows::confirmID);

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Executor.h"
#include "host/ui/PairQRModel.h"
#include "host/ui/PairingPrompter.h"

namespace brindlet::platform {
class UIThread;
}

namespace brindlet::host {

class HostWindows {
 public:
  static constexpr const char* confirmID = "pair-confirm";
  static constexpr const char* qrID = "pair-qr";
  static constexpr const char* inviteJoinID = "invite-join";
  static constexpr const char* inviteEnrolledID = "invite-enrolled";
  static constexpr const char* updatesID = "updates";

  // A question in a window of its own: the window's title, a message, an informative text,
  // and its buttons, the first one the default.
  struct Alert {
    std::string title;
    std::string message;
    std::string text;
    std::vector<std::string> buttons;
  };

  HostWindows(std::shared_ptr<platform::UIThread> ui, Strand main);
  ~HostWindows();
  HostWindows(const HostWindows&) = delete;
  HostWindows& operator=(const HostWindows&) = delete;

  // Opens the confirmation window for `prompt`, closing one still open for an older prompt.
  // `onDecision` gets Allow (true) or Deny (false); `onClose` runs when the window closes.
  void showConfirmation(const PairingPrompter::Pending& prompt, std::function<void(bool)> onDecision,
                        std::function<void()> onClose);
  // Brings the QR window forward when it is open (true); otherwise opens it with the model
  // `makeModel` gives, started here and stopped when the window closes.
  bool showPairingQR(const std::function<std::shared_ptr<PairQRModel>()>& makeModel);
  // Opens the alert under `id` in front of every other window, closing one still open there.
  // `onAnswer` runs once, with the index of the chosen button, or -1 when the alert was closed
  // (Escape, its close button, a newer alert); it is dropped unrun when the windows go first.
  void showAlert(const std::string& id, Alert alert, std::function<void(int)> onAnswer);
  // Closes the window registered under `id`; its close handler runs. Nothing when none is.
  void close(const std::string& id);
  bool isOpen(const std::string& id) const;

 private:
  struct Toolkit;
  struct Registry;

  std::shared_ptr<platform::UIThread> ui_;
  Strand main_;
  std::shared_ptr<Toolkit> toolkit_;    // touched on the toolkit's thread only
  std::shared_ptr<Registry> registry_;  // touched on the main strand only
};

}  // namespace brindlet::host
