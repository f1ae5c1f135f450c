#pragma once
// Takes every captured frame to the encoder, and on a timer of its own: once the picture has
// stood still for `idleDelay`, encodes the last frame once more at high quality, and when a
// key frame has been asked for while nothing new arrives, encodes the last frame again so the
// key frame goes out within one tick instead of waiting for the screen to change.
//
// Encoding on its own thread (`encodeAhead`), the pipeline overlaps capture with encoding: the
// capturing thread grabs and converts the next frame while one encodes, and the newest frame
// captured meanwhile is encoded next (older ones waiting are dropped, as a slower encoder
// merges frames). An idle encoder takes a frame at once, so nothing waits a frame's time.
// Only the first frame to wait is converted ahead; one that replaces it is converted by the
// encoding thread, so a capture faster than the encoder adds no conversions.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/capture/VideoEncoder.h"
#include "kit/support/Task.h"
#include "platform/support/WorkerThread.h"

namespace brindlet::host {

class VideoPipeline : public std::enable_shared_from_this<VideoPipeline> {
 public:
  static constexpr std::chrono::milliseconds firstTick{50};
  static constexpr std::chrono::milliseconds tickInterval{25};

  // Starts the timer on a strand of `executor` (the pipeline's queue), and with `encodeAhead`
  // the encoding thread.
  static std::shared_ptr<VideoPipeline> make(std::shared_ptr<VideoEncoder> encoder, Clock::Duration idleDelay,
                                             const Executor& executor, std::shared_ptr<Clock> clock,
                                             bool encodeAhead = false);
  ~VideoPipeline();

  const std::shared_ptr<VideoEncoder>& encoder() const { return encoder_; }

  // Called for every captured frame: converts it, then encodes it on the caller's thread, or
  // with `encodeAhead` hands it to the encoding thread without waiting.
  void submit(const CapturedFrame& frame);
  // The next frame is a key frame; on a still screen the last frame is encoded again.
  void requestKeyframe();
  // Forgets the last frame: nothing is re-encoded until a new one arrives.
  void dropLastFrame();
  // The pictures are of this display from now on: the last frame of another display is
  // forgotten, frames of another display still on their way are dropped, and the first frame
  // of this one is a key frame.
  void switchDisplay(uint32_t displayID);
  // Stops the timer and the encoding thread (a frame handed to it and not yet taken is
  // dropped) and ends the encoder's session.
  void stop();

 private:
  class Handoff;

  VideoPipeline(std::shared_ptr<VideoEncoder> encoder, Clock::Duration idleDelay, const Executor& executor,
                std::shared_ptr<Clock> clock)
      : encoder_(std::move(encoder)), idleDelay_(idleDelay), strand_(makeStrand(executor)), clock_(std::move(clock)) {}
  static asio::awaitable<void> runTimer(std::weak_ptr<VideoPipeline> pipeline, std::shared_ptr<Clock> clock);
  void tick();
  void stopEncodingThread();

  const std::shared_ptr<VideoEncoder> encoder_;
  const Clock::Duration idleDelay_;
  std::mutex lock_;
  std::optional<CapturedFrame> lastFrame_;
  Clock::Duration lastArrival_{0};
  bool dirty_ = false;
  std::optional<uint32_t> displayID_;  // frames of another display are dropped
  Strand strand_;
  std::shared_ptr<Clock> clock_;
  Task timer_;

  // With `encodeAhead`: the frames' way to the encoding thread, shared with it so that it
  // outlives a pipeline released on that thread.
  std::shared_ptr<Handoff> handoff_;
  platform::WorkerThread encodingThread_;
};

}  // namespace brindlet::host
