#include "host/capture/VideoPipeline.h"

namespace brindlet::host {

std::shared_ptr<VideoPipeline> VideoPipeline::make(std::shared_ptr<VideoEncoder> encoder, Clock::Duration idleDelay,
                                                   const Executor& executor, std::shared_ptr<Clock> clock) {
  std::shared_ptr<VideoPipeline> pipeline(new VideoPipeline(std::move(encoder), idleDelay, executor, clock));
  pipeline->timer_ = Task::spawn(pipeline->strand_, runTimer(pipeline, pipeline->clock_));
  return pipeline;
}

VideoPipeline::~VideoPipeline() { timer_.cancel(); }

asio::awaitable<void> VideoPipeline::runTimer(std::weak_ptr<VideoPipeline> pipeline, std::shared_ptr<Clock> clock) {
  co_await clock->sleep(firstTick);
  for (;;) {
    if (auto self = pipeline.lock()) {
      self->tick();
    } else {
      co_return;
    }
    co_await clock->sleep(tickInterval);
  }
}

void VideoPipeline::tick() {
  std::optional<CapturedFrame> taken;
  bool highQuality = false;
  bool key = false;
  {
    std::lock_guard guard(lock_);
    const Clock::Duration still = clock_->uptimeNow() - lastArrival_;
    if (dirty_ && lastFrame_ && idleDelay_ <= still) {
      dirty_ = false;
      taken = lastFrame_;
      highQuality = true;
    }
    // A key frame asked for and not yet given (the screen is still, or no frame has come
    // since the request): the last frame goes again, as a key frame.
    if (lastFrame_ && encoder_->keyframePending()) {
      taken = lastFrame_;
      key = true;
    }
  }
  if (taken) encoder_->encode(*taken, key, highQuality);
}

void VideoPipeline::submit(const CapturedFrame& frame) {
  {
    std::lock_guard guard(lock_);
    if (displayID_ && frame.displayID != *displayID_) return;
    lastFrame_ = frame;
    lastArrival_ = clock_->uptimeNow();
    dirty_ = true;
  }
  encoder_->encode(frame, false, false);
}

void VideoPipeline::requestKeyframe() { encoder_->requestKeyframe(); }

void VideoPipeline::dropLastFrame() {
  std::lock_guard guard(lock_);
  lastFrame_.reset();
  dirty_ = false;
}

void VideoPipeline::switchDisplay(uint32_t displayID) {
  {
    std::lock_guard guard(lock_);
    displayID_ = displayID;
    if (lastFrame_ && lastFrame_->displayID != displayID) {
      lastFrame_.reset();
      dirty_ = false;
    }
  }
  encoder_->requestKeyframe();
}

void VideoPipeline::stop() {
  timer_.cancel();
  encoder_->invalidate();
}

}  // namespace brindlet::host
