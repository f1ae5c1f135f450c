#include "host/ui/PanelStyle.h"

#include <gtkmm.h>

// After the C++ wrappers: Xlib's macros would break them.
#include <gdk/x11/gdkx.h>

namespace brindlet::host {

namespace {

const char* styleSheet = R"css(
window.nolu-window, window.nolu-window > contents { background-color: rgb(28, 28, 30); color: white; }
window.nolu-guide, window.nolu-guide > contents { background-color: rgb(28, 28, 31); }
.nolu-window label { color: white; }
.nolu-window { font-size: 13px; }
.nolu-heading { font-size: 17px; font-weight: 600; }
.nolu-title { font-size: 14px; font-weight: 600; }
.nolu-page-title { font-size: 20px; font-weight: 600; }
.nolu-window label.nolu-secondary { color: rgb(161, 161, 166); }
.nolu-window label.nolu-status { color: rgb(209, 209, 209); }
.nolu-window label.nolu-figures { color: rgb(199, 199, 199); }
.nolu-window label.nolu-accent-text { color: rgb(255, 176, 32); }
.nolu-window label.nolu-green { color: rgb(125, 224, 143); }
.nolu-window label.nolu-error { color: rgb(255, 69, 58); }
.nolu-11 { font-size: 11px; }
.nolu-12 { font-size: 12px; }
.nolu-medium { font-weight: 500; }
.nolu-digits { font-feature-settings: "tnum"; }
.nolu-section { font-size: 11px; letter-spacing: 0.5px; }
.nolu-window label.nolu-code {
  font-family: monospace; font-size: 40px; font-weight: 600; color: rgb(255, 176, 32);
  background-color: rgb(43, 43, 46); border-radius: 12px; padding: 10px 18px;
}
.nolu-card { background-color: white; border-radius: 14px; }
.nolu-window .nolu-card label.nolu-on-card { color: black; font-size: 13px; font-weight: 500; }
.nolu-window .nolu-card label.nolu-check { color: rgb(255, 176, 32); font-size: 44px; }
.nolu-window button {
  background-image: none; background-color: rgba(255, 255, 255, 0.08); color: white;
  border: 1px solid rgba(255, 255, 255, 0.14); border-radius: 7px; box-shadow: none; min-height: 22px;
}
.nolu-window button:active { background-color: rgba(255, 255, 255, 0.16); opacity: 0.8; }
.nolu-window button.nolu-accent { background-color: rgb(255, 176, 32); color: black; border-color: transparent; }
.nolu-window button.nolu-accent label { color: black; }
.nolu-window .nolu-card button { color: black; background-color: rgba(0, 0, 0, 0.06); border-color: rgba(0, 0, 0, 0.14); }
.nolu-window .nolu-card button label { color: black; }
.nolu-window button.nolu-plain {
  background-color: transparent; border-width: 0; padding-left: 0; padding-right: 0;
}
.nolu-window switch:checked { background-color: rgb(255, 176, 32); }
.nolu-card-dark { background-color: rgba(255, 255, 255, 0.06); border-radius: 8px; padding: 8px 10px; }
.nolu-dot { min-width: 7px; min-height: 7px; border-radius: 4px; background-color: rgb(115, 115, 115); }
.nolu-dot.nolu-live { background-color: rgb(255, 176, 32); }
.nolu-step { border-radius: 2px; background-color: rgba(255, 255, 255, 0.14); }
.nolu-step.nolu-step-current { background-color: rgb(255, 176, 32); }
.nolu-step.nolu-step-before { background-color: rgba(255, 176, 32, 0.4); }
)css";

}  // namespace

void installPanelStyle() {
  static bool installed = false;
  if (installed) return;
  auto display = Gdk::Display::get_default();
  if (!display) return;
  installed = true;
  Gtk::Settings::get_default()->property_gtk_application_prefer_dark_theme() = true;
  auto provider = Gtk::CssProvider::create();
  provider->load_from_data(styleSheet);
  Gtk::StyleContext::add_provider_for_display(display, provider, GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

void showWithoutFocus(Gtk::Window& window) {
  // A user time of zero asks the window manager not to focus the window when it maps.
  gtk_widget_realize(GTK_WIDGET(window.gobj()));
  GdkSurface* surface = window.get_surface()->gobj();
  if (GDK_IS_X11_SURFACE(surface)) gdk_x11_surface_set_user_time(surface, 0);
  window.set_visible(true);
}

}  // namespace brindlet::host
