#include "host/ui/HostWindows.h"

#include <gtkmm.h>

#include <asio/post.hpp>
#include <cstdint>
#include <map>

#include "host/ui/PanelStyle.h"
#include "platform/ui/UIThread.h"

namespace brindlet::host {

// Main-strand side: which window is open under each id, and what runs when it closes. Each
// opening has its own number, so the closing of an older window never touches a newer one.
struct HostWindows::Registry {
  struct Entry {
    std::uint64_t number;
    std::function<void()> onClose;
  };
  std::map<std::string, Entry> open;
  std::uint64_t next = 1;
  std::shared_ptr<PairQRModel> qrModel;

  void closed(const std::string& id, std::uint64_t number) {
    auto found = open.find(id);
    if (found == open.end() || found->second.number != number) return;
    std::function<void()> onClose = std::move(found->second.onClose);
    open.erase(found);
    if (onClose) onClose();
  }
};

// Toolkit side: the windows by id.
struct HostWindows::Toolkit {
  struct Window {
    std::uint64_t number = 0;
    std::shared_ptr<Gtk::Window> window;
    // The QR window's widgets, updated from the model's snapshots.
    Gtk::DrawingArea* qr = nullptr;
    Gtk::Stack* card = nullptr;
    Gtk::Label* countdown = nullptr;
    Gtk::Label* pairedWith = nullptr;
    Gtk::Button* done = nullptr;
    std::optional<platform::QRCode> code;
  };
  std::map<std::string, Window> windows;
  // Tells the main strand that the window numbered so under `id` has closed.
  std::function<void(const std::string&, std::uint64_t)> closed;

  // Forgets and destroys the window; its close handler runs on the main strand.
  void finish(const std::string& id, std::uint64_t number) {
    auto found = windows.find(id);
    if (found == windows.end() || found->second.number != number) return;
    std::shared_ptr<Gtk::Window> window = found->second.window;
    windows.erase(found);
    window->hide();
    closed(id, number);
    // Destroyed once the handler that may be running for it has returned.
    Glib::signal_idle().connect_once([window] {});
  }

  void close(const std::string& id) {
    auto found = windows.find(id);
    if (found != windows.end()) finish(id, found->second.number);
  }

  std::shared_ptr<Gtk::Window> makeWindow(const std::string& id, std::uint64_t number, const char* title, int width,
                                          int height) {
    close(id);
    installPanelStyle();
    auto window = std::make_shared<Gtk::Window>();
    window->set_title(title);
    window->set_default_size(width, height);
    window->set_resizable(false);
    window->add_css_class("nolu-window");
    window->signal_close_request().connect(
        [this, id, number] {
          finish(id, number);
          return true;
        },
        false);
    Window entry;
    entry.number = number;
    entry.window = window;
    windows[id] = std::move(entry);
    return window;
  }
};

namespace {

Gtk::Label* label(const std::string& text, std::initializer_list<const char*> classes) {
  auto* made = Gtk::make_managed<Gtk::Label>(text);
  for (const char* name : classes) made->add_css_class(name);
  made->set_wrap(true);
  made->set_justify(Gtk::Justification::CENTER);
  return made;
}

void setAccessibleLabel(Gtk::Widget& widget, const std::string& text) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL, text.c_str(), -1);
}

// Escape runs `action`.
void onEscape(Gtk::Window& window, std::function<void()> action) {
  auto keys = Gtk::EventControllerKey::create();
  keys->signal_key_pressed().connect(
      [action](guint key, guint, Gdk::ModifierType) {
        if (key != GDK_KEY_Escape) return false;
        action();
        return true;
      },
      false);
  window.add_controller(keys);
}

}  // namespace

HostWindows::HostWindows(std::shared_ptr<platform::UIThread> ui, Strand main)
    : ui_(std::move(ui)),
      main_(std::move(main)),
      toolkit_(std::make_shared<Toolkit>()),
      registry_(std::make_shared<Registry>()) {
  std::weak_ptr<Registry> registry = registry_;
  Strand strand = main_;
  toolkit_->closed = [registry, strand](const std::string& id, std::uint64_t number) {
    asio::post(strand, [registry, id, number] {
      if (auto alive = registry.lock()) alive->closed(id, number);
    });
  };
  // The toolkit's objects go on the toolkit's thread.
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->atExit([toolkit] { toolkit->windows.clear(); });
}

HostWindows::~HostWindows() {
  std::shared_ptr<Toolkit> toolkit = std::move(toolkit_);
  ui_->post([toolkit] {
    toolkit->closed = nullptr;
    for (auto& [id, entry] : toolkit->windows) entry.window->hide();
    toolkit->windows.clear();
  });
}

bool HostWindows::isOpen(const std::string& id) const { return registry_->open.count(id) > 0; }

