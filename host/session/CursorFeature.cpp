#include "host/session/CursorFeature.h"

#include <algorithm>

#include "host/capture/CursorSource.h"
#include "host/control/InputInjector.h"
#include "host/session/PeriodicTask.h"
#include "host/session/SessionDispatch.h"
#include "kit/protocol/CursorSpace.h"

namespace brindlet::host {

namespace {

float fraction(double offset, double extent) {
  return static_cast<float>(std::clamp(offset / std::max(extent, 1.0), 0.0, 1.0));
}

}  // namespace

void CursorFeature::registerHandlers(SessionDispatch& d) { d.on<&CursorFeature::onRequestCursorShape>(); }

asio::awaitable<void> CursorFeature::onRequestCursorShape(const msg::RequestCursorShape& message) {
  sendCursorShape(message.shapeID, true);
  co_return;
}

void CursorFeature::start() {
  const HostEnvironment& env = core_.env();
  if (!env.injector) return;
  positionTask_ = core_.spawnTask(repeatEvery(
      core_.weakFeature(this), env.clock, Clock::seconds(env.cursorPollInterval), false, &CursorFeature::pollPosition));
  if (env.cursorSource) {
    shapeTask_ =
        core_.spawnTask(repeatEvery(core_.weakFeature(this), env.clock, Clock::seconds(env.cursorShapePollInterval),
                                    true, &CursorFeature::pollShape));
  }
}

void CursorFeature::stop() {
  positionTask_ = Task();
  shapeTask_ = Task();
}

asio::awaitable<void> CursorFeature::pollPosition() {
  sendCursorIfNeeded(0);
  co_return;
}

void CursorFeature::sendCursorIfNeeded(double minInterval) {
  const auto& displays = core_.displays();
  const auto& injector = core_.env().injector;
  if (displays.empty() || !injector) return;
  auto position = injector->resyncCursor(core_.uptime());
  if (!position) return;
  auto display = CursorSpace::display(*position, displays);
  if (!display) return;
  const DisplayFrame& frame = display->frame;
  msg::CursorState key{lastAppliedSeq_,
                       display->id,
                       fraction(position->x - frame.x, frame.width),
                       fraction(position->y - frame.y, frame.height),
                       cursorVisible_,
                       currentShapeID_};
  if (cursorSent_ == key) return;
  const double now = core_.uptime();
  if (minInterval > 0 && now - lastCursorSendAt_ < minInterval) return;
  if (currentShapeID_ != 0) sendCursorShape(currentShapeID_, false);
  cursorSent_ = key;
  lastCursorSendAt_ = now;
  core_.send(key);
}

void CursorFeature::sendCursorShape(std::uint32_t shapeID, bool force) {
  if (!force && sentShapeIDs_.contains(shapeID)) return;
  const CursorShapeData* shape = shapes_.find(shapeID);
  if (!shape) return;
  sentShapeIDs_.insert(shapeID);
  core_.send(msg::CursorShape{shapeID, shape->png, shape->hotspotX, shape->hotspotY, shape->pointSize});
}

asio::awaitable<void> CursorFeature::pollShape() {
  std::shared_ptr<CursorSource> source = core_.env().cursorSource;
  if (!source) co_return;
  auto poll = co_await source->poll(shapeToken_);
  if (!poll) co_return;
  shapeToken_ = poll->token;
  if (poll->shape) {
    auto registration = shapes_.registerShape(*poll->shape);
    // A forgotten shape is sent again should it come back.
    for (std::uint32_t id : registration.forgotten) sentShapeIDs_.erase(id);
    currentShapeID_ = registration.id;
  }
  cursorVisible_ = poll->visible;
  sendCursorIfNeeded(0);
}

}  // namespace brindlet::host
