#include "host/session/WindowFocusFeature.h"

#include "host/HostLog.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void WindowFocusFeature::registerHandlers(SessionDispatch& d) {
  d.on<&WindowFocusFeature::onFocus>();
  d.later<msg::FocusBack>("window focus");
  d.later<msg::Unfocus>("window focus");
  d.later<msg::WindowThumbnails>("window thumbnails");
}

asio::awaitable<void> WindowFocusFeature::onFocus(const msg::Focus& message) {
  // Without displays a focus request is not answered.
  if (core_.displays().empty()) {
    core_.reportUnavailable<msg::Focus>("window focus");
    co_return;
  }
  sessionLog().error("focus: window %u not found", message.windowID);
  // The request came in desktop mode, which the stream keeps.
  core_.send(msg::StreamMode{
      StreamModeInfo{StreamMode::desktop(), false, "That window is no longer available", NormalizedRect::full, {}}});
}

}  // namespace brindlet::host
