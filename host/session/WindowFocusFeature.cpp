#include "host/session/WindowFocusFeature.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "host/HostLog.h"
#include "host/capture/CaptureGeometry.h"
#include "host/capture/DisplayManager.h"
#include "host/control/FitRestoreRegistry.h"
#include "host/control/FocusObserving.h"
#include "host/control/InputInjector.h"
#include "host/control/WindowControlling.h"
#include "host/control/WindowTracking.h"
#include "host/session/SessionDispatch.h"
#include "host/session/StreamingFeature.h"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/multiple_exceptions.hpp>

// g++ 12 reports, for some of the coroutines below, a mismatched delete of the coroutine's frame
// that is not there: every frame is allocated and freed by Asio's own pair of operators.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace brindlet::host {

using namespace asio::experimental::awaitable_operators;

namespace {

constexpr const char* unavailableNotice = "That window is no longer available";
constexpr const char* cannotResizeNotice = "Can\u2019t resize this window";
constexpr const char* closedNotice = "The window was closed";
constexpr const char* nothingBackNotice = "Nothing to go back to";

// How long a window that is not on screen yet is waited for: 12 looks, 0.1 s apart.
constexpr int onScreenChecks = 12;
constexpr auto onScreenStep = std::chrono::milliseconds(100);

bool sameID(const std::optional<std::uint32_t>& a, const std::optional<std::uint32_t>& b) { return a == b; }

// Rounds halves away from zero, as the fit's sizes are.
double roundPoints(double value) { return std::round(value); }

// Waits for one notice of `changes` or `span` of `clock`, whichever comes first; false when the
// stream has ended.
asio::awaitable<bool> nextChangeWithin(AsyncStream<WindowEvent>& changes, Clock& clock, Clock::Duration span) {
  auto change = changes.next();
  auto tick = clock.sleep(span);
  try {
    auto result = co_await (std::move(change) || std::move(tick));
    if (result.index() == 0) co_return std::get<0>(result).has_value();
    co_return true;
  } catch (const asio::multiple_exceptions& both) {
    std::rethrow_exception(both.first_exception());
  }
}

}  // namespace

void WindowFocusFeature::registerHandlers(SessionDispatch& d) {
  d.on<&WindowFocusFeature::onFocus>();
  d.on<&WindowFocusFeature::onUnfocus>();
  d.on<&WindowFocusFeature::onFocusBack>();
}

asio::awaitable<void> WindowFocusFeature::onFocus(const msg::Focus& message) {
  fitOnSwitch_ = message.fit;
  moveCursorOnSwitch_ = message.moveCursor;
  std::optional<std::string> noName;
  co_await focusWindow(message.pid, message.windowID, message.fit, message.moveCursor, FocusOrigin::device,
                       std::move(noName));
}

asio::awaitable<void> WindowFocusFeature::onUnfocus(const msg::Unfocus&) {
  std::optional<std::string> noNotice;
  co_await unfocus(std::move(noNotice));
}

asio::awaitable<void> WindowFocusFeature::onFocusBack(const msg::FocusBack&) {
  if (!focus_) co_return;
  while (!backStack_.empty()) {
    BackEntry entry = backStack_.entries.back();
    backStack_.entries.pop_back();
    auto record = core_.env().windowTracker ? core_.env().windowTracker->windowInfo(entry.windowID) : std::nullopt;
    if (record && record->pid == entry.pid && record->isOnScreen) {
      const bool fit = focus_ ? focus_->wantsFit : false;
      co_await focusWindow(entry.pid, entry.windowID, fit, moveCursorOnSwitch_, FocusOrigin::back, entry.appName);
      co_return;
    }
  }
  std::optional<std::string> notice = nothingBackNotice;
  co_await unfocus(std::move(notice));
}

// MARK: Focusing a window

