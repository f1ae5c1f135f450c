// Video for the session: the pipeline made once the profile is agreed, the display and
// viewport the device asks for, the capture source behind them, switching video off and on,
// the stream's geometry (streamInfo), and what happens on this computer: display changes,
// capture held and resumed, notes for the status.

#include <string>

#include "host/capture/CaptureGeometry.h"
#include "host/capture/CaptureSource.h"
#include "host/capture/DisplayManager.h"
#include "host/capture/VideoEncoder.h"
#include "host/capture/VideoPipeline.h"
#include "host/capture/VideoSink.h"
#include "host/HostLog.h"
#include "host/session/HostSession.h"
#include "host/session/SessionDispatch.h"

#include <asio/post.hpp>

namespace brindlet::host {

namespace {

constexpr const char* remoteModeNote = "Remote mode (no video)";

// What an exception says to the user.
std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown capture error.";
  }
}

bool sameGeometry(const DisplayInfo& a, const DisplayInfo& b) {
  return a.pixelWidth == b.pixelWidth && a.pixelHeight == b.pixelHeight && a.frame == b.frame;
}

}  // namespace

void HostSession::registerStreamingHandlers(SessionDispatch& d) {
  d.on<msg::SelectDisplay, &HostSession::onSelectDisplay>();
  d.on<msg::Viewport, &HostSession::onViewport>();
  d.on<msg::SetVideoEnabled, &HostSession::onSetVideoEnabled>();
}

asio::awaitable<void> HostSession::onSelectDisplay(const msg::SelectDisplay& message) {
  co_await selectDisplay(message.displayID, std::nullopt);
}

asio::awaitable<void> HostSession::onViewport(const msg::Viewport& message) {
  const Viewport& viewport = message.viewport;
  if (current_ && current_->id == viewport.displayID) {
    co_await selectDisplay(*current_, viewport);
  } else {
    co_await selectDisplay(viewport.displayID, viewport);
  }
}

asio::awaitable<void> HostSession::onSetVideoEnabled(const msg::SetVideoEnabled& message) {
  co_await setVideoEnabled(message.enabled);
}

asio::awaitable<void> HostSession::onFeedback(const msg::Feedback& message) {
  const Feedback& feedback = message.feedback;
  if (feedback.requestKeyframe) forceKeyframe();
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
  if (pipeline_) pipeline_->encoder()->setBitrate(*newBitrate);
  status_.targetBitrateMbps = static_cast<double>(*newBitrate) / 1'000'000;
  publishStatus();
}

void HostSession::startPipeline(CodecProfile profile) {
  if (pipeline_) pipeline_->stop();
  auto sink = std::make_shared<VideoSink>(connection_);
  std::weak_ptr<HostSession> weak = weak_from_this();
  Strand strand = this->strand();
  // Runs on the encoder's thread: frames go straight to the sink, reports hop to the session.
  EncoderOutputHandler output = [sink, weak, strand](const EncoderOutput& out) {
    if (const auto* frame = std::get_if<EncoderOutput::Frame>(&out.value)) {
      sink->send(frame->frame, frame->latencyMs);
    } else if (const auto* fallback = std::get_if<EncoderOutput::ProfileFallback>(&out.value)) {
      asio::post(strand, [weak, from = fallback->requested, to = fallback->to] {
        if (auto self = weak.lock()) self->encoderFellBack(from, to);
      });
    } else if (const auto* failed = std::get_if<EncoderOutput::Failed>(&out.value)) {
      asio::post(strand, [weak, text = failed->text] {
        if (auto self = weak.lock()) self->setNote(text);
      });
    }
  };
  auto encoder = env_.encoders->makeEncoder(profile, bitrate_.bitrate, std::move(output));
  auto pipeline = VideoPipeline::make(std::move(encoder), Clock::seconds(env_.idleRefreshDelay),
                                      strand.get_inner_executor(), env_.clock);
  std::weak_ptr<VideoPipeline> weakPipeline = pipeline;
  sink->setKeyframeRequester([weakPipeline] {
    if (auto p = weakPipeline.lock()) p->requestKeyframe();
  });
  sink_ = std::move(sink);
  pipeline_ = std::move(pipeline);
}

void HostSession::encoderFellBack(CodecProfile from, CodecProfile to) {
  status_.profile = to;
  status_.note = "Encoder fell back from " + std::string(caseName(from)) + " to " + std::string(caseName(to));
  sessionLog().error("encoder fell back %s -> %s", std::string(displayName(from)).c_str(),
                     std::string(displayName(to)).c_str());
  publishStatus();
  sendStreamInfo();
}

void HostSession::setNote(const std::string& text) {
  status_.note = "Encoder: " + text;
  publishStatus();
}

