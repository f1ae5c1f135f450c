#pragma once

// The toolkit's thread: GTK runs its main loop here, on a thread of its own, because the loop
// blocks. Everything that touches a window is handed to it with post(); what the windows
// answer goes back to the application's strand by the caller's own means.
//
//   std::unique_ptr<UIThread> ui = UIThread::start("io.tavix.nolu.host");
//   if (!ui) log: no display, the host runs without windows
//   ui->post([] { ... make or change a window ... });
//
// Destroying it quits the loop and joins the thread; windows still open are destroyed there.

#include <functional>
#include <memory>
#include <string>

#include "platform/support/WorkerThread.h"

namespace brindlet::platform {

class UIThread {
 public:
  // Starts GTK on its thread and waits until it runs; nothing (with the reason in `error`)
  // when the display cannot be opened.
  static std::unique_ptr<UIThread> start(const std::string& programName, std::string* error = nullptr);
  ~UIThread();
  UIThread(const UIThread&) = delete;
  UIThread& operator=(const UIThread&) = delete;

  // Runs `work` on the toolkit's thread, in the order posted. Any thread.
  void post(std::function<void()> work);
  // Runs `teardown` on the toolkit's thread just before the loop ends (once, in order).
  void atExit(std::function<void()> teardown);
  bool isCurrent() const;

 private:
  struct State;
  UIThread();
  std::shared_ptr<State> state_;
  WorkerThread thread_;
};

}  // namespace brindlet::platform
