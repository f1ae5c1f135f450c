#pragma once

// Window thumbnails from the X screen: each window's own pixels (so a covered window shows
// whole), scaled to the asked width, as a JPEG of quality 60. Taken on a strand of its own;
// one per application.

#include <memory>
#include <mutex>

#include "base/Executor.h"
#include "host/control/WindowThumbnailProviding.h"

namespace brindlet::platform {
class WindowSnapshot;
}

namespace brindlet::host {

class SystemWindowThumbnails final : public WindowThumbnailProviding {
 public:
  SystemWindowThumbnails(const Executor& executor, std::unique_ptr<platform::WindowSnapshot> snapshot);
  ~SystemWindowThumbnails() override;

  asio::awaitable<std::map<std::uint32_t, Bytes>> thumbnails(std::vector<std::uint32_t> windowIDs, int width) override;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace brindlet::host
