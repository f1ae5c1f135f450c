// A small GTK 4 program for the text-focus tests: one window with a text field, a password
// field, a search field, a text area and a button, in that order of the Tab key. Once shown
// it writes each one's place in the window ("field NAME X Y WIDTH HEIGHT", in pixels from
// the top-left corner of the window's client area) and then "ready".
//
//   text-field-test-app [--title TITLE]
#include <gtkmm.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

class FieldWindow : public Gtk::Window {
 public:
  explicit FieldWindow(const std::string& title) {
    set_title(title);
    set_default_size(360, 300);
    box_.set_margin(12);
    box_.set_spacing(8);
    area_.set_size_request(-1, 60);
    box_.append(entry_);
    box_.append(password_);
    box_.append(search_);
    box_.append(area_);
    box_.append(button_);
    set_child(box_);
    signal_map().connect([this] { Glib::signal_timeout().connect_once([this] { report(); }, 300); });
  }

 private:
  void report() {
    double sx = 0, sy = 0;
    get_surface_transform(sx, sy);
    const std::vector<std::pair<const char*, Gtk::Widget*>> fields = {
        {"text", &entry_}, {"password", &password_}, {"search", &search_}, {"area", &area_}, {"button", &button_}};
    for (const auto& [name, widget] : fields) {
      graphene_rect_t bounds;
      if (!gtk_widget_compute_bounds(widget->gobj(), GTK_WIDGET(gobj()), &bounds)) continue;
      std::printf("field %s %d %d %d %d\n", name, int(bounds.origin.x + sx), int(bounds.origin.y + sy),
                  int(bounds.size.width), int(bounds.size.height));
    }
    std::printf("ready\n");
    std::fflush(stdout);
  }

  Gtk::Box box_{Gtk::Orientation::VERTICAL};
  Gtk::Entry entry_;
  Gtk::PasswordEntry password_;
  Gtk::SearchEntry search_;
  Gtk::TextView area_;
  Gtk::Button button_{"Button"};
};

}  // namespace

int main(int argc, char** argv) {
  std::string title = "Text Test";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--title") title = argv[i + 1];
  }
  auto app = Gtk::Application::create("org.brindlet.TextFieldTestApp", Gio::Application::Flags::NON_UNIQUE);
  return app->make_window_and_run<FieldWindow>(1, argv, title);
}
