#include "platform/ui/UIThread.h"

#include <gtk/gtk.h>
#include <gtkmm/init.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/support/MainLoopQuit.h"
#include "platform/support/OwnEnvironment.h"

namespace brindlet::platform {

struct UIThread::State {
  std::mutex mutex;
  std::condition_variable ready;
  std::condition_variable_any begun;
  bool mayBegin = false;
  // Work posted before GTK runs waits here, so that it is dropped, not left in GLib's
  // default context, when GTK never runs.
  std::vector<std::function<void()>> waiting;
  bool running = false;
  std::optional<bool> started;
  std::string error;
  std::function<void(const std::string&)> onFailure;  // set before the outcome is known
  GMainLoop* loop = nullptr;
  std::vector<std::function<void()>> teardown;  // the toolkit's thread only
  std::thread::id id;
};

namespace {

struct Posted {
  std::function<void()> work;
};

gboolean runPosted(gpointer data) {
  static_cast<Posted*>(data)->work();
  return G_SOURCE_REMOVE;
}

void freePosted(gpointer data) { delete static_cast<Posted*>(data); }

// Always queued (never run inline, also from the toolkit's own thread), so the order holds.
void queue(std::function<void()> work) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runPosted, new Posted{std::move(work)}, freePosted);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

// Work that will never run, let go of outside the lock (it may hold what posts again).
void dropWaiting(std::mutex& mutex, std::vector<std::function<void()>>& waiting) {
  std::vector<std::function<void()>> dropped;
  std::lock_guard lock(mutex);
  dropped.swap(waiting);
}

}  // namespace

UIThread::UIThread() : state_(std::make_shared<State>()) {}

std::unique_ptr<UIThreadStart> UIThread::launch(const std::string& programName) {
  // The windows are small and mostly still: GTK's software renderer draws them without the
  // OpenGL start-up (a second or more where OpenGL is emulated), unless the user chose one.
  // GDK on X11 would still load the OpenGL driver (with LLVM, where it is emulated) only to
  // pick a visual, so OpenGL is switched off for the renderer that does not use it. Programs
  // the host starts for the user do not inherit either choice.
  if (!std::getenv("GSK_RENDERER")) {
    setOwnVariable("GSK_RENDERER", "cairo");
    const char* debug = std::getenv("GDK_DEBUG");
    setOwnVariable("GDK_DEBUG", debug && *debug ? std::string(debug) + ",gl-disable" : "gl-disable");
  }
  std::unique_ptr<UIThread> ui(new UIThread());
  auto state = ui->state_;
  std::string name = programName;
  ui->thread_ = WorkerThread(
      [state, name](std::stop_token stop) {
        {
          // Held until begin(): stopped before that, GTK never starts.
          std::unique_lock lock(state->mutex);
          if (!state->begun.wait(lock, stop, [&] { return state->mayBegin; })) {
            lock.unlock();
            dropWaiting(state->mutex, state->waiting);
            return;
          }
        }
        g_set_prgname(name.c_str());
        bool ok = gtk_init_check();
        // The C++ wrappers of the windows need their own types registered once GTK runs.
        if (ok) Gtk::init_gtkmm_internals();
        state->id = std::this_thread::get_id();
        std::function<void(const std::string&)> onFailure;
        {
          std::lock_guard lock(state->mutex);
          if (ok) {
            state->loop = g_main_loop_new(nullptr, FALSE);
            for (auto& work : state->waiting) queue(std::move(work));
            state->waiting.clear();
            state->running = true;
          }
          state->started = ok;
          if (!ok) state->error = "GTK could not open the display";
          onFailure = state->onFailure;
        }
        state->ready.notify_all();
        if (!ok) {
          dropWaiting(state->mutex, state->waiting);
          if (onFailure) onFailure(state->error);
          return;
        }
        // A stop asked for while GTK was starting found no loop to end: it ends it now.
        if (stop.stop_requested()) quitMainLoop(state->loop, g_main_context_default());
        g_main_loop_run(state->loop);
        for (auto& teardown : state->teardown) teardown();
        state->teardown.clear();
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_main_loop_unref(state->loop);
      },
      [state] {
        std::lock_guard lock(state->mutex);
        if (state->loop) quitMainLoop(state->loop, g_main_context_default());
      });
  auto starting = std::unique_ptr<UIThreadStart>(new UIThreadStart());
  starting->ui_ = std::move(ui);
  return starting;
}

std::unique_ptr<UIThread> UIThreadStart::finishStart(std::string* error) {
  if (!ui_) {
    if (error) *error = "already started";
    return nullptr;
  }
  std::unique_ptr<UIThread> ui = std::move(ui_);
  ui->begin();
  auto state = ui->state_;
  std::unique_lock lock(state->mutex);
  state->ready.wait(lock, [&] { return state->started.has_value(); });
  if (!*state->started) {
    if (error) *error = state->error;
    lock.unlock();
    ui->thread_.stop();
    return nullptr;
  }
  return ui;
}

std::unique_ptr<UIThread> UIThreadStart::proceed(std::function<void(const std::string&)> onFailure) {
  if (!ui_) return nullptr;
  std::unique_ptr<UIThread> ui = std::move(ui_);
  auto state = ui->state_;
  std::unique_lock lock(state->mutex);
  if (state->started && !*state->started) {
    lock.unlock();
    if (onFailure) onFailure(state->error);
  } else {
    state->onFailure = std::move(onFailure);
  }
  return ui;
}

UIThreadStart::~UIThreadStart() = default;

std::unique_ptr<UIThread> UIThread::start(const std::string& programName, std::string* error) {
  return launch(programName)->finishStart(error);
}

UIThread::~UIThread() { thread_.stop(); }

void UIThread::begin() {
  {
    std::lock_guard lock(state_->mutex);
    state_->mayBegin = true;
  }
  state_->begun.notify_all();
}

void UIThread::post(std::function<void()> work) {
  std::unique_lock lock(state_->mutex);
  if (!state_->running) {
    // GTK has not started yet, or never will: then the work is dropped with the thread's state.
    if (!state_->started) state_->waiting.push_back(std::move(work));
    return;
  }
  lock.unlock();
  queue(std::move(work));
}

void UIThread::atExit(std::function<void()> teardown) {
  // Weakly: the state keeps this while GTK has not started.
  std::weak_ptr<State> weak = state_;
  post([weak, teardown = std::move(teardown)]() mutable {
    if (auto state = weak.lock()) state->teardown.push_back(std::move(teardown));
  });
}

bool UIThread::isCurrent() const { return std::this_thread::get_id() == state_->id; }

}  // namespace brindlet::platform
