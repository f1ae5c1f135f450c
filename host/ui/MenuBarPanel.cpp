#include "host/ui/MenuBarPanel.h"

#include <gtkmm.h>

#include <asio/post.hpp>
#include <chrono>

#include "host/ui/PanelStyle.h"
#include "platform/ui/UIThread.h"

namespace brindlet::host {

std::string relativeAge(std::chrono::seconds elapsed) {
  long long s = elapsed.count();
  if (s < 60) return "just now";
  if (s < 3600) return std::to_string(s / 60) + " min ago";
  if (s < 86400) return std::to_string(s / 3600) + " h ago";
  long long days = s / 86400;
  return std::to_string(days) + (days == 1 ? " day ago" : " days ago");
}

namespace {

Gtk::Label* text(const std::string& value, std::initializer_list<const char*> classes = {}) {
  auto* label = Gtk::make_managed<Gtk::Label>(value);
  for (const char* name : classes) label->add_css_class(name);
  label->set_xalign(0);
  label->set_wrap(true);
  return label;
}

Gtk::Label* heading(const std::string& value) {
  std::string upper = value;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text(upper, {"nolu-section", "nolu-secondary"});
}

Gtk::Separator* divider() {
  auto* line = Gtk::make_managed<Gtk::Separator>(Gtk::Orientation::HORIZONTAL);
  line->add_css_class("nolu-divider");
  return line;
}

Gtk::Box* row(int spacing = 6) {
  auto* box = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, spacing);
  box->set_valign(Gtk::Align::CENTER);
  return box;
}

Gtk::Widget* spacer() {
  auto* space = Gtk::make_managed<Gtk::Box>();
  space->set_hexpand(true);
  return space;
}

}  // namespace

struct MenuBarPanel::Toolkit {
  std::shared_ptr<Gtk::Window> window;
  // Runs an action on the main strand.
  std::function<void(std::function<void(MenuBarActions&)>)> act;
  std::function<void(std::function<void(RelaySectionModel&)>)> actRelay;
  // The invite field keeps its widget between drawings while the user types.
  std::string inviteText;
  bool fromTray = false;

  void ensureWindow() {
    if (window) return;
    installPanelStyle();
    window = std::make_shared<Gtk::Window>();
    window->set_title(MenuBarPanel::title);
    window->set_default_size(340, -1);
    window->set_resizable(false);
    window->set_decorated(!fromTray);
    window->add_css_class("nolu-window");
    window->add_css_class("nolu-panel");
    // Closing hides it; the tray item or a second start shows it again.
    window->set_hide_on_close(true);
    auto keys = Gtk::ShortcutController::create();
    keys->set_scope(Gtk::ShortcutScope::GLOBAL);
    keys->add_shortcut(
        Gtk::Shortcut::create(Gtk::ShortcutTrigger::parse_string("<Control>q"),
                              Gtk::CallbackAction::create([this](Gtk::Widget&, const Glib::VariantBase&) {
                                act([](MenuBarActions& a) { a.quit(); });
                                return true;
                              })));
    keys->add_shortcut(
        Gtk::Shortcut::create(Gtk::ShortcutTrigger::parse_string("Escape"),
                              Gtk::CallbackAction::create([this](Gtk::Widget&, const Glib::VariantBase&) {
                                if (!fromTray) return false;
                                window->hide();
                                return true;
                              })));
    window->add_controller(keys);
  }

  Gtk::Button* button(const std::string& label, bool enabled, std::function<void(MenuBarActions&)> action) {
    auto* made = Gtk::make_managed<Gtk::Button>(label);
    made->set_sensitive(enabled);
    made->set_size_request(-1, 30);
    made->signal_clicked().connect([this, action] { act(action); });
    return made;
  }

  Gtk::Box* toggle(const std::string& label, bool on, std::function<void(MenuBarActions&, bool)> action) {
    auto* line = row();
    line->append(*text(label));
    line->append(*spacer());
    auto* sw = Gtk::make_managed<Gtk::Switch>();
    sw->set_active(on);
    gtk_accessible_update_property(GTK_ACCESSIBLE(sw->gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL, label.c_str(), -1);
    // The switch shows the model's value: a flip asks the model, whose answer redraws it.
    sw->signal_state_set().connect(
        [this, action](bool state) {
          act([action, state](MenuBarActions& a) { action(a, state); });
          return true;
        },
        false);
    line->append(*sw);
    return line;
  }

  void draw(const MenuBarView& view, const std::optional<RelaySection::View>& relay) {
    ensureWindow();
    auto* column = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 10);
    column->set_margin(12);
    column->set_size_request(316, -1);

    auto* titleBox = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 3);
    titleBox->append(*text(MenuBarPanel::title, {"nolu-title"}));
    auto* status = row();
    auto* dot = Gtk::make_managed<Gtk::Box>();
    dot->add_css_class("nolu-dot");
    if (view.live) dot->add_css_class("nolu-live");
    dot->set_valign(Gtk::Align::CENTER);
    status->append(*dot);
    status->append(*text(view.statusText, {"nolu-status"}));
    titleBox->append(*status);
    column->append(*titleBox);

