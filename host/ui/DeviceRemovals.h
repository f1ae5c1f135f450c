#pragma once

// The panel's remove button acts on one click, but forgetting a device also denies it remote
// access for 31 days; so the removal waits a few seconds, during which the row offers "Undo".
// When the time is up the removal is handed to the application. Lives on the main strand.
//
//   DeviceRemovals removals(mainStrand, clock, [model](const PairedDevice& d) { model->removeDevice(d); });
//   removals.request(device);     // the row reads "Removing …" with Undo
//   removals.undo(device.deviceID);

#include <functional>
#include <map>
#include <memory>

#include "base/Clock.h"
#include "base/Executor.h"
#include "kit/pairing/PairedDevice.h"
#include "kit/support/Task.h"

namespace brindlet::host {

class DeviceRemovals {
 public:
  static constexpr Clock::Duration undoWindow = std::chrono::seconds(5);

  DeviceRemovals(Strand main, std::shared_ptr<Clock> clock, std::function<void(const PairedDevice&)> remove);

  // Starts the removal of a device (again: no effect while its removal waits).
  void request(const PairedDevice& device);
  // Keeps the device; false when no removal of it was waiting.
  bool undo(const UUID& deviceID);
  bool isPending(const UUID& deviceID) const { return pending_.count(deviceID) > 0; }
  // Carries out every waiting removal now (the application quits).
  void flush();

  // Told when a removal starts, is undone or is carried out.
  std::function<void()> onChange;

 private:
  struct Waiting {
    PairedDevice device;
    Task timer;
  };
  static asio::awaitable<void> wait(std::weak_ptr<DeviceRemovals*> self, std::shared_ptr<Clock> clock, UUID id);
  void carryOut(const UUID& id);
  void changed();

  Strand main_;
  std::shared_ptr<Clock> clock_;
  std::function<void(const PairedDevice&)> remove_;
  std::map<UUID, Waiting> pending_;
  // What the waiting timers hold weakly: gone with this object.
  std::shared_ptr<DeviceRemovals*> alive_ = std::make_shared<DeviceRemovals*>(this);
};

}  // namespace brindlet::host