void HostSession::forceKeyframe() {
  // Through the pipeline, so that a still screen gets its key frame at the next tick.
  if (pipeline_) pipeline_->requestKeyframe();
}

asio::awaitable<void> HostSession::selectDisplay(std::uint32_t displayID, std::optional<Viewport> viewport) {
  const DisplayInfo* found = findDisplay(displays_, displayID);
  if (!found || !client_) co_return;
  DisplayInfo display = *found;
  Viewport chosen = viewport ? *viewport : defaultViewport(display, *client_);
  co_await selectDisplay(std::move(display), chosen);
}

asio::awaitable<void> HostSession::selectDisplay(DisplayInfo display, Viewport viewport) {
  auto self = shared_from_this();
  const bool displayChanged = !(current_ && current_->id == display.id);
  current_ = display;
  viewport_ = viewport;
  const CaptureGeometry geometry = captureOutputSize(display, viewport, scope_);
  status_.displayName = display.name;
  status_.width = geometry.width;
  status_.height = geometry.height;

  if (!videoEnabled_) {
    status_.phase = SessionStatus::Phase::streaming;
    publishStatus();
    co_return;
  }
  if (captureHeld_) {
    publishStatus();
    co_return;
  }

  std::exception_ptr failure;
  if (!captureStarted_) {
    auto source = env_.makeCapture();
    capture_ = source;
    captureStopsTask_ = Task();
    if (!pipeline_) co_return;
    std::weak_ptr<VideoPipeline> weakPipeline = pipeline_;
    try {
      co_await source->setScope(scope_);
      // Built in a statement of its own (see kit/support/Executor.h): inside the co_await
      // expression the closure would be destroyed twice, dropping the pipeline's weak count.
      FrameHandler onFrame = [weakPipeline](const CapturedFrame& frame) {
        if (auto pipeline = weakPipeline.lock()) pipeline->submit(frame);
      };
      co_await source->start(display, viewport, std::move(onFrame));
    } catch (...) {
      failure = std::current_exception();
    }
    if (!failure) {
      if (capture_ == source) {
        captureStarted_ = true;
        watchCaptureStops(source);
      } else {
        // Replaced or dropped while it started (video switched off, capture held, session
        // ended): this source is not the session's any more.
        co_await source->stop();
        co_return;
      }
    }
  } else if (auto source = capture_) {
    try {
      co_await source->setScope(scope_);
      co_await source->update(display, viewport);
    } catch (...) {
      failure = std::current_exception();
    }
  }

  if (failure) {
    recordCaptureFailure(describe(failure));
    co_return;
  }

  if (displayChanged) forceKeyframe();
  status_.captureError.reset();
  captureProblem_.reset();
  refreshHostStatusIsolated(false);
  status_.phase = SessionStatus::Phase::streaming;
  if (displayChanged) {
    sessionLog().info("display selected %s id=%u %ldx%ld", display.name.c_str(), display.id,
                      static_cast<long>(geometry.width), static_cast<long>(geometry.height));
  }
  sendStreamInfo();
  publishStatus();
}

void HostSession::recordCaptureFailure(const std::string& description) {
  status_.captureError = description;
  sessionLog().error("capture failed: %s", description.c_str());
  if (env_.screenRecordingGranted()) {
    captureProblem_ = HostStateReport{HostState::captureBlocked, description};
  } else {
    captureProblem_ = HostStateReport{HostState::permissionMissing, "Screen Recording permission is not granted"};
  }
  refreshHostStatusIsolated(false);
  publishStatus();
}

void HostSession::watchCaptureStops(const std::shared_ptr<CaptureSource>& source) {
  std::weak_ptr<HostSession> weak = weak_from_this();
  std::weak_ptr<CaptureSource> weakSource = source;
  captureStopsTask_ = spawn([](std::weak_ptr<HostSession> weak, std::weak_ptr<CaptureSource> weakSource,
                               AsyncStream<CaptureStop> stops) -> asio::awaitable<void> {
    while (auto stop = co_await stops.next()) {
      auto self = weak.lock();
      auto source = weakSource.lock();
      if (!self || !source) co_return;
      self->captureStopped(source, *stop);
    }
  }(weak, weakSource, source->stops()));
}

// Capture that ended by itself: the session no longer streams, says so to the device and the
// menu bar, and starts a new source at the next selection.
void HostSession::captureStopped(const std::shared_ptr<CaptureSource>& source, const CaptureStop& stop) {
  if (source != capture_ || !captureStarted_) return;
  captureStarted_ = false;
  capture_.reset();
  recordCaptureFailure(stop.description);
}

