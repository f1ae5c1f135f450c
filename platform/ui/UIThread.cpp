#include "platform/ui/UIThread.h"

#include <gtk/gtk.h>
#include <gtkmm/init.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

namespace brindlet::platform {

struct UIThread::State {
  std::mutex mutex;
  std::condition_variable ready;
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

}  // namespace

UIThread::UIThread() : state_(std::make_shared<State>()) {}

std::unique_ptr<UIThreadStart> UIThread::launch(const std::string& programName) {
  // The windows are small and mostly still: GTK's software renderer draws them without the
  // OpenGL start-up (a second or more where OpenGL is emulated), unless the user chose one.
  if (!std::getenv("GSK_RENDERER")) ::setenv("GSK_RENDERER", "cairo", 0);
  std::unique_ptr<UIThread> ui(new UIThread());
  auto state = ui->state_;
  std::string name = programName;
  ui->thread_ = WorkerThread(
      [state, name](std::stop_token) {
        g_set_prgname(name.c_str());
        bool ok = gtk_init_check();
        // The C++ wrappers of the windows need their own types registered once GTK runs.
        if (ok) Gtk::init_gtkmm_internals();
        state->id = std::this_thread::get_id();
        if (ok) state->loop = g_main_loop_new(nullptr, FALSE);
        std::function<void(const std::string&)> onFailure;
        {
          std::lock_guard lock(state->mutex);
          state->started = ok;
          if (!ok) state->error = "GTK could not open the display";
          onFailure = state->onFailure;
        }
        state->ready.notify_all();
        if (!ok) {
          if (onFailure) onFailure(state->error);
          return;
        }
        g_main_loop_run(state->loop);
        for (auto& teardown : state->teardown) teardown();
        state->teardown.clear();
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_main_loop_unref(state->loop);
      },
      [state] {
        // Queued as a source, so a quit before the loop runs is not lost.
        if (!state->loop) return;
        g_main_context_invoke_full(
            nullptr, G_PRIORITY_LOW,
            [](gpointer loop) -> gboolean {
              g_main_loop_quit(static_cast<GMainLoop*>(loop));
              return G_SOURCE_REMOVE;
            },
            state->loop, nullptr);
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

UIThreadStart::~UIThreadStart() {
  // Never finished: the thread is stopped once it has started.
  if (ui_) finishStart();
}

std::unique_ptr<UIThread> UIThread::start(const std::string& programName, std::string* error) {
  return launch(programName)->finishStart(error);
}

UIThread::~UIThread() { thread_.stop(); }

void UIThread::post(std::function<void()> work) {
  // Always queued (never run inline, also from the toolkit's own thread), so the order holds.
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runPosted, new Posted{std::move(work)}, freePosted);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

void UIThread::atExit(std::function<void()> teardown) {
  auto state = state_;
  post([state, teardown = std::move(teardown)]() mutable { state->teardown.push_back(std::move(teardown)); });
}

bool UIThread::isCurrent() const { return std::this_thread::get_id() == state_->id; }

}  // namespace brindlet::platform
