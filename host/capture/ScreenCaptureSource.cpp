#include "host/capture/ScreenCaptureSource.h"

#include <algorithm>

#include "host/capture/CaptureGeometry.h"
#include "platform/log/Log.h"
#include "platform/video/MediaClock.h"

namespace brindlet::host {

const std::set<std::string>& captureCompanionBundleIDs() {
  static const std::set<std::string> ids = {"com.apple.Spotlight",     "com.apple.notificationcenterui",
                                            "com.apple.controlcenter", "com.apple.UserNotificationCenter",
                                            "com.apple.SecurityAgent", "com.apple.coreservices.uiagent",
                                            "com.apple.loginwindow",   "com.apple.WindowServer"};
  return ids;
}

// MARK: StreamOutput

void StreamOutput::requestRegion(const NormalizedRect& rect, uint64_t at) {
  std::lock_guard guard(lock_);
  if (tagger_.segments.empty()) tagger_.segments.push_back({sourceRect_, 0});
  tagger_.pending.push_back({rect, at});
  sourceRect_ = rect;
}

void StreamOutput::applied(uint64_t at) {
  std::lock_guard guard(lock_);
  tagger_.applied(at);
}

void StreamOutput::cancelLatest() {
  std::lock_guard guard(lock_);
  if (auto rect = tagger_.cancelLatest()) sourceRect_ = *rect;
}

RegionTagger StreamOutput::tagger() const {
  std::lock_guard guard(lock_);
  return tagger_;
}

void StreamOutput::didOutputSample(const platform::ScreenSample& sample) {
  if (!sample.pixelBuffer) return;
  const uint64_t nowRaw = platform::monotonicRawNowNs();
  std::optional<uint64_t> tagTime;
  uint64_t captureTime = nowRaw;
  if (sample.presentationTimeNs != 0) {
    const uint64_t age = platform::hostTimeNowNs() - sample.presentationTimeNs;  // a future stamp wraps: too old
    if (age < 1'000'000'000) {
      captureTime = nowRaw - age;
      tagTime = sample.presentationTimeNs;
    }
  }
  std::optional<NormalizedRect> tag;
  {
    std::lock_guard guard(lock_);
    tag = tagger_.tag(tagTime, sourceRect_);
  }
  if (!tag) return;
  onFrame_(CapturedFrame{sample.pixelBuffer, displayID_, *tag, captureTime});
}

// MARK: ScreenCaptureSource

std::shared_ptr<ScreenCaptureSource> ScreenCaptureSource::make(const Executor& executor, std::string displayName) {
  return std::shared_ptr<ScreenCaptureSource>(new ScreenCaptureSource(executor, std::move(displayName)));
}

ScreenCaptureSource::~ScreenCaptureSource() {
  stopNow();
  stops_.finish();
}

asio::awaitable<void> ScreenCaptureSource::setScope(CaptureScope scope) {
  auto self = shared_from_this();
  auto op = self->setScopeIsolated(std::move(scope));
  co_await isolated(std::move(op));
}

asio::awaitable<CaptureScope> ScreenCaptureSource::activeScope() {
  auto self = shared_from_this();
  auto op = self->activeScopeIsolated();
  co_return co_await isolated(std::move(op));
}

asio::awaitable<void> ScreenCaptureSource::start(DisplayInfo display, Viewport viewport, FrameHandler onFrame) {
  auto self = shared_from_this();
  auto op = self->startIsolated(std::move(display), std::move(viewport), std::move(onFrame));
  co_await isolated(std::move(op));
}

asio::awaitable<void> ScreenCaptureSource::update(DisplayInfo display, Viewport viewport) {
  auto self = shared_from_this();
  auto op = self->updateIsolated(std::move(display), std::move(viewport));
  co_await isolated(std::move(op));
}

asio::awaitable<void> ScreenCaptureSource::stop() {
  auto self = shared_from_this();
  auto op = self->stopIsolated();
  co_await isolated(std::move(op));
}

asio::awaitable<void> ScreenCaptureSource::setScopeIsolated(CaptureScope scope) {
  scope_ = std::move(scope);
  co_return;
}

asio::awaitable<CaptureScope> ScreenCaptureSource::activeScopeIsolated() { co_return activeScope_; }

asio::awaitable<void> ScreenCaptureSource::stopIsolated() {
  stopNow();
  co_return;
}

void ScreenCaptureSource::stopNow() {
  if (stream_) stream_->stopCapture();  // its errors are of no interest here
  stream_.reset();
  output_.reset();
  currentDisplayID_.reset();
}

platform::ContentFilter ScreenCaptureSource::contentFilter(const platform::ShareableContent& content,
                                                           uint32_t displayID) const {
  const auto* app = scope_.asApp();
  if (!app) return platform::ContentFilter::display(displayID);
  std::vector<int32_t> kept;
  bool found = false;
  for (const auto& a : content.applications) {
    if (a.processID == app->pid) {
      kept.push_back(a.processID);
      found = true;
    } else if (captureCompanionBundleIDs().count(a.bundleIdentifier)) {
      kept.push_back(a.processID);
    }
  }
  if (!found) throw CaptureError::appNotFound(app->pid);
  return platform::ContentFilter::including(displayID, std::move(kept));
}

platform::StreamConfiguration ScreenCaptureSource::makeStreamConfiguration(const DisplayInfo& display,
                                                                           const Viewport& viewport,
                                                                           const CaptureScope& scope) {
  CaptureGeometry geometry = captureOutputSize(display, viewport, scope);
  platform::StreamConfiguration c;
  c.width = static_cast<int>(geometry.width);
  c.height = static_cast<int>(geometry.height);
  c.sourceRect = platform::ScreenRect{geometry.sourceRect.x, geometry.sourceRect.y, geometry.sourceRect.width,
                                      geometry.sourceRect.height};
  c.minimumFrameIntervalNs = 1'000'000'000 / 60;
  c.queueDepth = 3;
  c.showsCursor = false;  // the cursor travels separately
  return c;
}

asio::awaitable<void> ScreenCaptureSource::startIsolated(DisplayInfo display, Viewport viewport, FrameHandler onFrame) {
  stopNow();
  platform::ShareableContent content = platform::ShareableContent::current(true, displayName_);
  if (std::none_of(content.displays.begin(), content.displays.end(),
                   [&](const platform::ScreenDisplay& d) { return d.id == display.id; })) {
    throw CaptureError::displayNotFound(display.id);
  }
  platform::ContentFilter filter = contentFilter(content, display.id);
  activeScope_ = scope_;
  platform::StreamConfiguration configuration = makeStreamConfiguration(display, viewport, scope_);
  auto output = std::make_shared<StreamOutput>(std::move(onFrame), display.id, viewport.sourceRect);
  AsyncStream<CaptureStop> stops = stops_;
  const uint32_t displayID = display.id;
  auto stream = std::make_unique<platform::ScreenStream>(
      filter, configuration, [output](const platform::ScreenSample& sample) { output->didOutputSample(sample); },
      [stops, displayID](const std::string& error) {
        platform::systemLog("Nolu capture stopped: %s", error.c_str());
        stops.yield(CaptureStop{displayID, error});
      },
      displayName_);
  stream->startCapture();
  stream_ = std::move(stream);
  output_ = std::move(output);
  currentDisplayID_ = display.id;
  co_return;
}

asio::awaitable<void> ScreenCaptureSource::updateIsolated(DisplayInfo display, Viewport viewport) {
  if (!stream_ || !output_) throw CaptureError::notStarted();
  if (!currentDisplayID_ || *currentDisplayID_ != display.id) {
    FrameHandler onFrame = output_->onFrame();
    co_await startIsolated(std::move(display), std::move(viewport), std::move(onFrame));
    co_return;
  }
  if (!scope_.sameKind(activeScope_)) {
    platform::ShareableContent content = platform::ShareableContent::current(true, displayName_);
    if (std::none_of(content.displays.begin(), content.displays.end(),
                     [&](const platform::ScreenDisplay& d) { return d.id == *currentDisplayID_; })) {
      throw CaptureError::displayNotFound(*currentDisplayID_);
    }
    stream_->updateContentFilter(contentFilter(content, *currentDisplayID_));
    activeScope_ = scope_;
  }
  output_->requestRegion(viewport.sourceRect, platform::hostTimeNowNs());
  try {
    // The change is confirmed on the capture thread, with the time from which the new
    // settings show, before the first frame that shows them reaches the output.
    std::shared_ptr<StreamOutput> output = output_;
    stream_->updateConfiguration(makeStreamConfiguration(display, viewport, scope_),
                                 [output](uint64_t appliedAt) { output->applied(appliedAt); });
  } catch (...) {
    output_->cancelLatest();
    throw;
  }
}

}  // namespace brindlet::host
