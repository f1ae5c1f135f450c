#include "host/session/ClipboardFeature.h"

#include "host/control/PasteboardProviding.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void ClipboardFeature::registerHandlers(SessionDispatch& d) { d.on<&ClipboardFeature::onClipboardText>(); }

asio::awaitable<void> ClipboardFeature::onClipboardText(const msg::ClipboardText& text) {
  const auto& pasteboard = core_.env().pasteboard;
  if (!pasteboard) {
    core_.reportUnavailable<msg::ClipboardText>("the clipboard");
    co_return;
  }
  pasteboard->writeText(text.text);
}

}  // namespace brindlet::host