void HostWindows::showConfirmation(const PairingPrompter::Pending& prompt, std::function<void(bool)> onDecision,
                                   std::function<void()> onClose) {
  close(confirmID);
  std::uint64_t number = registry_->next++;
  registry_->open[confirmID] = Registry::Entry{number, std::move(onClose)};
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  Strand strand = main_;
  auto decide = [strand, onDecision = std::move(onDecision)](bool accepted) {
    asio::post(strand, [onDecision, accepted] { onDecision(accepted); });
  };
  ui_->post([toolkit, number, prompt, decide] {
    auto window = toolkit->makeWindow(confirmID, number, "Pair Device", 340, 300);
    auto* box = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 14);
    box->set_margin(22);
    box->set_valign(Gtk::Align::CENTER);
    auto* title = label("Pair “" + prompt.deviceName + "”?", {"nolu-heading"});
    title->set_max_width_chars(26);
    box->append(*title);
    box->append(*label("Confirm this code matches your device:", {"nolu-secondary", "nolu-12"}));
    auto* code = label(groupedCode(prompt.code), {"nolu-code"});
    code->set_halign(Gtk::Align::CENTER);
    setAccessibleLabel(*code, codeAccessibleLabel(prompt.code));
    box->append(*code);
    box->append(
        *label("If the codes differ, or you did not start pairing, choose Deny.", {"nolu-secondary", "nolu-11"}));
    auto* row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 10);
    row->set_halign(Gtk::Align::CENTER);
    auto* deny = Gtk::make_managed<Gtk::Button>("Deny");
    auto* allow = Gtk::make_managed<Gtk::Button>("Allow");
    allow->add_css_class("nolu-accent");
    deny->signal_clicked().connect([decide] { decide(false); });
    allow->signal_clicked().connect([decide] { decide(true); });
    row->append(*deny);
    row->append(*allow);
    box->append(*row);
    window->set_child(*box);
    window->set_default_widget(*allow);
    onEscape(*window, [decide] { decide(false); });
    window->present();
    allow->grab_focus();
  });
}

void HostWindows::showAlert(const std::string& id, Alert alert, std::function<void(int)> onAnswer) {
  close(id);
  // Written on the toolkit's thread before the window closes; read on the main strand after.
  auto chosen = std::make_shared<int>(-1);
  std::uint64_t number = registry_->next++;
  registry_->open[id] = Registry::Entry{number, [chosen, onAnswer = std::move(onAnswer)] { onAnswer(*chosen); }};
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->post([toolkit, id, number, chosen, alert = std::move(alert)] {
    auto window = toolkit->makeWindow(id, number, alert.title.c_str(), 380, -1);
    window->set_modal(true);
    auto* box = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 12);
    box->set_margin(22);
    auto* message = label(alert.message, {"nolu-heading"});
    message->set_max_width_chars(34);
    box->append(*message);
    auto* text = label(alert.text, {"nolu-secondary", "nolu-12"});
    text->set_max_width_chars(44);
    box->append(*text);
    auto* row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 10);
    row->set_halign(Gtk::Align::END);
    row->set_margin_top(6);
    // The first button is the default and stands rightmost.
    for (int i = static_cast<int>(alert.buttons.size()) - 1; i >= 0; --i) {
      auto* button = Gtk::make_managed<Gtk::Button>(alert.buttons[i]);
      button->signal_clicked().connect([toolkit, id, chosen, i] {
        *chosen = i;
        toolkit->close(id);
      });
      row->append(*button);
      if (i == 0) {
        button->add_css_class("nolu-accent");
        window->set_default_widget(*button);
      }
    }
    box->append(*row);
    window->set_child(*box);
    onEscape(*window, [toolkit, id] { toolkit->close(id); });
    window->present();
    if (auto* first = window->get_default_widget()) first->grab_focus();
  });
}

void HostWindows::close(const std::string& id) {
  if (!registry_->open.count(id)) return;
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->post([toolkit, id] { toolkit->close(id); });
}

