#include "host/session/InputFeature.h"

#include "host/capture/DisplayManager.h"
#include "host/capture/PowerManaging.h"
#include "host/control/ClickRecord.h"
#include "host/control/InputInjector.h"
#include "host/session/CursorFeature.h"
#include "host/session/SessionDispatch.h"

namespace brindlet::host {

void InputFeature::registerHandlers(SessionDispatch& d) {
  d.on<&InputFeature::onKey>();
  d.on<&InputFeature::onText>();
  d.on<&InputFeature::onPointer>();
}

asio::awaitable<void> InputFeature::onKey(const msg::Key& key) {
  core_.env().injector->key(key.event);
  co_return;
}

asio::awaitable<void> InputFeature::onText(const msg::Text& text) {
  core_.env().injector->typeText(text.text);
  co_return;
}

asio::awaitable<void> InputFeature::onPointer(const msg::Pointer& pointer) {
  const HostEnvironment& env = core_.env();
  const PointerEvent& event = pointer.event;
  std::optional<DisplayInfo> target;
  if (const auto* move = std::get_if<PointerEvent::MoveAbsolute>(&event.value)) {
    if (const DisplayInfo* found = findDisplay(core_.displays(), move->displayID)) target = *found;
  }
  if (std::holds_alternative<PointerEvent::MoveRelative>(event.value) && env.isDisplayAsleep()) {
    env.power->wakeDisplay();
    co_await env.onWakeRequested(true);
  }
  // In focus mode an absolute move lands in the captured region; that comes with focus mode.
  if (const auto* button = std::get_if<PointerEvent::Button>(&event.value); button && button->isDown) {
    // Text focus tells a focus change made by this click from others.
    double now = core_.uptime();
    if (auto position = env.injector->resyncCursor(now)) env.clicks->record({*position, now});
  }
  env.injector->pointer(event, target);
  core_.cursor().pointerApplied(pointer.seq);
  core_.cursor().sendCursorIfNeeded(env.cursorInputInterval);
}

void InputFeature::releaseAll() {
  if (core_.env().injector) core_.env().injector->releaseAll();
}

}  // namespace brindlet::host
