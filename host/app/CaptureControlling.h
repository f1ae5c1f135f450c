#pragma once

// How sleep, display sleep and lock handling reaches the current session: the application
// model implements it, and each operation does nothing while no session is current. Called
// on the application's main strand.
//
//   co_await capture.suspendCapture("Mac is asleep");
//   co_await capture.publish(HostState::asleep, "Mac is asleep");

#include <optional>
#include <string>

#include "kit/protocol/MediaRecords.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class CaptureControlling {
 public:
  virtual ~CaptureControlling() = default;

  // Holds the current session's capture, with `reason` as its note.
  virtual asio::awaitable<void> suspendCapture(std::string reason) = 0;
  // Resumes it, restarting a capture source that still runs.
  virtual asio::awaitable<void> resumeCapture() = 0;
  // Sets (or, with nothing, clears) the current session's note.
  virtual asio::awaitable<void> hostNote(std::optional<std::string> note) = 0;
  // Sets the state sleep, wake and lock made of the host; the device is told when it changed.
  virtual asio::awaitable<void> publish(HostState state, std::optional<std::string> note) = 0;
};

}  // namespace brindlet::host
