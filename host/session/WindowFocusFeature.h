#pragma once

// Windows and focus: streaming one app window instead of a display (focus mode), fitting it
// to the device's picture and putting it back, following the user's own focus to other
// windows and popups, going back to earlier windows, and returning to the display.
//
// Every change of focus mode ends with one streamMode message built from the session's state.
// A focus request that waits (for the window to come on screen, for a resize, for capture)
// carries a generation: when an unfocus or a newer focus came meanwhile it ends without
// touching the session.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "base/Geometry.h"
#include "host/capture/CaptureScope.h"
#include "host/capture/WindowCatalog.h"
#include "host/control/AppWindowRef.h"
#include "host/control/FocusModel.h"
#include "host/session/SessionCore.h"
#include "kit/protocol/Message.h"
#include "kit/support/Task.h"
#include "kit/support/UUID.h"

#include <asio/awaitable.hpp>

namespace brindlet::host {

class SessionDispatch;
class StreamingFeature;

// Focus mode: the window streamed, where it is and what is captured of it.
struct FocusSession {
  std::int32_t pid = 0;
  std::uint32_t windowID = 0;
  std::string title;
  bool wantsFit = false;
  DisplayInfo display;
  Rect windowFrame;                               // global points, as last seen
  Rect base;                                      // the captured region, local to `display`
  std::optional<std::uint32_t> desktopDisplayID;  // the display to return to
  bool fitApplied = false;
  std::string appName;
  std::optional<ObservedWindow> popup;  // a dialog or overlay shown with the window

  bool operator==(const FocusSession&) const = default;
};

// Why a window is focused.
enum class FocusOrigin { device, follow, back, closed };

// A window that fit mode resized: its app, how it was before the first fit, and its entry in
// the process-wide restore registry.
struct FittedWindow {
  std::int32_t pid = 0;
  AppWindowRef original;
  UUID registryID;
};

// What a fit did.
struct FitResult {
  bool applied = false;
  std::optional<std::string> notice;
  std::optional<Rect> frame;
};

class WindowFocusFeature {
 public:
  WindowFocusFeature(SessionCore& core, StreamingFeature& streaming) : core_(core), streaming_(streaming) {}

  static void registerHandlers(SessionDispatch& d);
  asio::awaitable<void> onFocus(const msg::Focus& message);
  asio::awaitable<void> onUnfocus(const msg::Unfocus& message);
  asio::awaitable<void> onFocusBack(const msg::FocusBack& message);

  asio::awaitable<void> focusWindow(std::int32_t pid, std::uint32_t windowID, bool fit, bool moveCursor,
                                    FocusOrigin origin, std::optional<std::string> appName);
  asio::awaitable<void> unfocus(std::optional<std::string> notice);
  // Re-reads the focused window after the displays changed or capture resumed; false (and
  // nothing done) outside focus mode.
  asio::awaitable<bool> refreshAfterDisplayChange();
  // At the session's end: no task runs, focus mode ends unsaid, every fitted window is put
  // back and the display is captured whole.
  asio::awaitable<void> stopApps();

  // The device's last choices of a focus request, for the windows a launch shows.
  bool moveCursorOnSwitch() const { return moveCursorOnSwitch_; }
  bool fitOnSwitch() const { return fitOnSwitch_; }
  // Puts the pointer at the frame's centre unless it is inside already.
  void moveCursorInto(const Rect& frame);

  // Focus mode, nothing in desktop mode.
  const std::optional<FocusSession>& focus() const { return focus_; }

 private:
  // How the last focus request ended.
  enum class FocusOutcome { focused, failed, noDisplay, superseded, ignored };

  // True (and the outcome said) when a request of `generation` was overtaken.
  bool superseded(std::uint64_t generation);
  void startFocusFollowing();
  static asio::awaitable<void> followLoop(std::weak_ptr<WindowFocusFeature> weak, std::uint64_t generation);
  asio::awaitable<void> followMacFocus();
  asio::awaitable<void> refreshFocusCapture(bool force, bool resetViewport);
  struct CapturePlan {
    DisplayInfo display;
    Rect base;
    CaptureScope scope;
  };
  CapturePlan focusCapturePlan(const Rect& frame, const FocusSession& session) const;
  asio::awaitable<void> focusedWindowClosed(FocusSession session);
  asio::awaitable<void> updatePopup(std::optional<ObservedWindow> popup);
  asio::awaitable<void> focusFailed(const std::optional<FocusSession>& previous, const std::string& reason);
  asio::awaitable<FitResult> fitWindow(std::int32_t pid, const AppWindowRef& window, const WindowRecord& record);
  asio::awaitable<void> restoreFittedWindow(std::uint32_t windowID);
  void removeFitted(std::uint32_t windowID);
  void sendStreamMode(std::optional<std::string> notice, std::optional<FocusFollowInfo> follow);
  std::string appName(std::int32_t pid) const;
  std::pair<std::uint32_t, std::uint32_t> outputSize() const;
  asio::awaitable<void> selectDisplay(DisplayInfo display, Viewport viewport);

  SessionCore& core_;
  StreamingFeature& streaming_;
  std::optional<FocusSession> focus_;
  FocusBackStack backStack_;
  FocusDebouncer debouncer_;
  double followIgnoreUntil_ = 0;
  bool moveCursorOnSwitch_ = true;
  bool fitOnSwitch_ = false;
  std::map<std::uint32_t, FittedWindow> fitted_;
  // Every focus, unfocus and stop moves it on: a request that finds it moved was superseded.
  std::uint64_t generation_ = 0;
  // A follow switch that found no display under its window: not tried again until the
  // user's focus moves elsewhere.
  std::optional<FollowTarget::Key> failedSwitch_;
  FocusOutcome lastOutcome_ = FocusOutcome::ignored;
  Task focusTask_;  // the follow loop
};

}  // namespace brindlet::host