asio::awaitable<void> WindowFocusFeature::focusWindow(std::int32_t pid, std::uint32_t windowID, bool fit,
                                                      bool moveCursor, FocusOrigin origin,
                                                      std::optional<std::string> appNameArgument) {
  lastOutcome_ = FocusOutcome::ignored;
  const HostEnvironment& env = core_.env();
  if (!core_.client() || core_.displays().empty()) co_return;
  const std::uint64_t generation = ++generation_;
  if (origin == FocusOrigin::device) backStack_.clear();
  const std::optional<FocusSession> previous = focus_;
  std::optional<std::uint32_t> returnDisplay;
  if (previous && previous->desktopDisplayID) {
    returnDisplay = previous->desktopDisplayID;
  } else if (streaming_.current()) {
    returnDisplay = streaming_.current()->id;
  }

  // Without a window tracker (no window manager to ask) no window is found.
  auto record = env.windowTracker ? env.windowTracker->windowInfo(windowID) : std::nullopt;
  if (!record || record->pid != pid || !env.windowControl) {
    const std::string reason = "window " + std::to_string(windowID) + " not found";
    co_await focusFailed(previous, reason);
    co_return;
  }
  if (origin != FocusOrigin::follow) {
    env.windowControl->activate(pid);
    env.windowControl->focusWindow(pid, AppWindowRef{record->id, record->title, record->frame});
  }
  if (!record->isOnScreen) {
    bool cameOnScreen = false;
    for (int check = 0; check < onScreenChecks && !cameOnScreen; ++check) {
      co_await env.clock->sleep(onScreenStep);
      if (superseded(generation)) co_return;
      if (auto again = env.windowTracker->windowInfo(windowID); again && again->isOnScreen) {
        record = again;
        cameOnScreen = true;
      }
    }
    if (!cameOnScreen) {
      const std::string reason = "window " + std::to_string(windowID) + " did not come on screen";
      co_await focusFailed(previous, reason);
      co_return;
    }
  }

  Rect frame = record->frame;
  bool fitApplied = false;
  std::optional<std::string> notice;
  if (fit) {
    const AppWindowRef reference{record->id, record->title, record->frame};
    FitResult result = co_await fitWindow(pid, reference, *record);
    if (superseded(generation)) co_return;
    if (result.frame) frame = *result.frame;
    fitApplied = result.applied;
    if (origin != FocusOrigin::follow) notice = result.notice;
  }
  if (moveCursor && frame.width > 0 && frame.height > 0) moveCursorInto(frame);

  auto display = displayForRect(frame, core_.displays());
  if (!display) {
    lastOutcome_ = FocusOutcome::noDisplay;
    // Focus mode goes on with the window it had; this request stopped its following.
    if (focus_) startFocusFollowing();
    co_return;
  }
  const Rect base = displayLocalRect(frame, *display, 8);
  const std::string name = appNameArgument ? *appNameArgument : appName(pid);
  focus_ = FocusSession{pid,  windowID,      record->title, fit,  *display,    frame,
                        base, returnDisplay, fitApplied,    name, std::nullopt};
  streaming_.setScope(CaptureScope::app(pid, base));
  backStack_.remove(windowID);
  debouncer_.reset();
  failedSwitch_.reset();
  followIgnoreUntil_ = core_.uptime() + env.followGrace;
  std::optional<FocusFollowInfo> follow;
  if (origin == FocusOrigin::follow || (origin == FocusOrigin::closed && !backStack_.empty())) {
    follow = FocusFollowInfo{FocusFollowInfo::Kind::window, name, record->title, !backStack_.empty()};
  }
  const auto size = outputSize();
  Viewport viewport{display->id, NormalizedRect::full, size.first, size.second};
  sessionLog().info("focus pid=%d window=%u fit=%d on display %u", pid, windowID, fitApplied ? 1 : 0, display->id);
  co_await selectDisplay(*display, viewport);
  if (superseded(generation)) co_return;
  streaming_.requestKeyframe();
  sendStreamMode(notice, follow);
  lastOutcome_ = FocusOutcome::focused;
  startFocusFollowing();
}

