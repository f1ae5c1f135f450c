#pragma once
// The capture source a session holds: what is captured (scope), on which display and at which
// viewport, delivering frames to a handler; and the notice that capture stopped by itself.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include <asio/awaitable.hpp>

#include "host/capture/CaptureScope.h"
#include "host/capture/CapturedFrame.h"
#include "kit/protocol/MediaRecords.h"
#include "kit/support/AsyncStream.h"

namespace brindlet::host {

// A failure of capture with its description for the user.
class CaptureError : public std::runtime_error {
 public:
  enum class Kind { displayNotFound, appNotFound, notStarted };

  static CaptureError displayNotFound(uint32_t id) {
    return CaptureError(Kind::displayNotFound, "Display " + std::to_string(id) + " is not available for capture.");
  }
  static CaptureError appNotFound(int32_t) {
    return CaptureError(Kind::appNotFound, "The app has no capturable windows.");
  }
  static CaptureError notStarted() { return CaptureError(Kind::notStarted, "Capture has not been started."); }

  Kind kind() const { return kind_; }

 private:
  CaptureError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}
  Kind kind_;
};

// Capture that ended without being asked to (the display went away, the server was lost).
struct CaptureStop {
  uint32_t displayID = 0;
  std::string description;
};

using FrameHandler = std::function<void(const CapturedFrame&)>;

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;
  virtual asio::awaitable<void> setScope(CaptureScope scope) = 0;
  // Throws CaptureError, or the platform's error as it is.
  virtual asio::awaitable<void> start(DisplayInfo display, Viewport viewport, FrameHandler onFrame) = 0;
  virtual asio::awaitable<void> update(DisplayInfo display, Viewport viewport) = 0;
  virtual asio::awaitable<void> stop() = 0;
  // One value each time running capture stops by itself; the owner then treats capture as not
  // started (and reports it) until the next start. Ends when the source goes away.
  virtual AsyncStream<CaptureStop> stops() = 0;
};

}  // namespace brindlet::host