    if (view.card) {
      auto* card = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 2);
      card->add_css_class("nolu-card-dark");
      card->append(*heading(menuBarText::streaming));
      card->append(*text(view.card->displayLine));
      card->append(*text(view.card->statsLine, {"nolu-figures"}));
      if (view.card->footnote) {
        card->append(
            *text(*view.card->footnote, {"nolu-11", view.card->footnoteIsError ? "nolu-error" : "nolu-secondary"}));
      }
      column->append(*card);
    }
    column->append(*button(menuBarText::disconnect, view.disconnectEnabled, [](MenuBarActions& a) { a.disconnect(); }));
    column->append(*divider());

    column->append(*heading(menuBarText::pairedDevices));
    if (view.showsNoDevices) column->append(*text(menuBarText::noDevices, {"nolu-secondary"}));
    auto now = std::chrono::system_clock::now();
    for (const MenuBarView::DeviceRow& device : view.devices) {
      auto* line = row();
      line->append(*text(device.name));
      if (device.lastSeen) {
        auto age = std::chrono::duration_cast<std::chrono::seconds>(now - *device.lastSeen);
        line->append(*text(relativeAge(std::max(age, std::chrono::seconds(0))), {"nolu-11", "nolu-secondary"}));
      }
      line->append(*spacer());
      UUID id = device.deviceID;
      if (device.removing) {
        auto* undo = Gtk::make_managed<Gtk::Button>("Undo");
        undo->signal_clicked().connect([this, id] { act([id](MenuBarActions& a) { a.undoRemoval(id); }); });
        line->append(*text("Removing…", {"nolu-11", "nolu-secondary"}));
        line->append(*undo);
      } else {
        auto* remove = Gtk::make_managed<Gtk::Button>(menuBarText::removeButton);
        remove->add_css_class("nolu-plain");
        gtk_accessible_update_property(GTK_ACCESSIBLE(remove->gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                       device.removeLabel.c_str(), -1);
        PairedDevice removed{id, device.name, {}, {}, device.lastSeen};
        remove->signal_clicked().connect(
            [this, removed] { act([removed](MenuBarActions& a) { a.removeDevice(removed); }); });
        line->append(*remove);
      }
      column->append(*line);
    }
    column->append(*button(menuBarText::pairNewDevice, view.pairEnabled, [](MenuBarActions& a) { a.showPairingQR(); }));
    if (view.securityError) column->append(*text(*view.securityError, {"nolu-11", "nolu-error"}));
    column->append(*divider());

    column->append(*heading(menuBarText::permissions));
    auto permission = [&](const char* name, bool granted, MenuBarActions::Grant kind) {
      auto* line = row();
      line->append(*text(name));
      line->append(*spacer());
      if (granted) {
        line->append(*text(menuBarText::granted, {"nolu-green"}));
      } else {
        auto* grant = Gtk::make_managed<Gtk::Button>(menuBarText::grant);
        grant->signal_clicked().connect([this, kind] { act([kind](MenuBarActions& a) { a.grant(kind); }); });
        line->append(*grant);
      }
      column->append(*line);
    };
    permission(menuBarText::screenRecording, view.screenRecordingGranted, MenuBarActions::Grant::screenRecording);
    permission(menuBarText::accessibility, view.accessibilityGranted, MenuBarActions::Grant::accessibility);
    column->append(*divider());

    drawRelay(*column, relay);
    column->append(*divider());

    column->append(*button(menuBarText::setup, true, [](MenuBarActions& a) { a.showSetup(); }));
    column->append(*button(menuBarText::checkForUpdates, view.checkForUpdatesEnabled,
                           [](MenuBarActions& a) { a.checkForUpdates(); }));
    column->append(*toggle(menuBarText::keepDisplayAwake, view.keepDisplayAwake,
                           [](MenuBarActions& a, bool on) { a.setKeepDisplayAwake(on); }));
    column->append(*toggle(menuBarText::startAtLogin, view.launchAtLogin,
                           [](MenuBarActions& a, bool on) { a.setLaunchAtLogin(on); }));
    auto* quit = Gtk::make_managed<Gtk::Button>(menuBarText::quit);
    quit->add_css_class("nolu-plain");
    quit->set_halign(Gtk::Align::FILL);
    if (auto* label = dynamic_cast<Gtk::Label*>(quit->get_child())) label->set_xalign(0);
    quit->signal_clicked().connect([this] { act([](MenuBarActions& a) { a.quit(); }); });
    column->append(*quit);
    window->set_child(*column);
  }

  void drawRelay(Gtk::Box& column, const std::optional<RelaySection::View>& relay) {
    auto* section = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 6);
    section->append(*text(RelaySection::heading, {"nolu-section", "nolu-secondary"}));
    auto* line = row();
    line->append(*text(RelaySection::switchLabel));
    line->append(*spacer());
    auto* sw = Gtk::make_managed<Gtk::Switch>();
    gtk_accessible_update_property(GTK_ACCESSIBLE(sw->gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL, RelaySection::switchLabel,
                                   -1);
    sw->set_active(relay && relay->switchOn);
    sw->set_sensitive(relay.has_value());
    sw->signal_state_set().connect(
        [this](bool state) {
          actRelay([state](RelaySectionModel& r) { r.setSwitch(state); });
          return true;
        },
        false);
    line->append(*sw);
    section->append(*line);
    if (relay && relay->showsInviteRow) {
      auto* invite = row();
      auto* field = Gtk::make_managed<Gtk::Entry>();
      field->set_placeholder_text(RelaySection::invitePlaceholder);
      field->set_text(relay->inviteDraft);
      field->set_hexpand(true);
      field->signal_changed().connect([this, field] {
        std::string typed = field->get_text();
        actRelay([typed](RelaySectionModel& r) { r.setInviteDraft(typed); });
      });
      field->signal_activate().connect([this] { actRelay([](RelaySectionModel& r) { r.join(r.inviteDraft()); }); });
      auto* join = Gtk::make_managed<Gtk::Button>(RelaySection::joinLabel);
      join->set_sensitive(relay->joinEnabled);
      join->signal_clicked().connect([this] { actRelay([](RelaySectionModel& r) { r.join(r.inviteDraft()); }); });
      invite->append(*field);
      invite->append(*join);
      section->append(*invite);
    }
    if (relay && relay->statusLine) {
      section->append(*text(*relay->statusLine, {"nolu-11", relay->statusIsError ? "nolu-error" : "nolu-secondary"}));
    }
    column.append(*section);
  }
};

