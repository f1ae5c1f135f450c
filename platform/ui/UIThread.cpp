#include "platform/ui/UIThread.h"

#include <gtk/gtk.h>
#include <gtkmm/init.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

namespace brindlet::platform {

struct UIThread::State {
  std::mutex mutex;
  std::condition_variable ready;
  std::optional<bool> started;
  std::string error;
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

std::unique_ptr<UIThread> UIThread::start(const std::string& programName, std::string* error) {
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
        {
          std::lock_guard lock(state->mutex);
          state->started = ok;
          if (!ok) state->error = "GTK could not open the display";
        }
        state->ready.notify_all();
        if (!ok) return;
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
