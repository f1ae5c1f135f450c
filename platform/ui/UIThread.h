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
//   ui = starting->proceed(onFailure); ... ui->post(...); ... ui->begin();   // or GTK later
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
  // The same in two halves: launch() makes the thread and returns at once (call it early: it
  // sets GTK's variables in the environment), finishStart() starts GTK and
  // waits for the outcome; or proceed() gives the thread at once and GTK starts only at
  // begin(), so that GTK's start-up can wait for more urgent work.
  static std::unique_ptr<UIThreadStart> launch(const std::string& programName);
  ~UIThread();
  UIThread(const UIThread&) = delete;
  UIThread& operator=(const UIThread&) = delete;

  // Lets GTK start (after proceed()); until then posted work waits. Any thread; once is
  // enough, more is harmless.
  void begin();
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
  // Or without starting GTK yet: work posted now runs once GTK runs, after begin(); when it
  // cannot open the display, `onFailure` gets the reason on the toolkit's thread and posted
  // work never runs.
  std::unique_ptr<UIThread> proceed(std::function<void(const std::string&)> onFailure);

 private:
  friend class UIThread;
  std::unique_ptr<UIThread> ui_;
};

}  // namespace brindlet::platform
