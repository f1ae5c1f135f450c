#include "host/session/MenuActionsFeature.h"

#include <string>

#include "host/HostLog.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void MenuActionsFeature::registerHandlers(SessionDispatch& d) {
  d.on<&MenuActionsFeature::onPerformAction>();
  d.later<msg::WatchActions>("menu actions");
}

asio::awaitable<void> MenuActionsFeature::onPerformAction(const msg::PerformAction& message) {
  std::string label;
  for (const std::string& title : message.path) label += (label.empty() ? "" : "/") + title;
  // There is no frontmost app whose menu holds the item.
  const char* text = "Not available right now";
  sessionLog().notice("actions: %s failed: %s", label.c_str(), text);
  core_.send(msg::ActionResult{false, text});
  co_return;
}

}  // namespace brindlet::host
