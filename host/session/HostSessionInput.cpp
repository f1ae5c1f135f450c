#include "host/capture/DisplayManager.h"
#include "host/capture/PowerManaging.h"
#include "host/control/ClickRecord.h"
#include "host/control/InputInjector.h"
#include "host/control/PasteboardProviding.h"
#include "host/session/HostSession.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void HostSession::registerInputHandlers(SessionDispatch& d) {
  d.on<msg::Key, &HostSession::onKey>();
  d.on<msg::Text, &HostSession::onText>();
  d.on<msg::Pointer, &HostSession::onPointer>();
}

asio::awaitable<void> HostSession::onKey(const msg::Key& key) {
  env_.injector->key(key.event);
  co_return;
}

asio::awaitable<void> HostSession::onText(const msg::Text& text) {
  env_.injector->typeText(text.text);
  co_return;
}

asio::awaitable<void> HostSession::onPointer(const msg::Pointer& pointer) {
  auto self = shared_from_this();
  const PointerEvent& event = pointer.event;
  std::optional<DisplayInfo> target;
  if (const auto* move = std::get_if<PointerEvent::MoveAbsolute>(&event.value)) {
    if (const DisplayInfo* found = findDisplay(displays_, move->displayID)) target = *found;
  }
  if (std::holds_alternative<PointerEvent::MoveRelative>(event.value) && env_.isDisplayAsleep()) {
    env_.power->wakeDisplay();
    co_await env_.onWakeRequested(true);
  }
  // In focus mode an absolute move lands in the captured region; that comes with focus mode.
  if (const auto* button = std::get_if<PointerEvent::Button>(&event.value); button && button->isDown) {
    // Text focus tells a focus change made by this click from others.
    double now = uptime();
    if (auto position = env_.injector->resyncCursor(now)) env_.clicks->record({*position, now});
  }
  env_.injector->pointer(event, target);
  lastAppliedSeq_ = pointer.seq;
  sendCursorIfNeeded(env_.cursorInputInterval);
}

asio::awaitable<void> HostSession::onClipboardText(const msg::ClipboardText& text) {
  env_.pasteboard->writeText(text.text);
  // The clipboard poll must not send the device its own text back.
  clipboardMark_->set(env_.pasteboard->changeCount());
  co_return;
}

}  // namespace brindlet::host
