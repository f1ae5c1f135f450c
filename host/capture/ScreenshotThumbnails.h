#pragma once

// Display thumbnails from the X screen: one MIT-SHM grab of the display, scaled to the asked
// width, as a JPEG of quality 60. Taken on a strand of its own; one per application.

#include <memory>
#include <mutex>

#include "base/Executor.h"
#include "host/capture/ThumbnailProviding.h"

namespace brindlet::platform {
class DisplaySnapshot;
}

namespace brindlet::host {

class ScreenshotThumbnails final : public ThumbnailProviding {
 public:
  ScreenshotThumbnails(const Executor& executor, std::unique_ptr<platform::DisplaySnapshot> snapshot);
  ~ScreenshotThumbnails() override;

  asio::awaitable<std::optional<Bytes>> thumbnail(std::uint32_t displayID, int width) override;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace brindlet::host