bool WindowFocusFeature::superseded(std::uint64_t generation) {
  if (generation == generation_) return false;
  lastOutcome_ = FocusOutcome::superseded;
  return true;
}

asio::awaitable<void> WindowFocusFeature::focusFailed(const std::optional<FocusSession>& previous,
                                                      const std::string& reason) {
  lastOutcome_ = FocusOutcome::failed;
  sessionLog().error("focus: %s", reason.c_str());
  if (!previous) {
    sendStreamMode(unavailableNotice, std::nullopt);
    co_return;
  }
  std::optional<std::string> notice = unavailableNotice;
  co_await unfocus(std::move(notice));
}

void WindowFocusFeature::sendStreamMode(std::optional<std::string> notice, std::optional<FocusFollowInfo> follow) {
  StreamModeInfo info;
  info.notice = std::move(notice);
  if (!focus_) {
    info.mode = StreamMode::desktop();
    info.surface = NormalizedRect::full;
  } else {
    info.mode = StreamMode::focus(focus_->pid, focus_->windowID);
    info.fitApplied = focus_->fitApplied;
    info.surface = normalizedRect(focus_->base, focus_->display);
    if (follow) {
      info.follow = std::move(follow);
    } else if (focus_->popup) {
      info.follow = FocusFollowInfo{FocusFollowInfo::Kind::popup, focus_->popup->appName, focus_->popup->title, false};
    }
  }
  Message message = msg::StreamMode{std::move(info)};
  core_.send(message);
}

std::string WindowFocusFeature::appName(std::int32_t pid) const {
  if (!core_.env().windowTracker) return {};
  for (const auto& w : core_.env().windowTracker->windows(pid)) {
    if (!w.ownerName.empty()) return w.ownerName;
  }
  return {};
}

std::pair<std::uint32_t, std::uint32_t> WindowFocusFeature::outputSize() const {
  if (const auto& viewport = streaming_.viewport()) return {viewport->outputWidth, viewport->outputHeight};
  if (const auto& client = core_.client()) return {client->screenPixelWidth, client->screenPixelHeight};
  return {1878, 1222};
}

void WindowFocusFeature::moveCursorInto(const Rect& frame) {
  const auto& injector = core_.env().injector;
  if (!injector) return;
  auto position = injector->resyncCursor(core_.uptime());
  if (position && frame.contains(*position)) return;
  injector->warp(Point{frame.minX() + std::abs(frame.width) / 2, frame.minY() + std::abs(frame.height) / 2});
}

asio::awaitable<void> WindowFocusFeature::selectDisplay(DisplayInfo display, Viewport viewport) {
  co_await streaming_.show(std::move(display), viewport);
}

// MARK: Fitting and restoring

asio::awaitable<FitResult> WindowFocusFeature::fitWindow(std::int32_t pid, const AppWindowRef& window,
                                                         const WindowRecord& record) {
  const HostEnvironment& env = core_.env();
  auto display = displayForRect(record.frame, core_.displays());
  if (!display) co_return FitResult{false, cannotResizeNotice, std::nullopt};
  auto visible = co_await env.windowTracker->visibleFrame(display->id);
  const Rect area = visible ? *visible : display->frame.rect();
  const auto size = outputSize();
  const std::uint32_t ow = size.first, oh = size.second;
  double w = 320, h = 240;
  if (ow != 0 && oh != 0) {
    const double scale = std::max(0.5, display->pixelWidth / std::max(1.0, static_cast<double>(display->frame.width)));
    const double wPts = ow / scale, hPts = oh / scale;
    const double aspect = static_cast<double>(ow) / oh;
    const double k = std::min({1.0, area.width / wPts, area.height / hPts});
    w = wPts * k;
    h = hPts * k;
    if (w < 320) {
      w = 320;
      h = 320 / aspect;
    }
    if (h < 240) {
      h = 240;
      w = 240 * aspect;
    }
    w = roundPoints(w);
    h = roundPoints(h);
  }
  const Rect target = clampedFrame(record.frame, w, h, area);
  auto applied = co_await env.windowControl->setFrame(target, pid, window);
  if (!applied) {
    sessionLog().error("fit: Accessibility refused to resize window %u", window.id);
    co_return FitResult{false, cannotResizeNotice, std::nullopt};
  }
  AppWindowRef original = window;
  if (auto existing = fitted_.find(window.id); existing != fitted_.end()) {
    original = existing->second.original;
    if (env.fitRestore) env.fitRestore->remove(existing->second.registryID);
  }
  const UUID id = UUID::random();
  if (env.fitRestore) {
    env.fitRestore->add(
        id, [control = env.windowControl, pid, fittedRef = AppWindowRef{window.id, window.title, *applied}, original] {
          control->requestFrame(original.frame, pid, fittedRef);
        });
  }
  fitted_[window.id] = FittedWindow{pid, original, id};
  co_return FitResult{true, std::nullopt, *applied};
}

