// A small GTK 3 program for the accessibility tests: one window with a menu bar of submenus,
// keyboard shortcuts, a disabled item and check items. Every item it runs, by a press or by
// its shortcut, is written to standard output as "activated PATH" (titles joined by "/").
//
//   menu-test-app [--title TITLE] [--big N]
//
// --big N adds a menu "Big" of N items in all (ten submenus of items below it), for the
// benchmark of reading a large tree.
//
// GTK 3 it is, not 4: GTK 4's menus are popovers that are not on the accessibility tree
// until shown, while GTK 3 publishes the whole menu bar.
#include <gtkmm.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class MenuWindow : public Gtk::Window {
 public:
  MenuWindow(const std::string& title, int bigItems) {
    set_title(title);
    set_default_size(420, 200);
    add_accel_group(accels_);
    auto* file = addMenu("File");
    addItem(file, "File", "New", GDK_KEY_n, Gdk::CONTROL_MASK);
    addItem(file, "File", "Open", GDK_KEY_o, Gdk::CONTROL_MASK);
    file->append(*Gtk::make_managed<Gtk::SeparatorMenuItem>());
    file->append(*Gtk::make_managed<Gtk::SeparatorMenuItem>());
    auto* recent = addSubmenu(file, "Recent");
    addItem(recent, "File/Recent", "Alpha", 0, {});
    addItem(recent, "File/Recent", "Beta", 0, {});
    file->append(*Gtk::make_managed<Gtk::SeparatorMenuItem>());
    addItem(file, "File", "Save As", GDK_KEY_s, Gdk::CONTROL_MASK | Gdk::SHIFT_MASK);
    file->append(*Gtk::make_managed<Gtk::SeparatorMenuItem>());

    auto* edit = addMenu("Edit");
    addItem(edit, "Edit", "Copy", GDK_KEY_c, Gdk::CONTROL_MASK);
    auto* paste = addItem(edit, "Edit", "Paste", GDK_KEY_v, Gdk::CONTROL_MASK);
    paste->set_sensitive(false);
    addItem(edit, "Edit", "Find Next", GDK_KEY_F3, {});
    addItem(edit, "Edit", "Select Line", GDK_KEY_Up, Gdk::MOD1_MASK);

    auto* view = addMenu("View");
    addCheck(view, "View", "Ruler", true);
    addCheck(view, "View", "Grid", false);
    auto* zoom = addSubmenu(view, "Zoom");
    auto* levels = addSubmenu(zoom, "Levels");
    auto* deep = addSubmenu(levels, "Deeper");
    addItem(deep, "View/Zoom/Levels/Deeper", "Deepest", 0, {});

    if (bigItems > 0) {
      auto* big = addMenu("Big");
      int groups = 10, perGroup = (bigItems - groups) / groups;
      for (int g = 0; g < groups; ++g) {
        std::string name = "Group " + std::to_string(g + 1);
        auto* sub = addSubmenu(big, name);
        for (int i = 0; i < perGroup; ++i) addItem(sub, "Big/" + name, "Item " + std::to_string(i + 1), 0, {});
      }
    }

    box_.pack_start(bar_, Gtk::PACK_SHRINK);
    box_.pack_start(entry_, Gtk::PACK_SHRINK);
    add(box_);
    show_all();
  }

 private:
  Gtk::Menu* addMenu(const std::string& title) {
    auto* item = Gtk::make_managed<Gtk::MenuItem>(title);
    auto* menu = Gtk::make_managed<Gtk::Menu>();
    menu->set_accel_group(accels_);
    item->set_submenu(*menu);
    bar_.append(*item);
    return menu;
  }
  Gtk::Menu* addSubmenu(Gtk::Menu* parent, const std::string& title) {
    auto* item = Gtk::make_managed<Gtk::MenuItem>(title);
    auto* menu = Gtk::make_managed<Gtk::Menu>();
    menu->set_accel_group(accels_);
    item->set_submenu(*menu);
    parent->append(*item);
    return menu;
  }
  Gtk::MenuItem* addItem(Gtk::Menu* menu, const std::string& parent, const std::string& title, guint key,
                         Gdk::ModifierType modifiers) {
    auto* item = Gtk::make_managed<Gtk::MenuItem>(title);
    if (key != 0) item->add_accelerator("activate", accels_, key, modifiers, Gtk::ACCEL_VISIBLE);
    std::string path = parent + "/" + title;
    item->signal_activate().connect([path] { std::printf("activated %s\n", path.c_str()), std::fflush(stdout); });
    menu->append(*item);
    return item;
  }
  void addCheck(Gtk::Menu* menu, const std::string& parent, const std::string& title, bool active) {
    auto* item = Gtk::make_managed<Gtk::CheckMenuItem>(title);
    item->set_active(active);
    std::string path = parent + "/" + title;
    item->signal_toggled().connect([path] { std::printf("activated %s\n", path.c_str()), std::fflush(stdout); });
    menu->append(*item);
  }

  Glib::RefPtr<Gtk::AccelGroup> accels_ = Gtk::AccelGroup::create();
  Gtk::Box box_{Gtk::ORIENTATION_VERTICAL};
  Gtk::MenuBar bar_;
  Gtk::Entry entry_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string title = "Menu Test";
  int big = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--title") title = argv[i + 1];
    if (option == "--big") big = std::atoi(argv[i + 1]);
  }
  auto app = Gtk::Application::create("org.brindlet.MenuTestApp", Gio::APPLICATION_NON_UNIQUE);
  MenuWindow window(title, big);
  std::printf("ready\n");
  std::fflush(stdout);
  return app->run(window);
}
