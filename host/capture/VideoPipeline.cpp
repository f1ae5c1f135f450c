#include "host/capture/VideoPipeline.h"

#include <condition_variable>
#include <stop_token>

namespace brindlet::host {

// One frame at a time from the capturing thread (or the timer) to the encoding thread: the
// newest waits while a frame encodes.
class VideoPipeline::Handoff {
 public:
  struct Job {
    CapturedFrame frame;
    bool key = false;
    bool highQuality = false;
  };

  // Hands `job` over. Replacing: a job still waiting is dropped for it (a newer picture);
  // else only when no job waits already. False when it was not handed over.
  bool put(Job job, bool replace) {
    std::unique_lock guard(lock_);
    if (closed_ || (waiting_ && !replace)) return false;
    if (waiting_) release();
    waiting_ = std::move(job);
    changed_.notify_all();
    return true;
  }

  // The next job, for the encoding thread; nothing once it is asked to stop.
  std::optional<Job> take(const std::stop_token& stop) {
    std::unique_lock guard(lock_);
    if (!changed_.wait(guard, stop, [&] { return waiting_.has_value(); })) return std::nullopt;
    return release();
  }

  // Whether a job waits for the encoding thread (which is then busy with the one before).
  bool waiting() {
    std::unique_lock guard(lock_);
    return waiting_.has_value();
  }

  // Drops a waiting job of another display.
  void dropUnless(uint32_t displayID) {
    std::unique_lock guard(lock_);
    if (waiting_ && waiting_->frame.displayID != displayID) release();
  }

  // Nothing is handed over from now on; a waiting job is dropped.
  void close() {
    std::unique_lock guard(lock_);
    closed_ = true;
    if (waiting_) release();
    changed_.notify_all();
  }

 private:
  std::optional<Job> release() {
    std::optional<Job> job = std::move(waiting_);
    waiting_.reset();
    return job;
  }

  std::mutex lock_;
  std::condition_variable_any changed_;
  std::optional<Job> waiting_;
  bool closed_ = false;
};

std::shared_ptr<VideoPipeline> VideoPipeline::make(std::shared_ptr<VideoEncoder> encoder, Clock::Duration idleDelay,
                                                   const Executor& executor, std::shared_ptr<Clock> clock,
                                                   bool encodeAhead) {
  std::shared_ptr<VideoPipeline> pipeline(new VideoPipeline(std::move(encoder), idleDelay, executor, clock));
  if (encodeAhead) {
    auto handoff = std::make_shared<Handoff>();
    pipeline->handoff_ = handoff;
    pipeline->encodingThread_ =
        platform::WorkerThread([handoff, encoder = pipeline->encoder_](const std::stop_token& stop) {
          while (auto job = handoff->take(stop)) encoder->encode(job->frame, job->key, job->highQuality);
        });
  }
  pipeline->timer_ = Task::spawn(pipeline->strand_, runTimer(pipeline, pipeline->clock_));
  return pipeline;
}

VideoPipeline::~VideoPipeline() {
  timer_.cancel();
  stopEncodingThread();
}

void VideoPipeline::stopEncodingThread() {
  if (handoff_) handoff_->close();
  encodingThread_.stop();
}

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
  if (!taken) return;
  if (handoff_) {
    // A frame already waiting for the encoder is newer and carries the key frame.
    handoff_->put(Handoff::Job{std::move(*taken), key, highQuality}, false);
  } else {
    encoder_->encode(*taken, key, highQuality);
  }
}

void VideoPipeline::submit(const CapturedFrame& frame) {
  {
    std::lock_guard guard(lock_);
    if (displayID_ && frame.displayID != *displayID_) return;
  }
  CapturedFrame prepared = frame;
  // A frame that replaces one already waiting for the busy encoder goes over unconverted and
  // is converted when the encoder takes it: while capture outruns the encoder, each encoded
  // frame is converted once, instead of every frame captured meanwhile.
  if (!handoff_ || !handoff_->waiting()) encoder_->prepare(prepared);
  {
    std::lock_guard guard(lock_);
    if (displayID_ && frame.displayID != *displayID_) return;  // switched while it converted
    lastFrame_ = prepared;
    lastArrival_ = clock_->uptimeNow();
    dirty_ = true;
  }
  if (handoff_) {
    handoff_->put(Handoff::Job{std::move(prepared), false, false}, true);
  } else {
    encoder_->encode(prepared, false, false);
  }
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
  if (handoff_) handoff_->dropUnless(displayID);
  encoder_->requestKeyframe();
}

void VideoPipeline::stop() {
  timer_.cancel();
  stopEncodingThread();
  encoder_->invalidate();
}

}  // namespace brindlet::host
