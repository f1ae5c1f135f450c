#include "host/capture/ScreenshotThumbnails.h"

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/screen/DisplaySnapshot.h"

namespace brindlet::host {

namespace {

constexpr int jpegQuality = 60;

}  // namespace

struct ScreenshotThumbnails::Shared {
  explicit Shared(Strand s) : strand(std::move(s)) {}
  Strand strand;
  std::mutex mutex;
  std::unique_ptr<platform::DisplaySnapshot> snapshot;
};

ScreenshotThumbnails::ScreenshotThumbnails(const Executor& executor,
                                           std::unique_ptr<platform::DisplaySnapshot> snapshot)
    : shared_(std::make_shared<Shared>(makeStrand(executor))) {
  shared_->snapshot = std::move(snapshot);
}

ScreenshotThumbnails::~ScreenshotThumbnails() = default;

asio::awaitable<std::optional<Bytes>> ScreenshotThumbnails::thumbnail(std::uint32_t displayID, int width) {
  auto take = [](std::shared_ptr<Shared> shared, std::uint32_t id, int w) -> asio::awaitable<std::optional<Bytes>> {
    std::lock_guard guard(shared->mutex);
    co_return shared->snapshot->jpeg(id, w, jpegQuality);
  };
  return asio::co_spawn(shared_->strand, take(shared_, displayID, width), asio::use_awaitable);
}

}  // namespace brindlet::host
