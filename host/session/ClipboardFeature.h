#pragma once

// The clipboard shared with the device, both ways: text the device copied goes on this
// computer's clipboard, and what is copied here later goes to the device as text. What was on
// the clipboard when the session started is never sent (the mark is taken then). Without a
// pasteboard in the environment the clipboard is not shared.

#include <cstddef>

#include "host/control/ChangeCountBox.h"
#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;

class ClipboardFeature {
 public:
  // The most text one clipboard message carries (its string's length field).
  static constexpr std::size_t maxTextBytes = 65535;

  explicit ClipboardFeature(SessionCore& core) : core_(core) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onClipboardText(const msg::ClipboardText& text);

  // At the session's start: the clipboard as it is now counts as seen.
  void markCurrent();
  // After the hello: polls the clipboard every `clipboardPollInterval`.
  void start();
  // At the session's end.
  void stop() { pollTask_ = Task(); }
  // One poll: sends the clipboard's text when it changed since the mark.
  asio::awaitable<void> poll();

  // The change count last seen or produced by the session (also by placing received files).
  ChangeCountBox& mark() { return mark_; }

 private:
  SessionCore& core_;
  ChangeCountBox mark_;
  Task pollTask_;
};

}  // namespace brindlet::host