MenuBarPanel::MenuBarPanel(std::shared_ptr<platform::UIThread> ui, Strand main, std::shared_ptr<MenuBarActions> actions,
                           std::shared_ptr<RelaySectionModel> relay)
    : ui_(std::move(ui)),
      main_(std::move(main)),
      actions_(std::move(actions)),
      relay_(std::move(relay)),
      toolkit_(std::make_shared<Toolkit>()) {
  std::weak_ptr<MenuBarActions> weakActions = actions_;
  std::weak_ptr<RelaySectionModel> weakRelay = relay_;
  Strand strand = main_;
  toolkit_->act = [weakActions, strand](std::function<void(MenuBarActions&)> action) {
    asio::post(strand, [weakActions, action] {
      if (auto alive = weakActions.lock()) action(*alive);
    });
  };
  toolkit_->actRelay = [weakRelay, strand](std::function<void(RelaySectionModel&)> action) {
    asio::post(strand, [weakRelay, action] {
      if (auto alive = weakRelay.lock()) action(*alive);
    });
  };
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->atExit([toolkit] { toolkit->window.reset(); });
}

MenuBarPanel::~MenuBarPanel() {
  std::shared_ptr<Toolkit> toolkit = std::move(toolkit_);
  ui_->post([toolkit] {
    if (toolkit->window) toolkit->window->hide();
    toolkit->window.reset();
  });
}

void MenuBarPanel::update(const MenuBarSnapshot& snapshot) {
  std::optional<RelaySection::View> relay;
  if (relay_) relay = RelaySection::render(*relay_);
  MenuBarView view = MenuBarView::render(snapshot);
  if (last_ && *last_ == view && lastRelay_ && *lastRelay_ == relay) return;
  last_ = view;
  lastRelay_ = relay;
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->post([toolkit, view, relay] { toolkit->draw(view, relay); });
}

void MenuBarPanel::show(bool byUser) {
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->post([toolkit, byUser] {
    toolkit->ensureWindow();
    if (!byUser) {
      showWithoutFocus(*toolkit->window);
      return;
    }
    toolkit->window->present();
  });
}

void MenuBarPanel::toggle() {
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->post([toolkit] {
    toolkit->ensureWindow();
    if (toolkit->window->is_visible()) {
      toolkit->window->hide();
    } else {
      toolkit->window->present();
    }
  });
}

void MenuBarPanel::setOpensFromTray(bool fromTray) {
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->post([toolkit, fromTray] {
    toolkit->fromTray = fromTray;
    if (toolkit->window) toolkit->window->set_decorated(!fromTray);
  });
}

}  // namespace brindlet::host