asio::awaitable<void> WindowFocusFeature::restoreFittedWindow(std::uint32_t windowID) {
  auto found = fitted_.find(windowID);
  if (found == fitted_.end()) co_return;
  const FittedWindow entry = found->second;
  fitted_.erase(found);
  const HostEnvironment& env = core_.env();
  if (env.fitRestore) env.fitRestore->remove(entry.registryID);
  auto now = env.windowTracker->windowInfo(windowID);
  if (!now) co_return;
  AppWindowRef reference{entry.original.id, now->title, now->frame};
  auto result = co_await env.windowControl->setFrame(entry.original.frame, entry.pid, std::move(reference));
  if (!result) sessionLog().error("fit: could not restore window %u", windowID);
}

void WindowFocusFeature::removeFitted(std::uint32_t windowID) {
  auto found = fitted_.find(windowID);
  if (found == fitted_.end()) return;
  if (core_.env().fitRestore) core_.env().fitRestore->remove(found->second.registryID);
  fitted_.erase(found);
}

// MARK: Leaving focus mode

asio::awaitable<void> WindowFocusFeature::unfocus(std::optional<std::string> notice) {
  // A focus still on its way is superseded even when focus mode has not begun yet.
  ++generation_;
  if (!focus_) co_return;
  focusTask_ = Task();
  const FocusSession old = *focus_;
  focus_.reset();
  backStack_.clear();
  debouncer_.reset();
  failedSwitch_.reset();
  streaming_.setScope(CaptureScope::display());
  const auto& client = core_.client();
  if (!client) co_return;
  const auto& displays = core_.displays();
  const DisplayInfo* display = old.desktopDisplayID ? findDisplay(displays, *old.desktopDisplayID) : nullptr;
  if (!display && streaming_.current()) display = findDisplay(displays, streaming_.current()->id);
  if (!display) display = mainOrFirstDisplay(displays);
  if (!display) co_return;
  const DisplayInfo target = *display;
  Viewport viewport = defaultViewport(target, *client);
  const auto size = outputSize();
  viewport.outputWidth = evenCaptureSize(std::min<double>(viewport.outputWidth, size.first));
  viewport.outputHeight = evenCaptureSize(std::min<double>(viewport.outputHeight, size.second));
  sessionLog().info("unfocus -> display %u", target.id);
  co_await selectDisplay(target, viewport);
  streaming_.requestKeyframe();
  sendStreamMode(std::move(notice), std::nullopt);
}

asio::awaitable<void> WindowFocusFeature::stopApps() {
  ++generation_;
  focusTask_ = Task();
  focus_.reset();
  std::vector<std::uint32_t> windows;
  for (const auto& [id, entry] : fitted_) windows.push_back(id);
  for (std::uint32_t id : windows) co_await restoreFittedWindow(id);
  streaming_.setScope(CaptureScope::display());
}

asio::awaitable<bool> WindowFocusFeature::refreshAfterDisplayChange() {
  if (!focus_) co_return false;
  co_await refreshFocusCapture(true, false);
  co_return true;
}

// MARK: Following the user's focus

