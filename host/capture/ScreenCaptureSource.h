#pragma once
// The production capture source over the screen layer: one stream of one display (a region of
// it, or one app's windows on it), scaled to the size the device asked for, each complete
// frame stamped with its capture time and tagged with the source rectangle it shows.
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "host/capture/CaptureSource.h"
#include "host/capture/RegionTagger.h"
#include "kit/support/Actor.h"
#include "platform/screen/ScreenStream.h"

namespace brindlet::host {

// System agents captured together with any app.
const std::set<std::string>& captureCompanionBundleIDs();

// Receives the stream's frames: keeps the region bookkeeping and hands tagged frames on.
class StreamOutput {
 public:
  StreamOutput(FrameHandler onFrame, uint32_t displayID, NormalizedRect sourceRect)
      : onFrame_(std::move(onFrame)), displayID_(displayID), sourceRect_(sourceRect) {}

  const FrameHandler& onFrame() const { return onFrame_; }
  uint32_t displayID() const { return displayID_; }

  void requestRegion(const NormalizedRect& rect, uint64_t at);
  void applied(uint64_t at);
  void cancelLatest();
  // A sample of the stream (on its capture thread).
  void didOutputSample(const platform::ScreenSample& sample);

  RegionTagger tagger() const;

 private:
  const FrameHandler onFrame_;
  const uint32_t displayID_;
  mutable std::mutex lock_;
  NormalizedRect sourceRect_;
  RegionTagger tagger_;
};

class ScreenCaptureSource final : public CaptureSource,
                                  public Actor,
                                  public std::enable_shared_from_this<ScreenCaptureSource> {
 public:
  // `displayName` names the X server (empty: DISPLAY).
  static std::shared_ptr<ScreenCaptureSource> make(const Executor& executor, std::string displayName = {});
  ~ScreenCaptureSource() override;

  asio::awaitable<void> setScope(CaptureScope scope) override;
  asio::awaitable<void> start(DisplayInfo display, Viewport viewport, FrameHandler onFrame) override;
  asio::awaitable<void> update(DisplayInfo display, Viewport viewport) override;
  asio::awaitable<void> stop() override;
  AsyncStream<CaptureStop> stops() override { return stops_; }

  // The scope asked for and the one the running stream was built for.
  asio::awaitable<CaptureScope> activeScope();

 private:
  ScreenCaptureSource(const Executor& executor, std::string displayName)
      : Actor(executor), displayName_(std::move(displayName)) {}

  asio::awaitable<void> setScopeIsolated(CaptureScope scope);
  asio::awaitable<CaptureScope> activeScopeIsolated();
  asio::awaitable<void> stopIsolated();
  asio::awaitable<void> startIsolated(DisplayInfo display, Viewport viewport, FrameHandler onFrame);
  asio::awaitable<void> updateIsolated(DisplayInfo display, Viewport viewport);
  void stopNow();
  platform::ContentFilter contentFilter(const platform::ShareableContent& content, uint32_t displayID) const;
  static platform::StreamConfiguration makeStreamConfiguration(const DisplayInfo& display, const Viewport& viewport,
                                                               const CaptureScope& scope);

  const std::string displayName_;
  std::unique_ptr<platform::ScreenStream> stream_;
  std::shared_ptr<StreamOutput> output_;
  std::optional<uint32_t> currentDisplayID_;
  CaptureScope scope_;
  CaptureScope activeScope_;
  AsyncStream<CaptureStop> stops_;
};

}  // namespace brindlet::host
