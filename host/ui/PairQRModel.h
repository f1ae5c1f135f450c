#pragma once

// The model of the "Pair New Device" window: a QR code of a one-time pairing link, the
// seconds until the link expires, and the name of a device that paired while the window was
// open. Lives on the main strand, exactly as long as its window's showing: start() when the
// window opens (issues a token), stop() when it closes (withdraws it).
//
//   auto qr = PairQRModel::make(mainStrand, clock, service, [model] { return model->pairedDevices(); });
//   qr->start();
//   ... qr->image(), qr->secondsLeft(), qr->justPaired() ...
//   qr->stop();

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/pairing/PairedDevice.h"
#include "kit/support/Task.h"
#include "kit/support/UUID.h"
#include "platform/ui/QRCode.h"

namespace brindlet {
class HostPairingService;
}

namespace brindlet::host {

class PairQRModel : public std::enable_shared_from_this<PairQRModel> {
 public:
  using DeviceList = std::function<std::vector<PairedDevice>()>;

  static constexpr Clock::Duration tickInterval = std::chrono::milliseconds(500);

  static std::shared_ptr<PairQRModel> make(Strand main, std::shared_ptr<Clock> clock,
                                           std::shared_ptr<HostPairingService> service, DeviceList devices);
  PairQRModel(Strand main, std::shared_ptr<Clock> clock, std::shared_ptr<HostPairingService> service,
              DeviceList devices);

  const std::optional<platform::QRCode>& image() const { return image_; }
  int secondsLeft() const { return secondsLeft_; }
  const std::optional<std::string>& justPaired() const { return justPaired_; }
  // The link the current code holds (for the window's accessible description and tests).
  const std::string& link() const { return link_; }

  void start();
  void stop();
  // A new token and its code ("Show a new code").
  asio::awaitable<void> refreshCode();
  // Brings the countdown and the check for a newly paired device up to date.
  void tick();
  // "Show a new code": refreshCode() as a task the model owns.
  void showNewCode();

  // Told whenever an observed value changed.
  std::function<void()> onChange;

 private:
  void clearTokenSoon();
  void changed();
  std::set<UUID> currentDeviceIDs() const;
  static asio::awaitable<void> run(std::weak_ptr<PairQRModel> weak, std::shared_ptr<Clock> clock);

  Strand main_;
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<HostPairingService> service_;
  DeviceList devices_;

  std::optional<platform::QRCode> image_;
  int secondsLeft_ = 0;
  std::optional<std::string> justPaired_;
  std::string link_;
  Date expiresAt_{};  // the distant past: no code yet
  std::set<UUID> knownDevices_;
  Task ticker_;
  Task refresh_;
  std::vector<Task> clears_;
};

// The countdown line: "Valid for 4:47 · one use".
std::string validForText(int secondsLeft);
// The code as the confirmation window shows it: "123 456" for six characters, else unchanged.
std::string groupedCode(const std::string& code);
// "Code 1 2 3 4 5 6": every character of the code, separated by single spaces.
std::string codeAccessibleLabel(const std::string& code);

}  // namespace brindlet::host
