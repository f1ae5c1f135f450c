#include "host/control/WindowEvents.h"

#include <functional>

#include "host/HostLog.h"
#include "platform/screen/ScreenError.h"
#include "platform/windows/WindowManager.h"

namespace brindlet::host {

namespace {

asio::awaitable<void> watching(std::weak_ptr<WindowEvents> weak, std::string displayName) {
  // The callback is a local made before the try: g++ 12 destroys a lambda temporary of a
  // co_await expression inside a try block a second time when the frame is destroyed.
  std::function<void(platform::WindowManagerChange)> changed = [weak](platform::WindowManagerChange change) {
    auto self = weak.lock();
    if (!self) return;
    self->publish(change == platform::WindowManagerChange::activeWindow ? WindowEvent::activeWindowChanged
                                                                        : WindowEvent::windowListChanged);
  };
  try {
    co_await platform::WindowManager::watch(std::move(displayName), std::move(changed));
  } catch (const platform::ScreenError& error) {
    sessionLog().error("window notices unavailable: %s", error.what());
  }
}

}  // namespace

std::shared_ptr<WindowEvents> WindowEvents::make(const Executor& executor, std::string displayName) {
  std::shared_ptr<WindowEvents> events(new WindowEvents());
  events->watch_ = Task::spawn(makeStrand(executor), watching(events, std::move(displayName)));
  return events;
}

WindowEvents::~WindowEvents() {
  watch_.cancel();
  std::lock_guard guard(lock_);
  for (auto& s : subscribers_) s.finish();
}

AsyncStream<WindowEvent> WindowEvents::subscribe() {
  std::lock_guard guard(lock_);
  // Streams whose reader has gone are finished by it; they are dropped here.
  std::erase_if(subscribers_, [](const AsyncStream<WindowEvent>& s) { return s.isFinished(); });
  return subscribers_.emplace_back();
}

void WindowEvents::publish(WindowEvent event) {
  std::vector<AsyncStream<WindowEvent>> targets;
  {
    std::lock_guard guard(lock_);
    targets = subscribers_;
  }
  for (auto& s : targets) s.yield(event);
}

}  // namespace brindlet::host
