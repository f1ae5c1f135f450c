#include "host/session/ClipboardFeature.h"

#include "host/control/PasteboardProviding.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void ClipboardFeature::registerHandlers(SessionDispatch& d) { d.on<&ClipboardFeature::onClipboardText>(); }

asio::awaitable<void> ClipboardFeature::onClipboardText(const msg::ClipboardText& text) {
  core_.env().pasteboard->writeText(text.text);
  co_return;
}

}  // namespace brindlet::host
