#include "host/session/ThumbnailsFeature.h"

#include <vector>

#include "host/capture/ThumbnailProviding.h"
#include "host/session/PeriodicTask.h"
#include "host/session/SessionDispatch.h"

#include <asio/this_coro.hpp>

namespace brindlet::host {

void ThumbnailsFeature::registerHandlers(SessionDispatch& d) { d.on<&ThumbnailsFeature::onSetThumbnails>(); }

asio::awaitable<void> ThumbnailsFeature::onSetThumbnails(const msg::SetThumbnails& message) {
  setThumbnails(message.enabled);
  co_return;
}

void ThumbnailsFeature::setThumbnails(bool enabled) {
  task_ = Task();
  if (!enabled) return;
  if (!core_.env().thumbnails) {
    core_.reportUnavailable<msg::SetThumbnails>("display thumbnails");
    return;
  }
  task_ =
      core_.spawnTask(repeatEvery(core_.weakFeature(this), core_.env().clock,
                                  Clock::seconds(core_.env().thumbnailInterval), true, &ThumbnailsFeature::sendRound));
}

asio::awaitable<void> ThumbnailsFeature::sendRound() {
  std::shared_ptr<ThumbnailProviding> thumbnails = core_.env().thumbnails;
  if (!thumbnails) co_return;
  const auto& current = core_.currentDisplay();
  std::vector<std::uint32_t> targets;
  for (const auto& display : core_.displays()) {
    if (!current || display.id != current->id) targets.push_back(display.id);
  }
  for (std::uint32_t id : targets) {
    auto jpeg = co_await thumbnails->thumbnail(id, thumbnailWidth);
    // Turned off while the picture was taken: it is not wanted any more.
    if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) co_return;
    if (jpeg) core_.send(msg::Thumbnail{id, std::move(*jpeg)});
  }
}

}  // namespace brindlet::host
