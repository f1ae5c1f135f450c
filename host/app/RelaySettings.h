#pragma once

// The host's remote-access state that outlives a run: the "relay." settings (the switch, the
// coordinator address, the enrolled account, the devices the relay must refuse) and a one-time
// clean-up of an older account scheme. The deny list is guarded by its own lock; every change
// of it is reported to the deny-change handler, so a running relay service can be told.
//
//   RelaySettings settings(defaults, deleteFormerSecret, "");
//   settings.deny(deviceKey, clock.wallNow());
//   auto keys = settings.deniedKeys(clock.wallNow());     // removed less than 31 days ago

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"

namespace brindlet::platform {
class UserDefaults;
}

namespace brindlet::host {

struct RelayAccount {
  std::string baseURL;
  std::string label;

  bool operator==(const RelayAccount&) const = default;
};

class RelaySettings {
 public:
  using Date = std::chrono::system_clock::time_point;
  static constexpr double denyWindowSeconds = 2'678'400;  // 31 days

  // Runs the migration once (`deleteFormerSecret` removes the older scheme's keychain item).
  // `defaultCoordinatorURL` is used while "relay.coordinatorURL" is unset or blank.
  RelaySettings(std::shared_ptr<platform::UserDefaults> defaults, std::function<void()> deleteFormerSecret,
                std::string defaultCoordinatorURL);

  bool enabled() const;
  void setEnabled(bool enabled);
  std::string coordinatorURL() const;
  // The enrolment, when it was made with the current coordinator.
  std::optional<RelayAccount> account() const;
  void setAccount(const std::string& label, const std::string& baseURL);
  void removeAccount();

  void deny(const Bytes& key, Date date);
  std::vector<Bytes> deniedKeys(Date date) const;
  // Removes the device's denial; true when there was one.
  bool liftDenial(const Bytes& key);

  // Called (on the calling thread) after every change of the deny list.
  void setDeniedChangeHandler(std::function<void()> handler);

 private:
  void deniedChanged();

  std::shared_ptr<platform::UserDefaults> defaults_;
  std::string defaultCoordinatorURL_;
  mutable std::mutex lock_;  // every read-modify-write of "relay.denied"
  std::mutex handlerLock_;
  std::function<void()> deniedHandler_;
};

}  // namespace brindlet::host
