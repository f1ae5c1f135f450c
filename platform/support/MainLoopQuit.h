#pragma once
// For the platform layer's own sources: ends a GLib main loop from any thread.
#include <glib.h>

namespace brindlet::platform {

// Queued on the loop's context as a source (never run inline), so a quit that comes before
// the loop runs is not lost.
inline void quitMainLoop(GMainLoop* loop, GMainContext* context) {
  GSource* source = g_idle_source_new();
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      loop, nullptr);
  g_source_attach(source, context);
  g_source_unref(source);
}

}  // namespace brindlet::platform
