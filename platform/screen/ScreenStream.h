#pragma once
// A capture stream of one display of the X screen: the whole display, a rectangle of it,
// or only the windows of some processes on it, scaled to the configured size, delivered as
// B,G,R,X pixel buffers. The stream grabs through MIT-SHM and only when DAMAGE reports a
// change inside the captured rectangle, so a still screen delivers nothing. Samples and the
// stop notice are delivered on the stream's own capture thread.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/screen/ShareableContent.h"
#include "platform/video/PixelBuffer.h"

namespace brindlet::platform {

// The clock of presentation times (CLOCK_MONOTONIC, ns).
uint64_t hostTimeNowNs();

struct ContentFilter {
  uint32_t displayID = 0;
  // Empty: everything on the display. Otherwise only the windows of these processes; the
  // rest of the picture is black (where another window covers them too).
  std::vector<int32_t> includedProcessIDs;
  bool onlyIncludedApplications = false;

  static ContentFilter display(uint32_t id) { return ContentFilter{id, {}, false}; }
  static ContentFilter including(uint32_t id, std::vector<int32_t> pids) {
    return ContentFilter{id, std::move(pids), true};
  }
};

struct StreamConfiguration {
  int width = 0, height = 0;             // output pixels; 0: the source rectangle's size
  std::optional<ScreenRect> sourceRect;  // display-local points; none: the whole display
  int64_t minimumFrameIntervalNs = 1'000'000'000 / 60;
  int queueDepth = 3;
  bool showsCursor = false;  // the X grab never contains the cursor
};

struct ScreenSample {
  PixelBufferRef pixelBuffer;
  uint64_t presentationTimeNs = 0;  // CLOCK_MONOTONIC when the picture was read
};

class ScreenStream {
 public:
  using SampleHandler = std::function<void(const ScreenSample&)>;
  using StopHandler = std::function<void(const std::string& error)>;

  ScreenStream(ContentFilter filter, StreamConfiguration configuration, SampleHandler onSample, StopHandler onStop,
               std::string displayName = {});
  ~ScreenStream();
  ScreenStream(const ScreenStream&) = delete;
  ScreenStream& operator=(const ScreenStream&) = delete;

  // Opens the stream's connection and starts its thread; the first picture follows at once.
  // Throws ScreenError (display not found, extension missing, server unreachable).
  void startCapture();
  // Each returns once the capture thread uses the new settings, with the time (CLOCK_MONOTONIC
  // ns) from which they apply: every sample with a presentation time at or after it shows
  // them, every earlier one the former settings. A change delivers a fresh picture.
  // Throw ScreenError and keep the former settings when the new ones cannot be used.
  // `onApplied`, when given, runs on the capture thread with that time before any sample with
  // the new settings is delivered.
  uint64_t updateConfiguration(const StreamConfiguration& configuration,
                               std::function<void(uint64_t appliedAt)> onApplied = nullptr);
  uint64_t updateContentFilter(const ContentFilter& filter);
  // Stops the thread; no sample is delivered after it returns (unless called from a handler).
  void stopCapture();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace brindlet::platform
