#include "host/ui/MenuBarItem.h"

#include <asio/post.hpp>

#include "host/HostLog.h"

namespace brindlet::host {

MenuBarItem::MenuBarItem(Strand main, Panel panel, std::function<void()> quit)
    : main_(std::move(main)), panel_(std::move(panel)), quit_(std::move(quit)) {}

std::shared_ptr<MenuBarItem> MenuBarItem::start(Strand main, const StartItem& startItem, Panel panel,
                                                std::function<void()> quit) {
  std::shared_ptr<MenuBarItem> item(new MenuBarItem(main, std::move(panel), std::move(quit)));
  std::weak_ptr<MenuBarItem> weak = item;
  // Each report goes to the main strand, to an item that still exists.
  auto onMain = [weak, main](std::function<void(MenuBarItem&)> work) {
    asio::post(main, [weak, work = std::move(work)] {
      if (auto alive = weak.lock()) work(*alive);
    });
  };
  platform::StatusItem::Handlers handlers;
  handlers.activate = [onMain] { onMain([](MenuBarItem& self) { self.panel_.toggle(); }); };
  handlers.menuEntry = [onMain](std::size_t index) { onMain([index](MenuBarItem& self) { self.chosen(index); }); };
  handlers.availability = [onMain](bool shown, const std::string& why) {
    onMain([shown, why](MenuBarItem& self) { self.availability(shown, why); });
  };
  item->symbol_ = platform::StatusItem::idleSymbol;
  platform::StatusItemOptions options;
  options.id = applicationID;
  options.title = menuBarText::title;
  options.symbol = item->symbol_;
  options.menu = menu();
  item->item_ = startItem(std::move(options), std::move(handlers));
  return item;
}

const char* MenuBarItem::symbol(const std::optional<SessionStatus>& status) {
  return isLive(status) ? platform::StatusItem::activeSymbol : platform::StatusItem::idleSymbol;
}

std::vector<platform::StatusItem::MenuEntry> MenuBarItem::menu() {
  return {{panelEntry, true, false}, {quitEntry, true, true}};
}

void MenuBarItem::update(const MenuBarSnapshot& snapshot) {
  std::string wanted = symbol(snapshot.status);
  if (wanted == symbol_) return;
  symbol_ = wanted;
  if (item_) item_->setSymbol(wanted);
}

void MenuBarItem::chosen(std::size_t index) {
  if (index == 0) {
    panel_.toggle();
  } else if (index == 1) {
    quit_();
  }
}

void MenuBarItem::availability(bool shown, const std::string& why) {
  bool first = !shown_.has_value();
  if (!first && *shown_ == shown) return;
  shown_ = shown;
  panel_.setOpensFromTray(shown);
  if (shown) {
    transportLog().notice("tray item shown: the panel opens from it");
    return;
  }
  if (first) {
    transportLog().notice("no tray: %s; the panel opens as a window", why.c_str());
  } else {
    transportLog().notice("tray item no longer shown: %s; the panel opens as a window", why.c_str());
  }
  panel_.show(false);
}

}  // namespace brindlet::host
