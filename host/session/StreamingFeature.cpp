#include "host/session/StreamingFeature.h"

#include <atomic>
#include <stdexcept>
#include <string>

#include "host/HostLog.h"
#include "host/capture/CaptureGeometry.h"
#include "host/capture/CaptureSource.h"
#include "host/capture/DisplayManager.h"
#include "host/capture/VideoEncoder.h"
#include "host/capture/VideoPipeline.h"
#include "host/capture/VideoSink.h"
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

asio::awaitable<void> followDisplayChanges(std::weak_ptr<StreamingFeature> weak, AsyncStream<Change> changes) {
  while (auto change = co_await changes.next()) {
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->displaysChanged();
  }
}

asio::awaitable<void> reportStatsEvery(std::weak_ptr<StreamingFeature> weak, std::shared_ptr<Clock> clock,
                                       Clock::Duration interval, void (StreamingFeature::*report)()) {
  for (;;) {
    co_await clock->sleep(interval);
    auto self = weak.lock();
    if (!self) co_return;
    ((*self).*report)();
  }
}

}  // namespace

void StreamingFeature::registerHandlers(SessionDispatch& d) {
  d.on<&StreamingFeature::onSelectDisplay>();
  d.on<&StreamingFeature::onViewport>();
  d.on<&StreamingFeature::onSetVideoEnabled>();
  d.on<&StreamingFeature::onFeedback>();
}

asio::awaitable<void> StreamingFeature::onSelectDisplay(const msg::SelectDisplay& message) {
  co_await selectDisplay(message.displayID, std::nullopt);
}

asio::awaitable<void> StreamingFeature::onViewport(const msg::Viewport& message) {
  const Viewport& viewport = message.viewport;
  if (current_ && current_->id == viewport.displayID) {
    co_await selectDisplay(*current_, viewport);
  } else {
    co_await selectDisplay(viewport.displayID, viewport);
  }
}

asio::awaitable<void> StreamingFeature::onSetVideoEnabled(const msg::SetVideoEnabled& message) {
  co_await setVideoEnabled(message.enabled);
}

asio::awaitable<void> StreamingFeature::onFeedback(const msg::Feedback& message) {
  const Feedback& feedback = message.feedback;
  if (feedback.requestKeyframe) forceKeyframe();
  double now = core_.uptime();
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
  core_.sessionStatus().targetBitrateMbps = static_cast<double>(*newBitrate) / 1'000'000;
  core_.publishStatus();
}

void StreamingFeature::startPipeline(CodecProfile profile) {
  if (pipeline_) pipeline_->stop();
  auto sink = std::make_shared<VideoSink>(core_.connection());
  std::weak_ptr<StreamingFeature> weak = core_.weakFeature(this);
  Strand strand = core_.strand();
  // Whether the encoder's last report was a failure: the first frame after one tells the
  // session that the encoder works again.
  auto failing = std::make_shared<std::atomic<bool>>(false);
  // Runs on the encoder's thread: frames go straight to the sink, reports hop to the session.
  EncoderOutputHandler output = [sink, weak, strand, failing](const EncoderOutput& out) {
    if (const auto* frame = std::get_if<EncoderOutput::Frame>(&out.value)) {
      sink->send(frame->frame, frame->latencyMs);
      if (failing->load(std::memory_order_relaxed) && failing->exchange(false)) {
        asio::post(strand, [weak] {
          if (auto self = weak.lock()) self->encoderRecovered();
        });
      }
    } else if (const auto* fallback = std::get_if<EncoderOutput::ProfileFallback>(&out.value)) {
      asio::post(strand, [weak, from = fallback->requested, to = fallback->to] {
        if (auto self = weak.lock()) self->encoderFellBack(from, to);
      });
    } else if (const auto* failed = std::get_if<EncoderOutput::Failed>(&out.value)) {
      failing->store(true);
      asio::post(strand, [weak, text = failed->text] {
        if (auto self = weak.lock()) self->encoderFailed(text);
      });
    }
  };
  std::shared_ptr<VideoEncoder> encoder;
  try {
    encoder = core_.env().encoders->makeEncoder(profile, bitrate_.bitrate, std::move(output));
    if (!encoder) throw std::runtime_error("no encoder for " + std::string(caseName(profile)));
  } catch (const std::exception& error) {
    // The session goes on without video; the device is told why through the host status.
    sink_ = std::move(sink);
    pipeline_.reset();
    encoderFailed(error.what());
    return;
  }
  auto pipeline =
      VideoPipeline::make(std::move(encoder), Clock::seconds(core_.env().idleRefreshDelay), strand.get_inner_executor(),
                          core_.env().clock, core_.env().encoders->encodesAhead());
  std::weak_ptr<VideoPipeline> weakPipeline = pipeline;
  sink->setKeyframeRequester([weakPipeline] {
    if (auto p = weakPipeline.lock()) p->requestKeyframe();
  });
  sink_ = std::move(sink);
  pipeline_ = std::move(pipeline);
}