bool HostWindows::showPairingQR(const std::function<std::shared_ptr<PairQRModel>()>& makeModel) {
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  if (registry_->open.count(qrID)) {
    ui_->post([toolkit] {
      auto found = toolkit->windows.find(qrID);
      if (found != toolkit->windows.end()) found->second.window->present();
    });
    return true;
  }
  std::shared_ptr<PairQRModel> model = makeModel();
  if (!model) return false;
  std::uint64_t number = registry_->next++;
  registry_->qrModel = model;
  registry_->open[qrID] = Registry::Entry{number, [model] { model->stop(); }};
  Strand strand = main_;
  std::weak_ptr<PairQRModel> weak = model;
  std::shared_ptr<platform::UIThread> ui = ui_;

  // Each change of the model goes to the window as a copy of what it shows.
  model->onChange = [weak, toolkit, ui] {
    auto alive = weak.lock();
    if (!alive) return;
    ui->post([toolkit, image = alive->image(), seconds = alive->secondsLeft(), paired = alive->justPaired()] {
      auto found = toolkit->windows.find(qrID);
      if (found == toolkit->windows.end()) return;
      Toolkit::Window& w = found->second;
      w.code = image;
      w.qr->queue_draw();
      if (image) {
        w.card->set_visible_child("code");
        w.countdown->set_text(validForText(seconds));
      } else {
        w.card->set_visible_child(paired ? "paired" : "expired");
        w.countdown->set_text(" ");
      }
      if (paired) w.pairedWith->set_text("Paired with " + *paired);
      w.done->set_label(paired ? "Done" : "Cancel");
    });
  };
  auto onMain = [strand, weak](std::function<void(PairQRModel&)> work) {
    asio::post(strand, [weak, work] {
      if (auto alive = weak.lock()) work(*alive);
    });
  };
  ui_->post([toolkit, number, onMain] {
    auto window = toolkit->makeWindow(qrID, number, "Pair New Device", 320, 470);
    auto* box = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 14);
    box->set_margin(22);
    box->append(*label("Pair a new device", {"nolu-heading"}));
    box->append(*label("Open Nolu on your iPhone or iPad and scan this code.", {"nolu-secondary", "nolu-12"}));

    auto* card = Gtk::make_managed<Gtk::Stack>();
    card->add_css_class("nolu-card");
    card->set_size_request(220, 220);
    card->set_halign(Gtk::Align::CENTER);
    auto* qr = Gtk::make_managed<Gtk::DrawingArea>();
    qr->set_margin(14);
    qr->set_content_width(192);
    qr->set_content_height(192);
    setAccessibleLabel(*qr, "Pairing code");
    card->add(*qr, "code");
    auto* expired = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 8);
    expired->set_valign(Gtk::Align::CENTER);
    expired->append(*label("Code expired", {"nolu-on-card"}));
    auto* again = Gtk::make_managed<Gtk::Button>("Show a new code");
    again->set_halign(Gtk::Align::CENTER);
    again->signal_clicked().connect([onMain] { onMain([](PairQRModel& m) { m.showNewCode(); }); });
    expired->append(*again);
    card->add(*expired, "expired");
    auto* paired = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 6);
    paired->set_valign(Gtk::Align::CENTER);
    paired->append(*label("✓", {"nolu-check"}));
    auto* pairedWith = label("", {"nolu-on-card"});
    paired->append(*pairedWith);
    card->add(*paired, "paired");
    card->set_visible_child("expired");
    box->append(*card);

    auto* countdown = label(" ", {"nolu-accent-text", "nolu-12", "nolu-digits"});
    box->append(*countdown);
    auto* help = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 2);
    help->append(*label("Can’t scan?", {"nolu-12", "nolu-medium"}));
    help->append(*label("On the device choose “Compare a code instead”, then confirm the code here.",
                        {"nolu-secondary", "nolu-11"}));
    box->append(*help);
    auto* done = Gtk::make_managed<Gtk::Button>("Cancel");
    done->set_halign(Gtk::Align::CENTER);
    done->signal_clicked().connect([toolkit] { toolkit->close(qrID); });
    box->append(*done);
    window->set_child(*box);
    window->set_default_widget(*done);
    onEscape(*window, [toolkit] { toolkit->close(qrID); });

    Toolkit::Window& entry = toolkit->windows[qrID];
    entry.qr = qr;
    entry.card = card;
    entry.countdown = countdown;
    entry.pairedWith = pairedWith;
    entry.done = done;
    // Sharp modules at any size: one filled square a module, no smoothing.
    qr->set_draw_func([toolkit](const Cairo::RefPtr<Cairo::Context>& cr, int width, int height) {
      auto found = toolkit->windows.find(qrID);
      if (found == toolkit->windows.end() || !found->second.code) return;
      const platform::QRCode& code = *found->second.code;
      double module = std::min(width, height) / static_cast<double>(code.size);
      cr->set_antialias(Cairo::ANTIALIAS_NONE);
      cr->set_source_rgb(0, 0, 0);
      for (int y = 0; y < code.size; ++y) {
        for (int x = 0; x < code.size; ++x) {
          if (code.dark(x, y))
            cr->rectangle(std::floor(x * module), std::floor(y * module),
                          std::floor((x + 1) * module) - std::floor(x * module),
                          std::floor((y + 1) * module) - std::floor(y * module));
        }
      }
      cr->fill();
    });
    window->present();
  });
  model->start();
  return false;
}

}  // namespace brindlet::host
