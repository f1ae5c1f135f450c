#include "host/control/AXWindowController.h"

#include <chrono>
#include <cmath>

#include "platform/windows/WindowManager.h"

namespace brindlet::host {

namespace {

// How often and how long a resize is read back while the manager applies it.
constexpr auto settleStep = std::chrono::milliseconds(10);
constexpr int settleSteps = 30;

bool close(const Rect& a, const Rect& b) {
  return std::abs(a.minX() - b.minX()) < 3 && std::abs(a.minY() - b.minY()) < 3 &&
         std::abs(std::abs(a.width) - std::abs(b.width)) < 3 && std::abs(std::abs(a.height) - std::abs(b.height)) < 3;
}

Rect rectOf(const platform::ScreenRect& r) { return Rect{r.x, r.y, r.width, r.height}; }

}  // namespace

std::optional<std::size_t> matchWindowByTitleAndFrame(const AppWindowRef& reference,
                                                      const std::vector<WindowCandidate>& candidates) {
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i].title == reference.title && close(candidates[i].frame, reference.frame)) return i;
  }
  if (!reference.title.empty()) {
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      if (candidates[i].title == reference.title) return i;
    }
  }
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (close(candidates[i].frame, reference.frame)) return i;
  }
  return std::nullopt;
}

std::optional<platform::ManagedWindow> AXWindowController::find(std::int32_t pid, const AppWindowRef& window) {
  if (auto byNumber = manager_->window(window.id); byNumber && byNumber->pid == pid) return byNumber;
  std::vector<platform::ManagedWindow> own;
  for (auto& w : manager_->windowsFrontToBack()) {
    if (w.pid != pid) continue;
    if (w.id == window.id) return w;
    own.push_back(std::move(w));
  }
  std::vector<WindowCandidate> candidates;
  for (const auto& w : own) candidates.push_back({w.title, rectOf(w.frame)});
  auto match = matchWindowByTitleAndFrame(window, candidates);
  if (!match) return std::nullopt;
  return own[*match];
}

void AXWindowController::activate(std::int32_t pid) {
  // An app comes forward through its frontmost window, minimised ones last.
  std::optional<platform::ManagedWindow> chosen;
  for (auto& w : manager_->windowsFrontToBack()) {
    if (w.pid != pid) continue;
    if (!w.hidden) {
      chosen = std::move(w);
      break;
    }
    if (!chosen) chosen = std::move(w);
  }
  if (chosen) manager_->activate(chosen->id);
}

bool AXWindowController::focusWindow(std::int32_t pid, const AppWindowRef& window) {
  auto found = find(pid, window);
  if (!found) return false;
  manager_->activate(found->id);
  return true;
}

asio::awaitable<std::optional<Rect>> AXWindowController::setFrame(Rect frame, std::int32_t pid, AppWindowRef window) {
  auto found = find(pid, window);
  if (!found || !found->resizable) co_return std::nullopt;
  const Rect before = rectOf(found->frame);
  manager_->moveResize(found->id, platform::ScreenRect{frame.x, frame.y, frame.width, frame.height});
  // The manager applies the request when it gets to it, and may adjust it (size increments,
  // minimum sizes): wait until the frame is the one asked for, or has changed and stays put.
  std::optional<Rect> last;
  for (int step = 0; step < settleSteps; ++step) {
    co_await clock_->sleep(settleStep);
    auto now = manager_->window(found->id);
    if (!now) co_return frame;
    Rect read = rectOf(now->frame);
    if (read == frame) co_return read;
    if (last && *last == read && !(read == before)) co_return read;
    last = read;
  }
  co_return last.value_or(frame);
}

void AXWindowController::requestFrame(Rect frame, std::int32_t pid, const AppWindowRef& window) {
  auto found = find(pid, window);
  if (!found || !found->resizable) return;
  manager_->moveResize(found->id, platform::ScreenRect{frame.x, frame.y, frame.width, frame.height});
}

}  // namespace brindlet::host