void WindowFocusFeature::startFocusFollowing() {
  focusTask_ = Task();
  focusTask_ = core_.spawnTask(followLoop(core_.weakFeature(this), generation_));
}

asio::awaitable<void> WindowFocusFeature::followLoop(std::weak_ptr<WindowFocusFeature> weak, std::uint64_t generation) {
  std::shared_ptr<Clock> clock;
  AsyncStream<WindowEvent> changes;
  double interval = 0.25;
  {
    auto self = weak.lock();
    if (!self) co_return;
    clock = self->core_.env().clock;
    interval = self->core_.env().focusPollInterval;
    if (self->core_.env().focusObserver) {
      changes = self->core_.env().focusObserver->changes();
    } else {
      changes.finish();
    }
  }
  // The subscription goes with the loop, however it ends.
  struct Finish {
    AsyncStream<WindowEvent>& stream;
    ~Finish() { stream.finish(); }
  } finish{changes};
  bool notices = !changes.isFinished();
  for (;;) {
    double wait = interval;
    {
      auto self = weak.lock();
      if (!self) co_return;
      // Wake when a pending window is due and when the grace after a focus ends, so that a
      // change is taken as soon as it counts rather than at the next poll.
      const double now = self->core_.uptime();
      // A millisecond late, so that the deadline has surely passed on the session's clock.
      if (auto due = self->debouncer_.pendingDeadline(); due && *due > now) wait = std::min(wait, *due - now + 0.001);
      if (self->followIgnoreUntil_ > now) wait = std::min(wait, self->followIgnoreUntil_ - now + 0.001);
    }
    // At least a millisecond: a deadline a rounding error away is not waited for again and again.
    const Clock::Duration span = std::max<Clock::Duration>(Clock::seconds(wait), std::chrono::milliseconds(1));
    if (notices) {
      notices = co_await nextChangeWithin(changes, *clock, span);
    } else {
      co_await clock->sleep(span);
    }
    auto self = weak.lock();
    if (!self || self->generation_ != generation) co_return;
    co_await self->followMacFocus();
    if (self->generation_ != generation) co_return;
    co_await self->refreshFocusCapture(false, false);
  }
}

asio::awaitable<void> WindowFocusFeature::followMacFocus() {
  const HostEnvironment& env = core_.env();
  if (!focus_ || !env.focusObserver) co_return;
  const double now = core_.uptime();
  if (now < followIgnoreUntil_) co_return;
  const FocusObserving::Followed following{focus_->pid, focus_->windowID, focus_->windowFrame};
  const FocusObservation observation = env.focusObserver->observe(following, core_.displays());
  const FollowTarget target = FollowTarget::choose(observation, following, env.hostPID, core_.displays());
  debouncer_.delay = env.focusDebounce;
  const auto key = target.key();
  if (failedSwitch_ && !(key && *key == *failedSwitch_)) failedSwitch_.reset();
  const auto committed = debouncer_.observe(key, now);
  if (!committed) {
    if (focus_->popup) {
      std::optional<ObservedWindow> closed;
      co_await updatePopup(std::move(closed));
    }
    co_return;
  }
  if (committed->kind == FollowTarget::Kind::window) {
    // Only the window that won the wait: while a switch that found no display keeps its key
    // committed, another window seen once has not waited its turn.
    if (target.kind != FollowTarget::Kind::window || !target.window.windowID || key != committed) co_return;
    if (failedSwitch_ && *failedSwitch_ == *committed) co_return;
    const FocusSession followed = *focus_;
    const FocusBackStack before = backStack_;
    backStack_.push(BackEntry{followed.pid, followed.windowID, followed.title, followed.appName});
    sessionLog().info("following the Mac's focus to window %u", *target.window.windowID);
    co_await focusWindow(target.window.pid, *target.window.windowID, followed.wantsFit, moveCursorOnSwitch_,
                         FocusOrigin::follow, target.window.appName);
    if (lastOutcome_ == FocusOutcome::noDisplay) {
      // The window lies on no display: stay with the followed one until the focus moves on.
      backStack_ = before;
      failedSwitch_ = committed;
    }
    co_return;
  }
  if (target.kind != FollowTarget::Kind::popup) co_return;
  if (!focus_->popup || !(*focus_->popup == target.window)) {
    std::optional<ObservedWindow> shown = target.window;
    co_await updatePopup(std::move(shown));
  }
}

