#pragma once
// The window manager's notices, fanned out to every subscriber as they come: the active
// window changed, the list of windows changed. One watch of the root window serves them all.
//
//   auto events = WindowEvents::make(executor);
//   auto stream = events->subscribe();
//   while (auto event = co_await stream.next()) ...

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Executor.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"

namespace brindlet::host {

enum class WindowEvent { activeWindowChanged, windowListChanged };

class WindowEvents : public std::enable_shared_from_this<WindowEvents> {
 public:
  // Watches the X server named by DISPLAY (or `displayName`) on a strand of its own.
  static std::shared_ptr<WindowEvents> make(const Executor& executor, std::string displayName = {});
  ~WindowEvents();

  // A new subscription; it ends when this object goes.
  AsyncStream<WindowEvent> subscribe();
  // Hands `event` to every subscriber (the watch does; tests may).
  void publish(WindowEvent event);

 private:
  WindowEvents() = default;

  std::mutex lock_;
  std::vector<AsyncStream<WindowEvent>> subscribers_;
  Task watch_;
};

}  // namespace brindlet::host
