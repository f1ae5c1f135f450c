#include "host/control/SystemWindowThumbnails.h"

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/screen/WindowSnapshot.h"

namespace brindlet::host {

namespace {

constexpr int jpegQuality = 60;

}  // namespace

struct SystemWindowThumbnails::Shared {
  explicit Shared(Strand s) : strand(std::move(s)) {}
  Strand strand;
  std::mutex mutex;
  std::unique_ptr<platform::WindowSnapshot> snapshot;
};

SystemWindowThumbnails::SystemWindowThumbnails(const Executor& executor,
                                               std::unique_ptr<platform::WindowSnapshot> snapshot)
    : shared_(std::make_shared<Shared>(makeStrand(executor))) {
  shared_->snapshot = std::move(snapshot);
}

SystemWindowThumbnails::~SystemWindowThumbnails() = default;

asio::awaitable<std::map<std::uint32_t, Bytes>> SystemWindowThumbnails::thumbnails(std::vector<std::uint32_t> windowIDs,
                                                                                   int width) {
  if (windowIDs.empty()) co_return std::map<std::uint32_t, Bytes>{};
  auto take = [](std::shared_ptr<Shared> shared, std::vector<std::uint32_t> ids,
                 int w) -> asio::awaitable<std::map<std::uint32_t, Bytes>> {
    std::lock_guard guard(shared->mutex);
    std::map<std::uint32_t, Bytes> pictures;
    for (std::uint32_t id : ids) {
      if (pictures.count(id)) continue;
      if (auto jpeg = shared->snapshot->jpeg(id, w, jpegQuality)) pictures.emplace(id, std::move(*jpeg));
    }
    co_return pictures;
  };
  co_return co_await asio::co_spawn(shared_->strand, take(shared_, std::move(windowIDs), width), asio::use_awaitable);
}

}  // namespace brindlet::host
