#pragma once

// Small pictures of the displays the device is not watching, for its display picker: while
// the device asks for them (setThumbnails), one JPEG of each such display every
// `thumbnailInterval`.

#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class ThumbnailsFeature {
 public:
  // The width of a display thumbnail, in pixels.
  static constexpr int thumbnailWidth = 480;

  explicit ThumbnailsFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onSetThumbnails(const msg::SetThumbnails& message);

  void setThumbnails(bool enabled);
  // One round: a thumbnail of every display but the streamed one.
  asio::awaitable<void> sendRound();
  // At the session's end.
  void stop() { task_ = Task(); }

 private:
  SessionCore& core_;
  Task task_;
};

}  // namespace brindlet::host