void StreamingFeature::encoderFellBack(CodecProfile from, CodecProfile to) {
  core_.sessionStatus().profile = to;
  core_.sessionStatus().note =
      "Encoder fell back from " + std::string(caseName(from)) + " to " + std::string(caseName(to));
  sessionLog().error("encoder fell back %s -> %s", std::string(displayName(from)).c_str(),
                     std::string(displayName(to)).c_str());
  core_.publishStatus();
  sendStreamInfo();
}

void StreamingFeature::encoderFailed(const std::string& text) {
  const std::string described = "Encoder: " + text;
  if (encoderFailure_ != described) sessionLog().error("encoder failed: %s", text.c_str());
  encoderFailure_ = described;
  core_.sessionStatus().note = described;
  // The device would otherwise see a stream that simply stops. A failed capture says more
  // (no frames reach the encoder then), so it is not replaced.
  if (!core_.sessionStatus().captureError) {
    core_.setCaptureProblem(HostStateReport{HostState::captureBlocked, described});
  }
  core_.publishStatus();
}

void StreamingFeature::encoderRecovered() {
  if (!encoderFailure_) return;
  sessionLog().info("encoder recovered");
  if (core_.sessionStatus().note == encoderFailure_) core_.sessionStatus().note.reset();
  encoderFailure_.reset();
  if (!core_.sessionStatus().captureError) core_.setCaptureProblem(std::nullopt);
  core_.publishStatus();
}

void StreamingFeature::forceKeyframe() {
  // Through the pipeline, so that a still screen gets its key frame at the next tick.
  if (pipeline_) pipeline_->requestKeyframe();
}

asio::awaitable<void> StreamingFeature::selectDisplay(std::uint32_t displayID, std::optional<Viewport> viewport) {
  const DisplayInfo* found = findDisplay(displays_, displayID);
  if (!found || !core_.client()) co_return;
  DisplayInfo display = *found;
  Viewport chosen = viewport ? *viewport : defaultViewport(display, *core_.client());
  co_await selectDisplay(std::move(display), chosen);
}

