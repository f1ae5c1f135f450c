#pragma once

// The keyboard focus of this computer, told to the device: whether the focused element takes
// text, the app it belongs to and its kind, each time one of those changes (a field that only
// moves is no change), and whether the change followed a click the device itself made inside
// the element just before.

#include "host/control/TextFocusSource.h"
#include "host/session/SessionCore.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class TextFocusFeature {
 public:
  // How long after a click, and how far outside the element, a focus counts as made by it.
  static constexpr double byClickWindow = 1.5;
  static constexpr double byClickMargin = 4;

  explicit TextFocusFeature(SessionCore& core) : core_(core) {}
  ~TextFocusFeature();

  // Starts observing (after the display list follows an accepted hello); no effect while
  // observing or without a text-focus source.
  void start();
  // Stops observing (the session's end). The last focus sent is kept for a later start.
  void stop();

  // One observation.
  void report(const TextFocus& focus);

 private:
  static asio::awaitable<void> consume(std::weak_ptr<TextFocusFeature> feature, AsyncStream<TextFocus> focuses);

  SessionCore& core_;
  TextFocusSource::Stop textFocusStop_;
  Task textFocusTask_;
  TextFocus lastTextFocus_;
};

}  // namespace brindlet::host
