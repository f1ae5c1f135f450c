// Video for the session: the pipeline, display selection and the device's feedback. The
// pipeline, capture and the periodic, cursor and text-focus work are not built on this host
// yet: a session negotiates, sends its display list and carries out input, but streams no
// video, and says so once in the log.

#include <cinttypes>

#include "host/capture/VideoEncoder.h"
#include "host/session/HostSecurity.h"
#include "host/session/HostSession.h"

namespace brindlet::host {

void HostSession::startPipeline(CodecProfile) {}

asio::awaitable<void> HostSession::selectDisplay(std::uint32_t displayID, std::optional<Viewport>) {
  if (!streamingUnavailableSaid_) {
    streamingUnavailableSaid_ = true;
    sessionLog().notice("display %u not streamed: video streaming is not available on this host yet", displayID);
  }
  co_return;
}

void HostSession::startPeriodicTasks() {}

void HostSession::startTextFocus() {}

void HostSession::sendCursorIfNeeded(double) {}

asio::awaitable<void> HostSession::onFeedback(const msg::Feedback& message) {
  const Feedback& feedback = message.feedback;
  if (feedback.requestKeyframe && encoder_) encoder_->requestKeyframe();
  double now = uptime();
  if (feedback.framesDropped > 0 || feedback.requestKeyframe || now - lastLoggedFeedback_ >= 5.0) {
    lastLoggedFeedback_ = now;
    sessionLog().info("feedback received=%u dropped=%u jitter=%.1fms keyframe=%s", feedback.framesReceived,
                      feedback.framesDropped, static_cast<double>(feedback.jitterMs),
                      feedback.requestKeyframe ? "true" : "false");
  }
  // A report with nothing but a key-frame request says nothing about the network.
  if (feedback.requestKeyframe && feedback.framesReceived == 0 && feedback.framesDropped == 0 &&
      feedback.jitterMs == 0) {
    co_return;
  }
  auto newBitrate = bitrate_.update(feedback, now);
  if (!newBitrate) co_return;
  if (encoder_) encoder_->setBitrate(*newBitrate);
  status_.targetBitrateMbps = static_cast<double>(*newBitrate) / 1'000'000;
  publishStatus();
}

}  // namespace brindlet::host
