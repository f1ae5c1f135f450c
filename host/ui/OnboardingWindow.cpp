#include "host/ui/OnboardingWindow.h"

#include <gtkmm.h>

#include <asio/post.hpp>

#include "host/ui/PanelStyle.h"
#include "platform/ui/UIThread.h"

namespace brindlet::host {

namespace {

// What the page says besides its title and rows, by step.
struct PageTexts {
  std::vector<std::string> lines;      // in white
  std::vector<std::string> secondary;  // in grey
  // What stands in for the system's settings pane, which X11 does not have.
  std::string settingsNote;
};

PageTexts pageTexts(OnboardingStep step) {
  switch (step) {
    case OnboardingStep::welcome:
      return {{"Nolu Host lets your iPhone or iPad see and control this Mac over your local network."},
              {"Three quick things need your OK. This takes about a minute."},
              ""};
    case OnboardingStep::localNetwork:
      return {{"macOS shows a “Local Network” prompt when Nolu Host starts advertising or when your iPhone first "
               "connects. Click Allow."},
              {"macOS gives apps no way to check this setting, so there is no live indicator. If your iPhone cannot "
               "find this Mac, make sure Nolu Host is switched on in System Settings → Privacy & Security → Local "
               "Network."},
              "On this computer nothing needs allowing: devices find it through Avahi on the local network, or "
              "reach it by address and port."};
    case OnboardingStep::screenRecording:
      return {{"Needed to stream this Mac’s screen to your device."},
              {"macOS may also ask whether to bypass the system private window picker the first time Nolu captures. "
               "Click Allow."},
              "On this computer there is no setting to open: the screen can be recorded while the X display can be "
              "reached."};
    case OnboardingStep::accessibility:
      return {{"Needed so touches, trackpad moves and keystrokes from your device can control this Mac."},
              {},
              "On this computer there is no setting to open: input works when the X server offers the XTest "
              "extension."};
    case OnboardingStep::done:
      return {};
  }
  return {};
}

Gtk::Label* line(const std::string& value, std::initializer_list<const char*> classes = {}) {
  auto* label = Gtk::make_managed<Gtk::Label>(value);
  for (const char* name : classes) label->add_css_class(name);
  label->set_xalign(0);
  label->set_wrap(true);
  label->set_max_width_chars(52);
  return label;
}

}  // namespace

struct OnboardingWindow::Toolkit {
  std::shared_ptr<Gtk::Window> window;
  // Runs an action on the model, on the main strand.
  std::function<void(std::function<void(OnboardingModel&)>)> act;
  std::function<void()> relaunch;
  std::function<void()> finish;
  std::function<void()> closed;

  void ensureWindow() {
    if (window) return;
    installPanelStyle();
    window = std::make_shared<Gtk::Window>();
    window->set_title(OnboardingWindow::title);
    window->set_default_size(460, 440);
    window->set_size_request(460, 440);
    window->set_resizable(false);
    window->add_css_class("nolu-window");
    window->add_css_class("nolu-guide");
    window->set_hide_on_close(true);
    // Closing stops the grant poll; "Setup…" starts it again.
    window->signal_hide().connect([this] {
      if (closed) closed();
    });
  }

  Gtk::Button* button(const std::string& label, bool accent, std::function<void()> action) {
    auto* made = Gtk::make_managed<Gtk::Button>(label);
    if (accent) made->add_css_class("nolu-accent");
    made->set_size_request(-1, 28);
    made->signal_clicked().connect(action);
    return made;
  }

  Gtk::Button* modelButton(const std::string& label, bool accent, std::function<void(OnboardingModel&)> action) {
    return button(label, accent, [this, action] { act(action); });
  }

  void draw(const OnboardingPage& page, OnboardingStep step, PermissionChecking::Kind kind) {
    ensureWindow();
    auto* column = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 16);
    column->set_margin(24);

    auto* marks = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 6);
    marks->set_homogeneous(true);
    for (OnboardingStep mark : onboardingSteps) {
      auto* capsule = Gtk::make_managed<Gtk::Box>();
      capsule->set_size_request(-1, 4);
      capsule->add_css_class("nolu-step");
      switch (OnboardingPage::tone(mark, step)) {
        case OnboardingPage::MarkTone::current:
          capsule->add_css_class("nolu-step-current");
          break;
        case OnboardingPage::MarkTone::before:
          capsule->add_css_class("nolu-step-before");
          break;
        case OnboardingPage::MarkTone::after:
          break;
      }
      marks->append(*capsule);
    }
    column->append(*marks);