asio::awaitable<void> HostSession::setVideoEnabled(bool enabled) {
  auto self = shared_from_this();
  if (enabled == videoEnabled_) co_return;
  videoEnabled_ = enabled;
  sessionLog().info("video %s", enabled ? "enabled" : "disabled");
  if (!enabled) {
    if (pipeline_) pipeline_->dropLastFrame();
    auto source = std::exchange(capture_, nullptr);
    captureStarted_ = false;
    captureStopsTask_ = Task();
    if (source) co_await source->stop();
    if (!status_.note || status_.note->empty()) status_.note = remoteModeNote;
    publishStatus();
    co_return;
  }
  if (status_.note == remoteModeNote) status_.note.reset();
  if (client_ && current_ && viewport_) {
    co_await selectDisplay(*current_, *viewport_);
    forceKeyframe();
  } else {
    publishStatus();
  }
}

void HostSession::sendStreamInfo() {
  if (!current_ || !viewport_ || !status_.profile) return;
  const CaptureGeometry geometry = captureOutputSize(*current_, *viewport_, scope_);
  connection_->send(msg::StreamInfo{current_->id, clampedSourceRect(viewport_->sourceRect), geometry.width,
                                    geometry.height, *status_.profile});
}

asio::awaitable<void> HostSession::displaysChanged() { return isolated(displaysChangedIsolated()); }

asio::awaitable<void> HostSession::captureSuspended(std::string reason) {
  return isolated(captureSuspendedIsolated(std::move(reason)));
}

asio::awaitable<void> HostSession::resumeCapture(bool restart) { return isolated(resumeCaptureIsolated(restart)); }

asio::awaitable<void> HostSession::hostNote(std::optional<std::string> note) {
  return isolated([](std::shared_ptr<HostSession> self, std::optional<std::string> value) -> asio::awaitable<void> {
    self->hostNoteIsolated(std::move(value));
    co_return;
  }(shared_from_this(), std::move(note)));
}

asio::awaitable<void> HostSession::setLifecycleState(HostStateReport state) {
  return isolated([](std::shared_ptr<HostSession> self, HostStateReport value) -> asio::awaitable<void> {
    self->lifecycleState_ = std::move(value);
    self->refreshHostStatusIsolated(false);
    co_return;
  }(shared_from_this(), std::move(state)));
}

asio::awaitable<void> HostSession::displaysChangedIsolated() {
  auto self = shared_from_this();
  auto list = co_await env_.displays->displays();
  if (list == displays_) co_return;
  displays_ = list;
  connection_->send(msg::DisplayList{list});
  if (!current_ || !client_) co_return;
  if (const DisplayInfo* found = findDisplay(list, current_->id)) {
    if (sameGeometry(*found, *current_)) {
      current_ = *found;  // a new name or main flag; capture goes on as it is
      co_return;
    }
    DisplayInfo display = *found;
    Viewport viewport = defaultViewport(display, *client_);
    co_await selectDisplay(display, viewport);
    co_return;
  }
  const DisplayInfo* fallback = mainOrFirstDisplay(list);
  if (!fallback) co_return;
  DisplayInfo display = *fallback;
  Viewport viewport = defaultViewport(display, *client_);
  co_await selectDisplay(display, viewport);
}

asio::awaitable<void> HostSession::captureSuspendedIsolated(std::string reason) {
  auto self = shared_from_this();
  sessionLog().info("capture suspended: %s", reason.c_str());
  captureHeld_ = true;
  auto source = std::exchange(capture_, nullptr);
  captureStarted_ = false;
  captureStopsTask_ = Task();
  if (source) co_await source->stop();
  status_.note = std::move(reason);
  publishStatus();
}

asio::awaitable<void> HostSession::resumeCaptureIsolated(bool restart) {
  auto self = shared_from_this();
  captureHeld_ = false;
  if (!client_ || !current_ || !viewport_) co_return;
  if (restart && capture_) {
    auto source = std::exchange(capture_, nullptr);
    captureStarted_ = false;
    captureStopsTask_ = Task();
    co_await source->stop();
  }
  displays_ = co_await env_.displays->displays();
  connection_->send(msg::DisplayList{displays_});
  const DisplayInfo* target = current_ ? findDisplay(displays_, current_->id) : nullptr;
  if (!target) target = mainOrFirstDisplay(displays_);
  if (!target) {
    status_.note = "No displays available";
    publishStatus();
    co_return;
  }
  status_.note.reset();
  DisplayInfo display = *target;
  Viewport viewport =
      (current_ && viewport_ && current_->id == display.id) ? *viewport_ : defaultViewport(display, *client_);
  co_await selectDisplay(display, viewport);
  forceKeyframe();
  sessionLog().info("capture resumed");
}

void HostSession::hostNoteIsolated(std::optional<std::string> note) {
  if (note == status_.note) return;
  sessionLog().info("host note: %s", note ? note->c_str() : "(cleared)");
  status_.note = std::move(note);
  publishStatus();
}

}  // namespace brindlet::host
