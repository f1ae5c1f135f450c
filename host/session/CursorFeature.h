#pragma once

// The mouse cursor for the device, which draws it itself (the video does not show it): where
// it is, as fractions of the display it is on (cursorState), whether it shows, and what it
// looks like: each image once per session (cursorShape), afterwards only its shape ID. Two
// tasks poll the position and the shape; the pointer handler reports after each event it
// applies, so the device sees the result of its own movement at once.

#include <cstdint>
#include <optional>
#include <unordered_set>

#include "host/capture/CursorShapeRegistry.h"
#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class CursorFeature {
 public:
  explicit CursorFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onRequestCursorShape(const msg::RequestCursorShape& message);

  // After the hello: the position and shape tasks. At the session's end: stop().
  void start();
  void stop();

  // A pointer event with sequence number `seq` has been applied.
  void pointerApplied(std::uint32_t seq) { lastAppliedSeq_ = seq; }
  // Sends cursorState when the cursor changed, at most one per `minInterval` seconds (0: no
  // limit), preceded by the shape it names when the device does not have it yet.
  void sendCursorIfNeeded(double minInterval);
  // Sends the shape unless it was sent before (always with `force`); nothing for an unknown ID.
  void sendCursorShape(std::uint32_t shapeID, bool force);
  // One poll of the cursor's position; one of its image.
  asio::awaitable<void> pollPosition();
  asio::awaitable<void> pollShape();

 private:
  SessionCore& core_;
  std::uint32_t lastAppliedSeq_ = 0;
  std::optional<msg::CursorState> cursorSent_;  // compared as a whole to send only changes
  double lastCursorSendAt_ = 0;
  CursorShapeRegistry shapes_;
  std::unordered_set<std::uint32_t> sentShapeIDs_;
  std::uint32_t currentShapeID_ = 0;
  bool cursorVisible_ = true;
  std::optional<std::uint64_t> shapeToken_;
  Task positionTask_;
  Task shapeTask_;
};

}  // namespace brindlet::host
