#pragma once
// The host's one source of truth about its displays: the list of displays for sessions and the
// application, and a debounced stream of events that only say that something changed.
#include <memory>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "host/capture/ChangeBroadcaster.h"
#include "kit/protocol/MediaRecords.h"
#include "kit/support/Actor.h"
#include "platform/screen/DisplayConfiguration.h"

namespace brindlet::host {

class DisplayProviding {
 public:
  virtual ~DisplayProviding() = default;
  // Main display first, the others by ascending ID; never fails (empty without displays).
  virtual asio::awaitable<std::vector<DisplayInfo>> displays() = 0;
  virtual AsyncStream<Change> changes() = 0;
};

// Display records as the list reports them, sorted: main first, then by ascending ID.
std::vector<DisplayInfo> displayInfos(const std::vector<platform::ScreenDisplay>& displays);

// The entry of `displays` with `id`; none when it has none.
const DisplayInfo* findDisplay(const std::vector<DisplayInfo>& displays, uint32_t id);
// The main display, else the first; none for an empty list.
const DisplayInfo* mainOrFirstDisplay(const std::vector<DisplayInfo>& displays);

class DisplayManager final : public DisplayProviding,
                             public Actor,
                             public std::enable_shared_from_this<DisplayManager> {
 public:
  // Registers for display reconfiguration on the X server named `displayName` (empty: DISPLAY).
  static std::shared_ptr<DisplayManager> make(const Executor& executor, std::shared_ptr<Clock> clock,
                                              std::string displayName = {});
  ~DisplayManager() override;

  asio::awaitable<std::vector<DisplayInfo>> displays() override;
  AsyncStream<Change> changes() override { return broadcaster_->changes(); }
  const std::shared_ptr<ChangeBroadcaster>& broadcaster() const { return broadcaster_; }

 private:
  DisplayManager(const Executor& executor, std::shared_ptr<ChangeBroadcaster> broadcaster)
      : Actor(executor), broadcaster_(std::move(broadcaster)) {}
  asio::awaitable<std::vector<DisplayInfo>> displaysIsolated();

  std::shared_ptr<ChangeBroadcaster> broadcaster_;
  std::shared_ptr<platform::DisplayConfiguration> configuration_;
  Task watch_;  // follows the reconfigurations on this actor's strand
};

}  // namespace brindlet::host
