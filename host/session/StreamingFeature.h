#pragma once

// Video for the session: the pipeline made once the profile is agreed, the display and
// viewport the device asks for, the capture source behind them, switching video off and on,
// the stream's geometry (streamInfo), the device's feedback and the stream's statistics, and
// what happens on this computer: display changes, capture held and resumed.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/capture/BitrateController.h"
#include "host/capture/CaptureScope.h"
#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class CaptureSource;
class SessionDispatch;
class VideoPipeline;
class VideoSink;
struct CaptureStop;

class StreamingFeature {
 public:
  explicit StreamingFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onSelectDisplay(const msg::SelectDisplay& message);
  asio::awaitable<void> onViewport(const msg::Viewport& message);
  asio::awaitable<void> onSetVideoEnabled(const msg::SetVideoEnabled& message);
  asio::awaitable<void> onFeedback(const msg::Feedback& message);

  // Before a hello is accepted only the video switch is noted, for the hello to honour.
  void noteVideoEnabled(bool enabled) { videoEnabled_ = enabled; }
  bool videoEnabled() const { return videoEnabled_; }
  std::int64_t targetBitrate() const { return bitrate_.bitrate; }
  const std::vector<DisplayInfo>& displays() const { return displays_; }
  const std::optional<DisplayInfo>& currentDisplay() const { return current_; }

  // Once the profile is agreed: the pipeline that encodes and sends the frames.
  void startPipeline(CodecProfile profile);
  // After the hello's answers: sends the display list, follows its changes, reports the
  // statistics and streams the main display.
  asio::awaitable<void> begin();
  // At the session's end: the tasks, the pipeline and the capture stop.
  asio::awaitable<void> stop();

  // For streaming one window instead of a display: what is captured on the display the next
  // selection shows, the display and viewport shown, showing one with its viewport, a key
  // frame. While one window is streamed, a change of the displays and a resumption of capture
  // go to `refresh`, which answers whether it took them (true while a window is streamed).
  using FocusRefresh = std::function<asio::awaitable<bool>()>;
  void setScope(CaptureScope scope) { scope_ = scope; }
  const CaptureScope& scope() const { return scope_; }
  const std::optional<DisplayInfo>& current() const { return current_; }
  const std::optional<Viewport>& viewport() const { return viewport_; }
  asio::awaitable<void> show(DisplayInfo display, Viewport viewport) { return selectDisplay(display, viewport); }
  void requestKeyframe() { forceKeyframe(); }
  void setFocusRefresh(FocusRefresh refresh) { focusRefresh_ = std::move(refresh); }

  // What happens on this computer (see HostSession).
  asio::awaitable<void> displaysChanged();
  asio::awaitable<void> captureSuspended(std::string reason);
  asio::awaitable<void> resumeCapture(bool restart);

 private:
  void encoderFellBack(CodecProfile from, CodecProfile to);
  // The encoder could not be made or failed a frame: the note and the device's host status
  // say so until a frame comes out again.
  void encoderFailed(const std::string& text);
  void encoderRecovered();
  asio::awaitable<void> selectDisplay(std::uint32_t displayID, std::optional<Viewport> viewport);
  asio::awaitable<void> selectDisplay(DisplayInfo display, Viewport viewport);
  asio::awaitable<void> setVideoEnabled(bool enabled);
  void sendStreamInfo();
  void forceKeyframe();
  void watchCaptureStops(const std::shared_ptr<CaptureSource>& source);
  void captureStopped(const std::shared_ptr<CaptureSource>& source, const CaptureStop& stop);
  void recordCaptureFailure(const std::string& description);
  void reportStats();

  SessionCore& core_;
  std::vector<DisplayInfo> displays_;  // the display list last sent
  std::optional<DisplayInfo> current_;
  std::optional<Viewport> viewport_;
  std::shared_ptr<CaptureSource> capture_;
  bool captureStarted_ = false;
  bool captureHeld_ = false;
  bool videoEnabled_ = true;
  std::shared_ptr<VideoPipeline> pipeline_;
  std::shared_ptr<VideoSink> sink_;
  CaptureScope scope_;
  BitrateController bitrate_;
  double lastLoggedFeedback_ = 0;
  struct StatsMark {
    double time = 0;
    std::int64_t frames = 0;
    std::int64_t bytes = 0;
  };
  std::optional<StatsMark> lastStats_;
  FocusRefresh focusRefresh_;
  std::optional<std::string> encoderFailure_;  // "Encoder: " and the last failure's text
  Task captureStopsTask_;                      // follows capture_'s stops
  std::vector<Task> tasks_;                    // display changes and statistics
};

}  // namespace brindlet::host