asio::awaitable<void> StreamingFeature::selectDisplay(DisplayInfo display, Viewport viewport) {
  const bool displayChanged = !(current_ && current_->id == display.id);
  current_ = display;
  viewport_ = viewport;
  const CaptureGeometry geometry = captureOutputSize(display, viewport, scope_);
  core_.sessionStatus().displayName = display.name;
  core_.sessionStatus().width = geometry.width;
  core_.sessionStatus().height = geometry.height;

  if (!videoEnabled_) {
    core_.sessionStatus().phase = SessionStatus::Phase::streaming;
    core_.publishStatus();
    co_return;
  }
  if (captureHeld_) {
    core_.publishStatus();
    co_return;
  }

  // Before the capture moves: what the old display still sends is dropped, and the new
  // display's first frame, not the old one's last, is the key frame.
  if (displayChanged && pipeline_) pipeline_->switchDisplay(display.id);
  std::exception_ptr failure;
  if (!captureStarted_) {
    auto source = core_.env().makeCapture();
    capture_ = source;
    captureStopsTask_ = Task();
    if (!pipeline_) co_return;
    std::weak_ptr<VideoPipeline> weakPipeline = pipeline_;
    try {
      co_await source->setScope(scope_);
      // Built in a statement of its own (see base/Executor.h): inside the co_await
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

  core_.sessionStatus().captureError.reset();
  // An encoder that is failing still fails: its report stays until a frame comes out.
  core_.setCaptureProblem(encoderFailure_ ? std::optional(HostStateReport{HostState::captureBlocked, *encoderFailure_})
                                          : std::nullopt);
  core_.sessionStatus().phase = SessionStatus::Phase::streaming;
  if (displayChanged) {
    sessionLog().info("display selected %s id=%u %ldx%ld", display.name.c_str(), display.id,
                      static_cast<long>(geometry.width), static_cast<long>(geometry.height));
  }
  sendStreamInfo();
  core_.publishStatus();
}

void StreamingFeature::recordCaptureFailure(const std::string& description) {
  core_.sessionStatus().captureError = description;
  sessionLog().error("capture failed: %s", description.c_str());
  if (core_.env().screenRecordingGranted()) {
    core_.setCaptureProblem(HostStateReport{HostState::captureBlocked, description});
  } else {
    core_.setCaptureProblem(
        HostStateReport{HostState::permissionMissing, "Screen Recording permission is not granted"});
  }
  core_.publishStatus();
}

void StreamingFeature::watchCaptureStops(const std::shared_ptr<CaptureSource>& source) {
  std::weak_ptr<StreamingFeature> weak = core_.weakFeature(this);
  std::weak_ptr<CaptureSource> weakSource = source;
  captureStopsTask_ = core_.spawnTask([](std::weak_ptr<StreamingFeature> weak, std::weak_ptr<CaptureSource> weakSource,
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
void StreamingFeature::captureStopped(const std::shared_ptr<CaptureSource>& source, const CaptureStop& stop) {
  if (source != capture_ || !captureStarted_) return;
  captureStarted_ = false;
  capture_.reset();
  recordCaptureFailure(stop.description);
}

asio::awaitable<void> StreamingFeature::setVideoEnabled(bool enabled) {
  if (enabled == videoEnabled_) co_return;
  videoEnabled_ = enabled;
  sessionLog().info("video %s", enabled ? "enabled" : "disabled");
  if (!enabled) {
    if (pipeline_) pipeline_->dropLastFrame();
    auto source = std::exchange(capture_, nullptr);
    captureStarted_ = false;
    captureStopsTask_ = Task();
    if (source) co_await source->stop();
    if (!core_.sessionStatus().note || core_.sessionStatus().note->empty()) core_.sessionStatus().note = remoteModeNote;
    core_.publishStatus();
    co_return;
  }
  if (core_.sessionStatus().note == remoteModeNote) core_.sessionStatus().note.reset();
  if (core_.client() && current_ && viewport_) {
    co_await selectDisplay(*current_, *viewport_);
    forceKeyframe();
  } else {
    core_.publishStatus();
  }
}

void StreamingFeature::sendStreamInfo() {
  if (!current_ || !viewport_ || !core_.sessionStatus().profile) return;
  const CaptureGeometry geometry = captureOutputSize(*current_, *viewport_, scope_);
  core_.send(msg::StreamInfo{current_->id, clampedSourceRect(viewport_->sourceRect), geometry.width, geometry.height,
                             *core_.sessionStatus().profile});
}

asio::awaitable<void> StreamingFeature::displaysChanged() {
  auto list = co_await core_.env().displays->displays();
  if (list == displays_) co_return;
  displays_ = list;
  core_.send(msg::DisplayList{list});
  if (focusRefresh_) {
    const bool focused = co_await focusRefresh_();
    if (focused) co_return;
  }
  if (!current_ || !core_.client()) co_return;
  if (const DisplayInfo* found = findDisplay(list, current_->id)) {
    if (sameGeometry(*found, *current_)) {
      current_ = *found;  // a new name or main flag; capture goes on as it is
      co_return;
    }
    DisplayInfo display = *found;
    Viewport viewport = defaultViewport(display, *core_.client());
    co_await selectDisplay(display, viewport);
    co_return;
  }
  const DisplayInfo* fallback = mainOrFirstDisplay(list);
  if (!fallback) co_return;
  DisplayInfo display = *fallback;
  Viewport viewport = defaultViewport(display, *core_.client());
  co_await selectDisplay(display, viewport);
}

asio::awaitable<void> StreamingFeature::captureSuspended(std::string reason) {
  sessionLog().info("capture suspended: %s", reason.c_str());
  captureHeld_ = true;
  auto source = std::exchange(capture_, nullptr);
  captureStarted_ = false;
  captureStopsTask_ = Task();
  if (source) co_await source->stop();
  core_.sessionStatus().note = std::move(reason);
  core_.publishStatus();
}

asio::awaitable<void> StreamingFeature::resumeCapture(bool restart) {
  captureHeld_ = false;
  if (!core_.client() || !current_ || !viewport_) co_return;
  if (restart && capture_) {
    auto source = std::exchange(capture_, nullptr);
    captureStarted_ = false;
    captureStopsTask_ = Task();
    co_await source->stop();
  }
  displays_ = co_await core_.env().displays->displays();
  core_.send(msg::DisplayList{displays_});
  const DisplayInfo* target = current_ ? findDisplay(displays_, current_->id) : nullptr;
  if (!target) target = mainOrFirstDisplay(displays_);
  if (!target) {
    core_.sessionStatus().note = "No displays available";
    core_.publishStatus();
    co_return;
  }
  core_.sessionStatus().note.reset();
  if (focusRefresh_) {
    const bool focused = co_await focusRefresh_();
    if (focused) {
      forceKeyframe();
      co_return;
    }
  }
  DisplayInfo display = *target;
  Viewport viewport =
      (current_ && viewport_ && current_->id == display.id) ? *viewport_ : defaultViewport(display, *core_.client());
  co_await selectDisplay(display, viewport);
  forceKeyframe();
  sessionLog().info("capture resumed");
}

asio::awaitable<void> StreamingFeature::begin() {
  displays_ = co_await core_.env().displays->displays();
  core_.send(msg::DisplayList{displays_});
  std::weak_ptr<StreamingFeature> weak = core_.weakFeature(this);
  if (core_.env().displays)
    tasks_.push_back(core_.spawnTask(followDisplayChanges(weak, core_.env().displays->changes())));
  tasks_.push_back(core_.spawnTask(reportStatsEvery(weak, core_.env().clock, Clock::seconds(core_.env().statsInterval),
                                                    &StreamingFeature::reportStats)));
  const DisplayInfo* chosen = mainOrFirstDisplay(displays_);
  if (!chosen) {
    core_.sessionStatus().note = "No displays available";
    core_.publishStatus();
    co_return;
  }
  co_await selectDisplay(chosen->id, std::nullopt);
}

asio::awaitable<void> StreamingFeature::stop() {
  tasks_.clear();  // dropping a task cancels it
  if (auto pipeline = std::exchange(pipeline_, nullptr)) pipeline->stop();
  captureStopsTask_ = Task();
  auto capture = std::exchange(capture_, nullptr);
  captureStarted_ = false;
  if (capture) {
    try {
      co_await capture->stop();
    } catch (const std::exception&) {
      // Stopped or not, the source is dropped; the rest of the teardown must still happen.
    }
  }
}

void StreamingFeature::reportStats() {
  if (!sink_) return;
  SessionStatus& status = core_.sessionStatus();
  const VideoSink::Stats stats = sink_->stats();
  const double now = core_.uptime();
  if (lastStats_ && lastStats_->time < now) {
    const double elapsed = now - lastStats_->time;
    status.fps = static_cast<double>(stats.framesSent - lastStats_->frames) / elapsed;
    status.bitrateMbps = static_cast<double>(stats.bytesSent - lastStats_->bytes) * 8 / elapsed / 1'000'000;
  }
  lastStats_ = StatsMark{now, stats.framesSent, stats.bytesSent};
  if (status.fps > 0) {
    sessionLog().info("sending %.1f fps %.1f Mbps dropped=%ld encodeLatency=%.1fms", status.fps, status.bitrateMbps,
                      static_cast<long>(stats.framesDropped), stats.lastLatencyMs.value_or(0));
  }
  status.framesSent = stats.framesSent;
  status.framesDropped = stats.framesDropped;
  status.encodeLatencyMs = stats.lastLatencyMs;
  core_.publishStatus();
}

}  // namespace brindlet::host
