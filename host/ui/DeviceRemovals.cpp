#include "host/ui/DeviceRemovals.h"

namespace brindlet::host {

DeviceRemovals::DeviceRemovals(Strand main, std::shared_ptr<Clock> clock,
                               std::function<void(const PairedDevice&)> remove)
    : main_(std::move(main)), clock_(std::move(clock)), remove_(std::move(remove)) {}

void DeviceRemovals::request(const PairedDevice& device) {
  if (pending_.count(device.deviceID)) return;
  Waiting& waiting = pending_[device.deviceID];
  waiting.device = device;
  waiting.timer = Task::spawn(main_, wait(alive_, clock_, device.deviceID));
  changed();
}

bool DeviceRemovals::undo(const UUID& deviceID) {
  // Erasing the entry drops its timer, which cancels it.
  if (pending_.erase(deviceID) == 0) return false;
  changed();
  return true;
}

void DeviceRemovals::flush() {
  while (!pending_.empty()) carryOut(pending_.begin()->first);
}

void DeviceRemovals::carryOut(const UUID& id) {
  auto found = pending_.find(id);
  if (found == pending_.end()) return;
  PairedDevice device = found->second.device;
  // The timer may be the running task itself: move it out before erasing, let it end by itself.
  Task timer = std::move(found->second.timer);
  pending_.erase(found);
  remove_(device);
  changed();
  // Dropping a finished or running timer's handle only asks it to stop at its next wait.
}

void DeviceRemovals::changed() {
  if (onChange) onChange();
}

asio::awaitable<void> DeviceRemovals::wait(std::weak_ptr<DeviceRemovals*> self, std::shared_ptr<Clock> clock, UUID id) {
  co_await clock->sleep(undoWindow);
  if (auto alive = self.lock()) (*alive)->carryOut(id);
}

}  // namespace brindlet::host