asio::awaitable<void> WindowFocusFeature::updatePopup(std::optional<ObservedWindow> popup) {
  if (!focus_) co_return;
  const auto& old = focus_->popup;
  const bool changed =
      old.has_value() != popup.has_value() || (old && popup && !sameID(old->windowID, popup->windowID));
  focus_->popup = popup;
  const std::string what = popup ? "shown: " + popup->title : std::string("closed");
  sessionLog().info("popup %s", what.c_str());
  const bool resetViewport = changed;
  co_await refreshFocusCapture(true, resetViewport);
}

asio::awaitable<void> WindowFocusFeature::refreshFocusCapture(bool force, bool resetViewport) {
  if (!focus_) co_return;
  const HostEnvironment& env = core_.env();
  auto window = env.windowTracker->windowInfo(focus_->windowID);
  if (!window) {
    co_await focusedWindowClosed(*focus_);
    co_return;
  }
  const CapturePlan plan = focusCapturePlan(window->frame, *focus_);
  if (!force && !resetViewport && window->frame == focus_->windowFrame && plan.display.id == focus_->display.id &&
      plan.base == focus_->base && plan.scope == streaming_.scope()) {
    co_return;
  }
  focus_->title = window->title;
  focus_->display = plan.display;
  focus_->windowFrame = window->frame;
  focus_->base = plan.base;
  streaming_.setScope(plan.scope);
  const auto& current = streaming_.viewport();
  const auto size = outputSize();
  Viewport viewport{plan.display.id, (resetViewport || !current) ? NormalizedRect::full : current->sourceRect,
                    size.first, size.second};
  const std::uint64_t generation = generation_;
  co_await selectDisplay(plan.display, viewport);
  if (generation != generation_) co_return;
  if (resetViewport) streaming_.requestKeyframe();
  sendStreamMode(std::nullopt, std::nullopt);
}

WindowFocusFeature::CapturePlan WindowFocusFeature::focusCapturePlan(const Rect& frame,
                                                                     const FocusSession& session) const {
  const auto& displays = core_.displays();
  if (session.popup) {
    if (auto region = focusCaptureRegion(frame, session.popup->frame, displays)) {
      const auto& [display, base] = *region;
      CaptureScope scope =
          session.popup->pid == session.pid ? CaptureScope::app(session.pid, base) : CaptureScope::region(base);
      return CapturePlan{display, base, scope};
    }
  }
  DisplayInfo display = displayForRect(frame, displays).value_or(session.display);
  if (const DisplayInfo* fresh = findDisplay(displays, display.id)) display = *fresh;
  const Rect base = displayLocalRect(frame, display, 8);
  return CapturePlan{display, base, CaptureScope::app(session.pid, base)};
}

asio::awaitable<void> WindowFocusFeature::focusedWindowClosed(FocusSession session) {
  std::optional<WindowRecord> fallback;
  for (const auto& w : core_.env().windowTracker->windows(session.pid)) {
    if (w.id != session.windowID && w.isOnScreen) {
      fallback = w;
      break;
    }
  }
  removeFitted(session.windowID);
  if (fallback) {
    sessionLog().info("focused window closed; falling back to %u", fallback->id);
    co_await focusWindow(session.pid, fallback->id, session.wantsFit, moveCursorOnSwitch_, FocusOrigin::closed,
                         session.appName);
    co_return;
  }
  sessionLog().info("focused window closed; leaving focus mode");
  std::optional<std::string> notice = closedNotice;
  co_await unfocus(std::move(notice));
}

}  // namespace brindlet::host
