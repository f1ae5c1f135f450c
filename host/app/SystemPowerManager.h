#pragma once

// The host's one power manager: display-sleep assertions while devices are connected, with
// a record of every assertion it holds so that all of them can be released at termination.
//
//   auto power = std::make_shared<SystemPowerManager>();   // the desktop session's screen saver
//   auto id = power->holdDisplayAwake("Nolu remote session");
//   power->release(*id);
//   power->releaseAll();                                    // at termination

#include <memory>
#include <mutex>
#include <set>

#include "host/capture/PowerManaging.h"
#include "platform/power/PowerAssertions.h"

namespace brindlet::host {

class SystemPowerManager final : public PowerManaging {
 public:
  SystemPowerManager();
  explicit SystemPowerManager(std::shared_ptr<platform::PowerAssertions> assertions);

  std::optional<AssertionID> holdDisplayAwake(std::string_view reason) override;
  bool release(AssertionID id) override;
  void releaseAll() override;
  void wakeDisplay() override;

  // The assertions held now.
  std::set<AssertionID> held() const;

 private:
  std::shared_ptr<platform::PowerAssertions> assertions_;
  mutable std::mutex mutex_;  // guards held_; no bus call is made while it is held
  std::set<AssertionID> held_;
};

}  // namespace brindlet::host
