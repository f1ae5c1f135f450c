#pragma once

// The toolkit's thread: GTK runs its main loop here, on a thread of its own, because the loop
// blocks. Everything that touches a window is handed to it with post(); what the windows
// answer goes back to the application's strand by the caller's own means.
//
//   std::unique_ptr<UIThread> ui = UIThread::start("io.tavix.nolu.host");
//   if (!ui) log: no display, the host runs without windows
//   ui->post([] { ... make or change a window ... });
//   auto starting = UIThread::launch("io.tavix.nolu.host");   // or in two halves
//   ... other work ...; ui = starting->finishStart(&error);
//
// Destroying it quits the loop and joins the thread; windows still open are destroyed there.

#include <functional>
#include <memory>
#include <string>

#include "platform/support/WorkerThread.h"

namespace brindlet::platform {

class UIThreadStart;

class UIThread {
 public:
  // Starts GTK on its thread and waits until it runs; nothing (with the reason in `error`)
  // when the display cannot be opened.
  static std::unique_ptr<UIThread> start(const std::string& programName, std::string* error = nullptr);
  // The same in two halves, so that GTK starts while the caller does other work: launch()
  // returns at once, its finishStart() waits for the outcome.
  static std::unique_ptr<UIThreadStart> launch(const std::string& programName);
  ~UIThread();
  UIThread(const UIThread&) = delete;
  UIThread& operator=(const UIThread&) = delete;

  // Runs `work` on the toolkit's thread, in the order posted. Any thread.
  void post(std::function<void()> work);
  // Runs `teardown` on the toolkit's thread just before the loop ends (once, in order).
  void atExit(std::function<void()> teardown);
  bool isCurrent() const;

 private:
  friend class UIThreadStart;
  struct State;
  UIThread();
  std::shared_ptr<State> state_;
  WorkerThread thread_;
};

class UIThreadStart {
 public:
  ~UIThreadStart();
  std::unique_ptr<UIThread> finishStart(std::string* error = nullptr);
  // Or without waiting: work posted now runs once GTK runs; when it cannot open the display,
  // `onFailure` gets the reason on the toolkit's thread and posted work never runs.
  std::unique_ptr<UIThread> proceed(std::function<void(const std::string&)> onFailure);

 private:
  friend class UIThread;
  std::unique_ptr<UIThread> ui_;
};

}  // namespace brindlet::platform