    auto* body = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 12);
    body->set_vexpand(true);
    auto* header = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 8);
    header->append(*line(page.title, {"nolu-page-title"}));
    if (page.mark != OnboardingPage::Mark::none) {
      bool granted = page.mark == OnboardingPage::Mark::granted;
      auto* mark = line(granted ? "✓" : "○", {granted ? "nolu-green" : "nolu-secondary"});
      const char* name = granted ? "Granted" : "Not granted";
      gtk_accessible_update_property(GTK_ACCESSIBLE(mark->gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL, name, -1);
      header->append(*mark);
    }
    body->append(*header);
    PageTexts texts = pageTexts(step);
    for (const std::string& text : texts.lines) body->append(*line(text));
    for (const std::string& text : texts.secondary) body->append(*line(text, {"nolu-secondary"}));
    if (page.showsGrant || page.showsGranted) {
      auto* row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 8);
      if (page.showsGrant) {
        row->append(*modelButton("Grant", true, [kind](OnboardingModel& m) { m.request(kind); }));
      } else {
        row->append(*line("✓ Granted", {"nolu-green"}));
      }
      body->append(*row);
    }
    if (!texts.settingsNote.empty()) body->append(*line(texts.settingsNote, {"nolu-secondary", "nolu-12"}));
    if (page.relaunchNote) body->append(*line(*page.relaunchNote, {"nolu-accent-text", "nolu-12"}));
    if (page.showsRelaunch) {
      auto* relaunchButton = button("Relaunch Nolu Host", true, [this] { relaunch(); });
      relaunchButton->set_halign(Gtk::Align::START);
      body->append(*relaunchButton);
    }
    if (page.readyLine) body->append(*line(*page.readyLine));
    if (page.missingLine) {
      body->append(*line(*page.missingLine, {"nolu-accent-text"}));
      body->append(*line("Open Nolu on your iPhone or iPad once these are granted.", {"nolu-secondary"}));
    }
    column->append(*body);

    auto* footer = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 8);
    footer->set_valign(Gtk::Align::CENTER);
    if (page.showsBack) footer->append(*modelButton("Back", false, [](OnboardingModel& m) { m.back(); }));
    auto* space = Gtk::make_managed<Gtk::Box>();
    space->set_hexpand(true);
    footer->append(*space);
    if (page.showsSkip) {
      auto* skip = modelButton("Skip for now", false, [](OnboardingModel& m) { m.advance(); });
      skip->add_css_class("nolu-plain");
      footer->append(*skip);
    }
    if (page.showsContinue) {
      auto* next = modelButton("Continue", true, [](OnboardingModel& m) { m.advance(); });
      next->set_sensitive(page.continueEnabled);
      footer->append(*next);
    }
    if (page.showsFinish) {
      footer->append(*button("Finish", true, [this] { finish(); }));
    }
    column->append(*footer);
    window->set_child(*column);
  }
};

OnboardingWindow::OnboardingWindow(std::shared_ptr<platform::UIThread> ui, Strand main,
                                   std::shared_ptr<OnboardingModel> model, std::function<void()> relaunch)
    : ui_(std::move(ui)), main_(std::move(main)), model_(std::move(model)), toolkit_(std::make_shared<Toolkit>()) {
  std::weak_ptr<OnboardingModel> weak = model_;
  Strand strand = main_;
  toolkit_->act = [weak, strand](std::function<void(OnboardingModel&)> action) {
    asio::post(strand, [weak, action] {
      if (auto alive = weak.lock()) action(*alive);
    });
  };
  toolkit_->relaunch = [strand, relaunch = std::move(relaunch)] {
    if (relaunch) asio::post(strand, relaunch);
  };
  // Finish is stored before the window closes.
  std::weak_ptr<Toolkit> weakToolkit = toolkit_;
  // Weak: the toolkit's own objects must not keep its thread alive.
  std::weak_ptr<platform::UIThread> thread = ui_;
  toolkit_->finish = [weak, strand, weakToolkit, thread] {
    asio::post(strand, [weak, weakToolkit, thread] {
      if (auto alive = weak.lock()) alive->finish();
      auto running = thread.lock();
      if (!running) return;
      running->post([weakToolkit] {
        auto toolkit = weakToolkit.lock();
        if (toolkit && toolkit->window) toolkit->window->hide();
      });
    });
  };
  toolkit_->closed = [weak, strand] {
    asio::post(strand, [weak] {
      if (auto alive = weak.lock()) alive->stopPolling();
    });
  };
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->atExit([toolkit] {
    toolkit->closed = nullptr;
    toolkit->window.reset();
  });
}

OnboardingWindow::~OnboardingWindow() {
  model_->onChange = nullptr;
  std::shared_ptr<Toolkit> toolkit = std::move(toolkit_);
  ui_->post([toolkit] {
    toolkit->closed = nullptr;
    if (toolkit->window) toolkit->window->hide();
    toolkit->window.reset();
  });
}

void OnboardingWindow::redraw() {
  OnboardingPage page = OnboardingPage::render(*model_);
  OnboardingStep step = model_->step();
  PermissionChecking::Kind kind = step == OnboardingStep::accessibility ? PermissionChecking::Kind::accessibility
                                                                        : PermissionChecking::Kind::screenRecording;
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->post([toolkit, page, step, kind] { toolkit->draw(page, step, kind); });
}

void OnboardingWindow::show(bool byUser) {
  // Each change of the guide redraws the page.
  model_->onChange = [this] { redraw(); };
  model_->prepareForShowing();
  redraw();
  std::shared_ptr<Toolkit> toolkit = toolkit_;
  ui_->post([toolkit, byUser] {
    toolkit->ensureWindow();
    if (byUser) {
      toolkit->window->present();
    } else {
      showWithoutFocus(*toolkit->window);
    }
  });
}

}  // namespace brindlet::host
